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

enum class ActionVerb { start, stop, toggle, disable, enable };

inline constexpr std::string_view kStartCommandUsage = "start LABEL [--scope NAME]";
inline constexpr std::string_view kStartCommandSummary =
    "Start a launch job that is not running (bootstrap, then kickstart).";
inline constexpr std::string_view kStopCommandUsage = "stop LABEL [--scope NAME]";
inline constexpr std::string_view kStopCommandSummary =
    "Stop a running launch job (bootout; SIGTERM when that fails).";
inline constexpr std::string_view kToggleCommandUsage = "toggle LABEL [--scope NAME]";
inline constexpr std::string_view kToggleCommandSummary =
    "Stop the job when it runs, start it otherwise.";
inline constexpr std::string_view kDisableCommandUsage = "disable LABEL [--scope NAME]...";
inline constexpr std::string_view kDisableCommandSummary =
    "Keep a launch agent from starting (launchctl disable); it is not stopped.";
inline constexpr std::string_view kEnableCommandUsage = "enable LABEL [--scope NAME]...";
inline constexpr std::string_view kEnableCommandSummary =
    "Let a disabled launch agent start again (launchctl enable); it is not started.";
inline constexpr std::string_view kActionCommandDetails =
    "start, stop, toggle, disable and enable options:\n"
    "  LABEL         the label exactly as \"list\" shows it; the first record with it wins\n"
    "  --scope NAME  the category to look in (as for list); may be repeated.\n"
    "                Default: every category, in sidebar order.\n"
    "  Exit status: 0 done, 1 refused or failed (reason on standard error),\n"
    "  2 no such record or a usage error.\n";

inline constexpr int kActionFailed = 1;
inline constexpr int kNoSuchRecord = 2;

struct ActionOptions {
    ActionVerb verb = ActionVerb::toggle;
    std::string label;
    std::vector<LaunchScope> scopes; // sidebar order, no repeats
    bool help = false;
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

// Finds the record and acts on it; the exit status as documented above.
// `load` gives the records of one category.
int performAction(const ActionOptions& options,
                  const std::function<std::vector<LaunchItem>(LaunchScope)>& load,
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

} // namespace daemonary
