#include "discovery/PluginDirectories.h"

#include "platform/FileSystem.h"

#include <string_view>

namespace daemonary {

namespace {

// Names of one folder level without the hidden ones (.DS_Store and the like).
// A folder that cannot be listed contributes nothing, silently: most of these
// folders do not exist on a given Mac.
std::vector<std::string> visibleEntries(const std::string& directory) {
    std::vector<std::string> names;
    if (auto listed = listDirectory(directory)) {
        for (std::string& name : *listed) {
            if (!name.starts_with('.')) {
                names.push_back(std::move(name));
            }
        }
    }
    return names;
}

} // namespace

std::vector<std::string> PluginDirectories::privilegedHelperDirectories(const HostLayout& layout) {
    return {
        layout.system("/Library/PrivilegedHelperTools"),
        layout.system("/Library/Privileged Helper Tools"),
        layout.home("Library/PrivilegedHelperTools"),
    };
}

std::vector<PluginDirectories::Category>
PluginDirectories::pluginDirectories(const HostLayout& layout) {
    return {
        {"Contextual Menu Items",
         {layout.system("/Library/Contextual Menu Items"),
          layout.home("Library/Contextual Menu Items")}},
        {"Spotlight Plug-ins",
         {layout.system("/Library/Spotlight"), layout.home("Library/Spotlight")}},
        {"Internet Plug-ins",
         {layout.system("/Library/Internet Plug-ins"), layout.home("Library/Internet Plug-ins")}},
        {"Address Book Plug-ins",
         {layout.system("/Library/Address Book Plug-ins"),
          layout.home("Library/Address Book Plug-ins")}},
        {"Preference Panes",
         {layout.system("/Library/PreferencePanes"), layout.home("Library/PreferencePanes")}},
        {"Input Managers", {layout.system("/Library/InputManagers")}},
        {"System Configuration", {layout.system("/System/Library/SystemConfiguration")}},
        {"User Event Plugins", {layout.system("/System/Library/UserEventPlugins")}},
        {"XPC Services", {layout.system("/System/Library/XPCServices")}},
        {"Security Agent Plugins",
         {layout.system("/System/Library/CoreServices/SecurityAgentPlugins")}},
    };
}

std::vector<LaunchItem> PluginDirectories::loadPrivilegedHelperTools(const HostLayout& layout) {
    std::vector<LaunchItem> items;
    for (const std::string& directory : privilegedHelperDirectories(layout)) {
        if (!folderStaysOnHost(directory, layout)) {
            continue;
        }
        for (std::string& name : visibleEntries(directory)) {
            LaunchItem item;
            const std::string path = appendPathComponent(directory, name);
            item.label = std::move(name);
            item.path = path;
            // The tool itself is the program, so the status pass can match
            // it to a running process by file name.
            item.executablePath = path;
            item.status = ServiceStatus::unknown;
            item.scope = LaunchScope::privilegedHelperTools;
            item.type = ServiceType::other;
            items.push_back(std::move(item));
        }
    }
    return items;
}

std::vector<LaunchItem> PluginDirectories::loadOtherItems(const HostLayout& layout) {
    std::vector<LaunchItem> items;
    for (const Category& category : pluginDirectories(layout)) {
        for (const std::string& directory : category.directories) {
            if (!folderStaysOnHost(directory, layout)) {
                continue;
            }
            for (std::string& name : visibleEntries(directory)) {
                LaunchItem item;
                item.path = appendPathComponent(directory, name);
                // "Name (Category)": the system-default test recovers the
                // name from this form.
                item.label = std::move(name) + " (" + category.name + ")";
                item.status = ServiceStatus::unknown;
                item.scope = LaunchScope::others;
                item.type = ServiceType::other;
                items.push_back(std::move(item));
            }
        }
    }
    return items;
}

} // namespace daemonary
