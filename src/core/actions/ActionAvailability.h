#pragma once

#include "model/LaunchItem.h"

#include <optional>
#include <string>

namespace daemonary {

// What Start or Stop offers for a record: the window's button shows it, the
// command line follows the same rule.
struct ToggleOffer {
    enum class Kind { start, enableAndStart, stop };

    Kind kind = Kind::start;
    bool available = false;
    // What pressing it does, or why it is unavailable and what to do instead.
    std::string explanation;
};

// The one rule for which actions can work on a record. Pure: reads only the
// record and the disabled state it is given, so the GUI thread may ask.
class ActionAvailability {
public:
    // launchd's table gives it a pid or says it is active. A pid found only
    // by a process name does not count.
    static bool isRunning(const LaunchItem& item);

    // Why stopping cannot work or is not ours to do; nothing when it can.
    static std::optional<std::string> stopRefusal(const LaunchItem& item);
    // Why starting cannot work; nothing when it can. `disabled` is launchd's
    // disabled state for the record, nothing when unknown.
    static std::optional<std::string> startRefusal(const LaunchItem& item,
                                                   std::optional<bool> disabled);
    // Why removal is not offered; nothing when it is.
    static std::optional<std::string> removeRefusal(const LaunchItem& item);

    // Stop for a record that runs or carries a guessed pid, otherwise Start,
    // or "Enable and Start" for a stopped job whose only obstacle is being
    // disabled.
    static ToggleOffer toggle(const LaunchItem& item, std::optional<bool> disabled);

    // What an administrator runs to stop, start or remove a daemon.
    static std::string administratorStopCommand(const LaunchItem& item);
    static std::string administratorStartCommand(const LaunchItem& item);
};

} // namespace daemonary
