#include "actions/ActionAvailability.h"

#include "text/Text.h"

namespace daemonary {

namespace {

constexpr const char* kLoginItemsSettings = "System Settings \u25B8 General \u25B8 Login Items";

std::string onlyAgents(const LaunchItem& item, const char* verb) {
    return std::string("Only launch agents can be ") + verb + " here; this is a " +
           std::string(toText(item.type));
}

} // namespace

bool ActionAvailability::isRunning(const LaunchItem& item) {
    return item.launchdPid().has_value() || item.status == ServiceStatus::active;
}

std::string ActionAvailability::administratorStopCommand(const LaunchItem& item) {
    return "sudo launchctl bootout " + shellQuoted("system/" + item.label);
}

std::string ActionAvailability::administratorStartCommand(const LaunchItem& item) {
    if (item.path) {
        return "sudo launchctl bootstrap system " + shellQuoted(*item.path);
    }
    return "sudo launchctl kickstart " + shellQuoted("system/" + item.label);
}

std::optional<std::string> ActionAvailability::stopRefusal(const LaunchItem& item) {
    // Daemons run in the system domain, which only an administrator may
    // change; Daemonary never asks for those rights.
    if (item.type == ServiceType::launchDaemon) {
        return "Stopping a daemon needs administrator rights: " + administratorStopCommand(item);
    }
    if (item.type != ServiceType::launchAgent) {
        return onlyAgents(item, "stopped");
    }
    if (item.pidIsGuess()) {
        return "launchd lists no job for it: PID " + std::to_string(*item.pid) +
               " is only a process with a matching name, and it is not signalled";
    }
    if (!isRunning(item)) {
        return std::string("It is not running");
    }
    if (!item.path) {
        return std::string("It has no definition file to ask launchd to stop it by");
    }
    return std::nullopt;
}

std::optional<std::string> ActionAvailability::startRefusal(const LaunchItem& item,
                                                            std::optional<bool> disabled) {
    if (item.type == ServiceType::launchDaemon) {
        return "Starting a daemon needs administrator rights: " + administratorStartCommand(item);
    }
    if (item.type != ServiceType::launchAgent) {
        return onlyAgents(item, "started");
    }
    if (isRunning(item)) {
        return std::string("It is already running");
    }
    if (item.orphaned) {
        return std::string("Its app is gone, so there is nothing to start; remove it in ") +
               kLoginItemsSettings;
    }
    if (item.allowedInBackground == false) {
        return std::string("It is not allowed in the background; allow it in ") +
               kLoginItemsSettings;
    }
    if (!item.path) {
        return std::string("It has no definition file to start it from");
    }
    if (disabled.value_or(false)) {
        return std::string("It is disabled; enable it first");
    }
    return std::nullopt;
}

std::optional<std::string> ActionAvailability::removeRefusal(const LaunchItem& item) {
    if (item.type == ServiceType::launchDaemon) {
        return "Removing a daemon needs administrator rights: " + administratorStopCommand(item) +
               ", then move its definition to the Trash";
    }
    if (item.scope != LaunchScope::user) {
        return std::string("Only items of the User category can be removed here");
    }
    if (!item.path) {
        return std::string("Nothing says which file it is");
    }
    return std::nullopt;
}

ToggleOffer ActionAvailability::toggle(const LaunchItem& item, std::optional<bool> disabled) {
    if (isRunning(item) || item.pidIsGuess()) {
        const std::optional<std::string> refusal = stopRefusal(item);
        return {ToggleOffer::Kind::stop, !refusal,
                refusal.value_or("Stop the job now (launchctl bootout)")};
    }
    if (!startRefusal(item, std::nullopt) && disabled.value_or(false)) {
        return {ToggleOffer::Kind::enableAndStart, true,
                "It is disabled: enable it (launchctl enable) and start it now"};
    }
    const std::optional<std::string> refusal = startRefusal(item, disabled);
    return {ToggleOffer::Kind::start, !refusal,
            refusal.value_or("Start the job now (launchctl bootstrap, then kickstart)")};
}

} // namespace daemonary
