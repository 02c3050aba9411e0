#pragma once

#include "offline/MacUser.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace daemonary {

// A record of the local directory
// (/private/var/db/dslocal/nodes/Default/users/<name>.plist) gives a user's
// name, uid and home: each key holds an array of strings, of which the first
// counts.

// Accounts below this uid are the system's own.
inline constexpr std::uint32_t kFirstLoginUid = 500;

// A record from a user file's bytes (XML or binary); nothing when the file is
// not a property list, or its name or home is missing or not a string. A
// uid that is not a plain decimal number in range is left out.
std::optional<MacUser> parseMacUserRecord(std::string_view bytes);

// Whether the record names a person's login account: not root, not a
// service account ("_" prefix, or a uid below kFirstLoginUid), with a home
// folder of its own under /Users that no "." or ".." component leads
// elsewhere ("/Users/Shared" is nobody's).
bool isLoginAccount(const MacUser& record);

// "/Users/alice" for a plain folder name under /Users; nothing for hidden
// folders, "Shared" and names that are not one path component.
std::optional<std::string> homeFromUsersFolder(std::string_view name);

} // namespace daemonary
