#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace daemonary {

// Whether the process runs under a design-time preview or a test host of the
// platform's IDE. Answered once per process.
class PreviewDetector {
public:
    PreviewDetector() = delete;

    static bool isRunningForPreviews();

    // Reads one environment variable; nothing when it is not set.
    using EnvironmentLookup = std::function<std::optional<std::string>(std::string_view name)>;

    // The decision itself, over what the process looks like; first match wins.
    static bool evaluate(const EnvironmentLookup& environment, std::string_view processName,
                         bool xcTestClassLoaded);
};

} // namespace daemonary
