#pragma once

#include "model/LaunchItem.h"
#include "plist/PropertyList.h"

#include <string>
#include <string_view>
#include <vector>

namespace daemonary {

// One reason a job runs (or a condition it runs under), read from its
// definition: the key it comes from, a sentence for people and the value it
// was read from.
struct TriggerFact {
    std::string kind;
    std::string text;
    PlistValue value;
    // The value had the wrong type or was out of range.
    bool unreadable = false;

    bool operator==(const TriggerFact&) const = default;
};

// The trigger facts of a launchd definition in a fixed order: RunAtLoad,
// KeepAlive (one fact per condition), StartInterval, StartCalendarInterval
// (one per entry), WatchPaths, QueueDirectories, StartOnMount, MachServices,
// Sockets, LaunchEvents, LaunchOnlyOnce, Disabled, UserName, GroupName,
// ProcessType, and last the command line (kind "Command"). A value of the
// wrong type or out of range gives a fact saying it cannot be read.
std::vector<TriggerFact> triggerFacts(const PlistDictionary& definition);

inline constexpr std::string_view kBackgroundFactKind = "BackgroundTaskManagement";

// What Background Task Management says about a record (kind
// kBackgroundFactKind), which goes before its definition's facts: a
// job the user did not allow in the background does not run whatever its
// definition says.
std::vector<TriggerFact> backgroundFacts(const LaunchItem& item);

// "a dictionary", "an integer", ...: what a value is, for messages.
std::string plistTypeName(const PlistValue& value);

// "every 1 h 30 min"; nothing sensible for zero or less, so callers check.
std::string intervalText(std::int64_t seconds);

} // namespace daemonary
