#pragma once

#include "discovery/DisabledServices.h"

#include <optional>
#include <string_view>

namespace daemonary {

// One domain's overrides from launchd's own file
// (/private/var/db/com.apple.xpc.launchd/disabled.plist for the system
// domain, disabled.<uid>.plist for a user's): a dictionary of label ->
// boolean, true meaning disabled, as `launchctl print-disabled` prints it.
// The same file keys login items by bundle identifier, so every entry is
// also a login item's. Entries whose value is not a boolean are skipped;
// nothing when the bytes are not a property list holding a dictionary.
std::optional<DisabledOverrides> parseDisabledFile(std::string_view bytes);

} // namespace daemonary
