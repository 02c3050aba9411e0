#pragma once

#include <optional>
#include <string>

namespace daemonary {

// Finds the project's resource folder next to the running program, so that the
// build tree, an installed tree and a macOS application bundle all work
// without configuration.
class ResourceLocator {
public:
    // Absolute path of the running executable, or nothing when the platform
    // will not say.
    static std::optional<std::string> executablePath();

    // The first existing folder among <exe dir>/../share/daemonary (build and
    // install trees) and <exe dir>/../Resources (Contents/MacOS next to
    // Contents/Resources in a bundle).
    static std::optional<std::string> resourceDirectory();
    static std::optional<std::string> resourceDirectoryFor(const std::string& executablePath);
};

} // namespace daemonary
