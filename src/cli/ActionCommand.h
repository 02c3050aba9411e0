#pragma once

#include "model/LaunchItem.h"

#include <functional>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace daemonary {

class ServiceActionManager;

enum class ActionVerb { start, stop, toggle, disable, enable, remove };

inline constexpr std::string_view kStartCommandUsage = "start LABEL [--scope NAME]";
inline constexpr std::string_view kStartCommandSummary =
    "Start a launch job that is not running (bootstrap, then kickstart).";
inline constexpr std::string_view kStopCommandUsage = "stop LABEL [--scope NAME]";
inline constexpr std::string_view kStopCommandSummary =
    "Stop a running launch agent (bootout; when that fails, SIGTERM to the pid launchd gives it).";
inline constexpr std::string_view kToggleCommandUsage = "toggle LABEL [--scope NAME]";
inline constexpr std::string_view kToggleCommandSummary =
    "Stop the job when it runs, start it otherwise.";
inline constexpr std::string_view kDisableCommandUsage = "disable LABEL [--scope NAME]...";
inline constexpr std::string_view kDisableCommandSummary =
    "Keep a launch agent from starting (launchctl disable); it is not stopped.";
inline constexpr std::string_view kEnableCommandUsage = "enable LABEL [--scope NAME]...";
inline constexpr std::string_view kEnableCommandSummary =
    "Let a disabled launch agent start again (launchctl enable); it is not started.";
inline constexpr std::string_view kRemoveCommandUsage = "remove LABEL [--scope NAME]... [--yes]";
inline constexpr std::string_view kRemoveCommandSummary =
    "Unload a User item's job and move its definition to the Trash (or delete the login item).";
inline constexpr std::string_view kActionCommandDetails =
    "start, stop, toggle, disable, enable and remove options:\n"
    "  LABEL         the label exactly as \"list\" shows it; the first record with it wins\n"
    "  --scope NAME  the category to look in (as for list); may be repeated.\n"
    "                Default: every category, in sidebar order.\n"
    "  --yes         (remove) do not ask; without it, remove asks on a terminal\n"
    "                and refuses when there is none.\n"
    "  Only launch agents are started and stopped, only User items removed; for a\n"
    "  daemon the command an administrator runs is printed and nothing changes.\n"
    "  A PID found only by a process name (shown as \"1234?\") is never signalled.\n"
    "  Exit status: 0 done, 1 refused or failed (reason on standard error),\n"
    "  2 no such record or a usage error.\n";

inline constexpr int kActionFailed = 1;
inline constexpr int kNoSuchRecord = 2;

struct ActionOptions {
    ActionVerb verb = ActionVerb::toggle;
    std::string label;
    std::vector<LaunchScope> scopes; // sidebar order, no repeats
    bool help = false;
    bool yes = false; // remove only
};

struct ActionUsageError {
    std::string message;
};

std::variant<ActionOptions, ActionUsageError>
parseActionOptions(ActionVerb verb, const std::vector<std::string>& arguments);

// The first record with the label, loading the categories one at a time in
// the given order and stopping at the first that has it.
std::optional<LaunchItem>
findFirstRecord(const std::string& label, const std::vector<LaunchScope>& scopes,
                const std::function<std::vector<LaunchItem>(LaunchScope)>& load);

// What the command line needs besides the manager: the records of one
// category, launchd's disabled state of a record (nothing when unknown), and
// the user's answer to a question (nothing when nobody can answer).
struct ActionSources {
    std::function<std::vector<LaunchItem>(LaunchScope)> load;
    std::function<std::optional<bool>(const LaunchItem&)> disabled;
    std::function<std::optional<bool>(const std::string& question)> confirm;
};

// Finds the record and acts on it; the exit status as documented above.
int performAction(const ActionOptions& options, const ActionSources& sources,
                  const ServiceActionManager& actions, std::ostream& out, std::ostream& err);

int runStartCommand(const std::vector<std::string>& arguments, std::ostream& out,
                    std::ostream& err);
int runStopCommand(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err);
int runToggleCommand(const std::vector<std::string>& arguments, std::ostream& out,
                     std::ostream& err);
int runDisableCommand(const std::vector<std::string>& arguments, std::ostream& out,
                      std::ostream& err);
int runEnableCommand(const std::vector<std::string>& arguments, std::ostream& out,
                     std::ostream& err);
int runRemoveCommand(const std::vector<std::string>& arguments, std::ostream& out,
                     std::ostream& err);

} // namespace daemonary
