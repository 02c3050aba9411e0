#pragma once

#include "model/LaunchItem.h"
#include "platform/HostLayout.h"

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace daemonary {

// Bundle identifier -> load index of the extensions the kernel has loaded.
using LoadedExtensionMap = std::unordered_map<std::string, std::int32_t>;

// The Kernel category: every .kext bundle of the two extension folders, active
// with its load index when kmutil reports it loaded. Calls are serialised by a
// mutex of the instance, so one kmutil run at a time per instance.
class KernelServiceManager {
public:
    explicit KernelServiceManager(HostLayout layout);

    std::vector<LaunchItem> loadKernelExtensions() const;
    // The same against a kmutil listing already read; runs nothing.
    std::vector<LaunchItem> loadKernelExtensions(const LoadedExtensionMap& loaded) const;
    LoadedExtensionMap loadedExtensionIndices() const;

    // One line of `kmutil showloaded --list-only`: the first column (load
    // index) and the sixth (bundle identifier), or nothing for the heading and
    // any other non-data line.
    static std::optional<std::pair<std::string, std::int32_t>>
    parseLoadedExtensionLine(std::string_view line);
    // A whole listing; a later line with the same identifier wins.
    static LoadedExtensionMap parseLoadedExtensions(std::string_view text);

private:
    LoadedExtensionMap loadedExtensionIndicesLocked() const;
    std::optional<std::int32_t> matchBundle(const std::string& bundlePath,
                                            const LoadedExtensionMap& loaded) const;

    HostLayout m_layout;
    mutable std::mutex m_mutex;
};

} // namespace daemonary
