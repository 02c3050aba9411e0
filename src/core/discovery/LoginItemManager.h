#pragma once

#include "model/LaunchItem.h"
#include "platform/HostLayout.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace daemonary {

// Login items come from the "System Events" scripting interface through
// osascript, not from definition files.
class LoginItemManager {
public:
    static constexpr std::string_view kWarmUpScript = "launch application \"System Events\"";
    static constexpr std::string_view kListingScript =
        "tell application \"System Events\" to get {name, path} of every login item";

    // The user's login items as `user` records, each with the bundle
    // identifier of its application when it has one. Never fails: every
    // failure is one log line and an empty list.
    static std::vector<LaunchItem> fetchLoginItems(const HostLayout& layout);

    // CFBundleIdentifier of an Info.plist's bytes; nothing when there is none.
    static std::optional<std::string> bundleIdentifier(std::string_view infoPlist);

    // osascript prints the list {names, paths} flattened: all names, then all
    // paths, joined by ", ". The format has no quoting, so a name containing
    // ", " shifts the pairing; an odd count is rejected as a whole.
    static std::vector<LaunchItem> parseLoginItemOutput(std::string_view text);
};

} // namespace daemonary
