#pragma once

#include "platform/ToolRunner.h"

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

namespace daemonary {

// The single place where fixed system paths are spelled. With a host root set
// (DAEMONARY_HOST_ROOT), every fixed absolute path is taken under that folder,
// so the application can run against a simulated Mac. The home directory is
// never prefixed: it comes from HOME, else the password database.
class HostLayout {
public:
    HostLayout(std::string hostRoot, std::string homeDirectory);

    // DAEMONARY_HOST_ROOT (when set and not empty) and the user's home;
    // DAEMONARY_TOOL_TIMEOUT_MS, a positive number of milliseconds, sets the
    // tool time limit (tests with tools that never answer use a short one).
    static HostLayout fromEnvironment();

    // How long each run of the host's tools may take.
    std::chrono::milliseconds toolTimeout() const { return m_toolTimeout; }
    void setToolTimeout(std::chrono::milliseconds timeout) { m_toolTimeout = timeout; }
    // Options for a run of one of the host's tools, within toolTimeout();
    // they carry the refusal when tools are refused.
    ToolOptions toolOptions(bool captureOutput, bool captureError) const;

    // A Mac's disk read as evidence: every run through this layout is
    // refused, for this reason, and nothing is started.
    void refuseTools(std::string reason) { m_toolRefusal = std::move(reason); }
    const std::optional<std::string>& toolRefusal() const { return m_toolRefusal; }
    bool refusesTools() const { return m_toolRefusal.has_value(); }

    const std::string& hostRoot() const { return m_hostRoot; }
    const std::string& homeDirectory() const { return m_home; }

    // A fixed absolute path ("/Library/LaunchAgents") under the host root.
    std::string system(std::string_view absolutePath) const;
    // A path relative to the home directory ("Library/LaunchAgents").
    std::string home(std::string_view relativePath) const;
    // Where a path that a record carries lies on this machine. Records mix
    // paths that discovery found (already under the host root or in the
    // home directory) with paths as the Mac names them (a program, a login
    // item's application); the latter are taken under the host root. Without
    // a host root every path is returned as it is.
    std::string onHost(std::string_view path) const;
    // Where a path that a file or a tool gave lies on this machine, when it
    // stays on the host: "." and ".." taken by name as the Mac takes them
    // (".." at the top stays there), then onHost(), then after every link
    // still inside the host root or the home folder (a home outside the root
    // is the user's own). Nothing for a relative path or one that leaves.
    // Without a host root, any absolute path as it is.
    std::optional<std::string> insideHost(std::string_view path) const;

    // While one lives on a thread, insideHost remembers on that thread where
    // each path it looked at leads: one load asks about the same files and
    // folders many times (a definition when it is read and again when it is
    // kept, the deepest existing folder of every missing program). Made for
    // the length of one load, so that the next one sees the disk anew.
    class CheckMemo {
    public:
        CheckMemo();
        ~CheckMemo();
        CheckMemo(const CheckMemo&) = delete;
        CheckMemo& operator=(const CheckMemo&) = delete;

    private:
        friend class HostLayout;
        CheckMemo* m_outer;
        std::unordered_map<std::string, std::optional<std::string>> m_resolved;
    };

    std::string launchctl() const { return system("/bin/launchctl"); }
    std::string kmutil() const { return system("/usr/bin/kmutil"); }
    std::string osascript() const { return system("/usr/bin/osascript"); }
    std::string codesign() const { return system("/usr/bin/codesign"); }
    std::string sfltool() const { return system("/usr/bin/sfltool"); }

    std::string systemDaemons() const { return system("/System/Library/LaunchDaemons"); }
    std::string systemAgents() const { return system("/System/Library/LaunchAgents"); }
    std::string globalDaemons() const { return system("/Library/LaunchDaemons"); }
    std::string globalAgents() const { return system("/Library/LaunchAgents"); }
    std::string userAgents() const { return home("Library/LaunchAgents"); }
    std::string systemStartupItems() const { return system("/System/Library/StartupItems"); }
    std::string globalStartupItems() const { return system("/Library/StartupItems"); }
    std::string systemExtensions() const { return system("/System/Library/Extensions"); }
    std::string libraryExtensions() const { return system("/Library/Extensions"); }
    std::string applications() const { return system("/Applications"); }
    std::string userApplications() const { return home("Applications"); }

private:
    struct CanonicalFolders;
    // The folder after every link, once it could be resolved; asked again
    // until then (a host root may be made after the layout).
    std::optional<std::string> canonical(const std::string& folder) const;
    // The deepest part of path that exists, after every link.
    static std::optional<std::string> resolvedExisting(std::string path);
    static std::optional<std::string> memoResolved(const std::string& candidate);

    std::string m_hostRoot;
    std::string m_home;
    std::chrono::milliseconds m_toolTimeout = kDefaultToolTimeout;
    std::optional<std::string> m_toolRefusal;
    // Every path check compares against the root and the home after their
    // links: resolved once and shared by copies, not once per path.
    std::shared_ptr<CanonicalFolders> m_canonical;
};

// Whether a folder discovery lists stays on the host (insideHost); one that a
// link takes out of it is logged once and not listed, so no name from
// outside the host reaches a record or a problem. Always true without a
// host root.
bool folderStaysOnHost(const std::string& folder, const HostLayout& layout);

} // namespace daemonary
