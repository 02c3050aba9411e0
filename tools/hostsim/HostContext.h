#pragma once

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>

namespace daemonary::hostsim {

// Where one simulated host lives and how its paths map to the real file
// system. State files keep paths relative to the host root; an absolute path
// handed to a tool is either already under the root or names a path of the
// simulated Mac ("/Applications/X.app"), which lies under the root as well.
class HostContext {
public:
    HostContext(std::string root, std::ostream& out, std::ostream& err);

    const std::string& root() const { return m_root; }
    std::ostream& out() const { return m_out; }
    std::ostream& err() const { return m_err; }

    std::string stateDirectory() const;

    // Who runs the tool: the real user id, unless DAEMONARY_HOSTSIM_UID
    // names another one, so that a test running as root can act as the
    // simulated Mac's ordinary user. Decides which gui/<uid> domain is the
    // caller's own and whether the system domain may be changed (root only).
    std::uint32_t callerUid() const { return m_callerUid; }
    void setCallerUid(std::uint32_t uid) { m_callerUid = uid; }
    bool callerIsRoot() const { return m_callerUid == 0; }

    // Relative form kept in state files. Nothing for an empty path.
    std::optional<std::string> storedPath(std::string_view path) const;
    // Real file-system path of a stored (relative) path.
    std::string realPath(std::string_view stored) const;

private:
    std::string m_root;
    std::uint32_t m_callerUid;
    std::ostream& m_out;
    std::ostream& m_err;
};

// The host root of one invocation: DAEMONARY_HOST_ROOT when set and not
// empty, else the folder the tool link lies in (<root>/bin/launchctl,
// <root>/usr/bin/kmutil, ...). argv0 is the name the program was run under;
// a relative one is taken against workingDirectory.
std::optional<std::string> hostRootFor(std::string_view toolName, std::string_view argv0,
                                       const char* environmentRoot,
                                       std::string_view workingDirectory);

std::string currentWorkingDirectory();

// The value of DAEMONARY_HOSTSIM_UID: a decimal user id, nothing when unset,
// empty or not a number.
std::optional<std::uint32_t> simulatedCallerUid(const char* environmentValue);

// Absolute and lexically normal, without a trailing separator.
std::string normalisedAbsolutePath(std::string_view path, std::string_view workingDirectory);

} // namespace daemonary::hostsim
