#pragma once

#include "discovery/DisabledServices.h"
#include "discovery/LaunchServiceManager.h"
#include "model/LaunchItem.h"
#include "offline/MacUser.h"
#include "platform/HostLayout.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace daemonary {

struct MacDiskError {
    std::string message; // one line
};

// A Mac's file system mounted or copied on this machine (a disk image, a
// copied tree), read as evidence: nothing on it and none of this machine's
// tools is run, nothing under it is written, and no link is followed out of
// it. Running and allowed-in-background states cannot be read from files
// and are unknown; the disabled state comes from launchd's own files.
class MacDisk {
public:
    // Refuses a folder that does not look like a Mac's root (neither
    // System/Library nor Library).
    static std::variant<MacDisk, MacDiskError> open(const std::string& directory);

    // The folder given, absolute.
    const std::string& root() const;
    // From the local directory's user records, else the folders under
    // /Users; in name order.
    const std::vector<MacUser>& users() const;

    // Paths under the root; with a user, that user's home. Every tool run
    // through it is refused.
    HostLayout layout(const MacUser* user = nullptr) const;

    // The system domain's and every user's disabled overrides, from
    // launchd's files.
    const DisabledServices& disabled() const;

    // One category's records as a live load gives them, every user's in the
    // user categories (each naming its user); statuses unknown, no pid,
    // allowed state unknown. Never fails; thread-safe.
    DiscoveredCategory loadCategory(LaunchScope scope) const;

    // The Mac's own path for a path under the root ("/Library/x" for
    // "<root>/Library/x"); any other path as it is.
    std::string macPath(std::string_view path) const;

    // Why no tool runs: the words of every refused run.
    static constexpr std::string_view kToolRefusal =
        "a Mac's disk is read without running anything";

private:
    MacDisk() = default;

    std::vector<MacUser> readUsers() const;
    DisabledServices readDisabled() const;
    std::optional<DisabledOverrides> readDisabledFile(const std::string& macPath,
                                                      bool folderExists) const;
    // One layout's records of a category, with the root taken off their paths.
    DiscoveredCategory loadWith(const HostLayout& layout, LaunchScope scope) const;
    // The Background records of the apps in one user's home.
    DiscoveredCategory loadOwnApps(const HostLayout& layout) const;
    // Unknown running and allowed states, the root taken off every path.
    void finish(DiscoveredCategory& category) const;
    void stripRoot(std::string& path) const;

    std::string m_root;
    std::vector<MacUser> m_users;
    DisabledServices m_disabled;
};

} // namespace daemonary
