#pragma once

#include "LaunchItem.h"

#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace daemonary {

// What ships with the operating system, and where a record's bundle begins.
// (Interface stub: the discovery work fills this in.)
class MetadataManager {
public:
    // Loaded once from the resource folder next to the executable.
    static const MetadataManager& shared();

    bool isSystemDefault(const LaunchItem& item) const;

    // The innermost enclosing .app/.kext/.bundle/... of a path, or nothing.
    static std::optional<std::string> enclosingBundlePath(std::string_view path);

    // The file whose icon represents the record: the enclosing bundle of the
    // first existing file among executablePath and path, else that file.
    static std::optional<std::string> iconFilePath(const LaunchItem& item);
};

} // namespace daemonary
