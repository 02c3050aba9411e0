#pragma once

#include "model/LaunchItem.h"
#include "platform/HostLayout.h"

#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace daemonary {

// What ships with the operating system, and where a record's bundle begins.
// The lists are read once, when the instance is made, and never change, so a
// const instance may be read from several threads at once.
class MetadataManager {
public:
    static constexpr std::string_view kLaunchdListName = "26.2_launchd";
    static constexpr std::string_view kMachListName = "mach";
    static constexpr std::string_view kOtherListName = "26.2_other";

    // Loaded once from the resource folder next to the executable.
    static const MetadataManager& shared();

    // Reads the three lists from "<resourceDirectory>/<name>.plist".
    explicit MetadataManager(std::string resourceDirectory);

    // The strings of one list resource; empty (and logged) when the resource
    // is missing, unreadable, not a property list or not an array of strings.
    std::vector<std::string> loadDefaultList(std::string_view name) const;

    bool isSystemDefault(const LaunchItem& item) const;

    const std::unordered_set<std::string>& launchdDefaults() const { return m_launchdDefaults; }
    const std::unordered_set<std::string>& machDefaults() const { return m_machDefaults; }
    const std::unordered_set<std::string>& otherDefaults() const { return m_otherDefaults; }

    // The innermost enclosing .app/.kext/.bundle/... of a path, or nothing.
    static std::optional<std::string> enclosingBundlePath(std::string_view path);

    // The file whose icon represents the record: the enclosing bundle of the
    // first existing file among executablePath and path, else that file. The
    // record's paths are looked up through the layout (HostLayout::onHost),
    // and the result is a path on this machine.
    static std::optional<std::string> iconFilePath(const LaunchItem& item,
                                                   const HostLayout& layout);

private:
    std::string m_resourceDirectory;
    std::unordered_set<std::string> m_launchdDefaults;
    std::unordered_set<std::string> m_machDefaults;
    std::unordered_set<std::string> m_otherDefaults;
};

} // namespace daemonary
