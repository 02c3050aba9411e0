#pragma once

#include "model/BackgroundItem.h"
#include "model/RunningProgram.h"

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace daemonary {

enum class ServiceStatus { active, inactive, onDemand, unknown };

// Where a record's pid came from: launchd's job table, or only a running
// process whose name matches the record's label or program. The second is a
// hint, shown as one and never signalled.
enum class PidSource { launchd, processName };

enum class ServiceType {
    launchService,
    launchAgent,
    launchDaemon,
    startupItem,
    kernelExtension,
    loginItem,
    xpcService,
    systemExtension,
    other,
};

// Declaration order is the sidebar order.
enum class LaunchScope {
    privilegedHelperTools,
    system,
    user,
    macos,
    mach,
    kernel,
    others,
    background,
};

std::string_view toText(ServiceStatus status);
std::string_view toText(ServiceType type);
std::string_view toText(LaunchScope scope);
// "launchd" or "processName", as JSON writes it.
std::string_view toText(PidSource source);

// Exact, case-sensitive match on the text value; nothing otherwise.
std::optional<ServiceStatus> serviceStatusFromText(std::string_view text);
std::optional<ServiceType> serviceTypeFromText(std::string_view text);
std::optional<LaunchScope> launchScopeFromText(std::string_view text);
std::optional<PidSource> pidSourceFromText(std::string_view text);

const std::array<LaunchScope, 8>& allScopes();
std::string_view symbolName(LaunchScope scope);

struct LaunchItem {
    std::string label;
    std::optional<std::string> path;
    std::optional<std::string> executablePath;
    // When executablePath is an interpreter or a launcher: what it runs.
    std::optional<RunningProgram> runs;
    // A login item's CFBundleIdentifier: launchd names login items by it.
    std::optional<std::string> bundleIdentifier;
    std::optional<std::int32_t> pid;
    // Meaningful only with a pid.
    PidSource pidSource = PidSource::launchd;
    std::optional<std::int32_t> index;
    ServiceStatus status = ServiceStatus::unknown;
    LaunchScope scope = LaunchScope::system;
    ServiceType type = ServiceType::other;
    // The app bundle a job registered with Background Task Management lives in.
    std::optional<std::string> parentApp;
    // False: the user switched it off under "Allow in the Background" and
    // launchd does not load it. Nothing: unknown, because Background Task
    // Management gave no answer (test with `== false`, never with `!`).
    std::optional<bool> allowedInBackground = true;
    // Background Task Management still lists it, but its files are gone.
    bool orphaned = false;
    std::optional<BackgroundItem> backgroundItem;
    // The login name whose home the record came from, for records read from
    // a Mac's disk, which holds every user's; nothing on a live host.
    std::optional<std::string> user;

    // A pid that only a process name gave: never acted on.
    bool pidIsGuess() const { return pid.has_value() && pidSource == PidSource::processName; }
    // The pid as launchd gave it to this record, or nothing.
    std::optional<std::int32_t> launchdPid() const { return pidIsGuess() ? std::nullopt : pid; }
    // "1234", or "1234?" for a guess.
    std::string pidText() const;

    // label + "-" + scope text + "-" + path (empty when absent).
    std::string id() const;
    // index, else pid, else -1.
    std::int32_t pidSortValue() const;
    // path, or the empty text.
    std::string pathSortValue() const;

    bool operator==(const LaunchItem&) const = default;
};

} // namespace daemonary

template <> struct std::hash<daemonary::LaunchItem> {
    std::size_t operator()(const daemonary::LaunchItem& item) const noexcept;
};
