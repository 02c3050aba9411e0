#pragma once

#include "model/LaunchItem.h"

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace daemonary {

// One domain's entries in launchd's database of disabled services, label ->
// disabled. A label that is not listed was never disabled or enabled
// explicitly, which launchd treats as enabled.
struct DisabledOverrides {
    std::map<std::string, bool, std::less<>> services;
    std::map<std::string, bool, std::less<>> loginItems;

    bool operator==(const DisabledOverrides&) const = default;
};

// The decoded output of `launchctl print-disabled <domain>`: the
// "disabled services = { ... }" block and, where the system prints it, the
// "disabled login items" block, each a line `"label" => disabled` per entry
// ("enabled" for the opposite; before macOS 13 "true" and "false"). Blocks of
// other names are passed over. A line inside a block that is not such an
// entry is logged and skipped. Nothing when the text holds neither block:
// then the tool said nothing usable.
std::optional<DisabledOverrides> parsePrintDisabled(std::string_view text);

// The launchd domains whose disabled state Daemonary reads: the user's GUI
// domain (agents of every folder, the job table, login items) and the system
// domain (daemons).
enum class LaunchdDomain { user, system };

// The domain that decides whether launchd starts this record; nothing for
// what launchd does not start by label (kernel extensions, startup items,
// helper tools, plug-ins).
std::optional<LaunchdDomain> disabledStateDomain(const LaunchItem& item);

// What one load learnt about both domains. A domain whose state could not be
// read stays absent, and every record of that domain has no disabled state:
// unknown is never shown as enabled or disabled.
struct DisabledServices {
    std::optional<DisabledOverrides> user;
    std::optional<DisabledOverrides> system;
    // Login name -> that user's domain, for records that name their user
    // (read from a Mac's disk); a user missing here is unknown, and such a
    // record never falls back to `user`.
    std::map<std::string, DisabledOverrides, std::less<>> users;

    // True or false when the record's domain was read; nothing otherwise.
    std::optional<bool> isDisabled(const LaunchItem& item) const;
    bool hasDisabled(const LaunchItem& item) const { return isDisabled(item).value_or(false); }

    // Only these categories hold records that launchd starts by label, so
    // only their loads need the state.
    static bool appliesTo(LaunchScope scope);

    bool operator==(const DisabledServices&) const = default;
};

} // namespace daemonary
