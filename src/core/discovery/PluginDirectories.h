#pragma once

#include "model/LaunchItem.h"
#include "platform/HostLayout.h"

#include <string>
#include <vector>

namespace daemonary {

// Categories that launchd does not define: privileged helper tools and the
// plug-ins of the system's well-known plug-in folders. Every visible entry of
// these folders is one record.
class PluginDirectories {
public:
    struct Category {
        std::string name;
        std::vector<std::string> directories;
    };

    static std::vector<std::string> privilegedHelperDirectories(const HostLayout& layout);
    // Categories in a fixed order, each with its folders in search order.
    static std::vector<Category> pluginDirectories(const HostLayout& layout);

    static std::vector<LaunchItem> loadPrivilegedHelperTools(const HostLayout& layout);
    static std::vector<LaunchItem> loadOtherItems(const HostLayout& layout);
};

} // namespace daemonary
