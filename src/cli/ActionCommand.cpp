#include "ActionCommand.h"

#include "Cli.h"
#include "CommandLineWorkspace.h"
#include "LabelArgument.h"
#include "ScopeSelection.h"
#include "actions/ServiceActionManager.h"
#include "discovery/LaunchServiceManager.h"
#include "platform/Log.h"
#include "text/Text.h"

#include <array>
#include <optional>
#include <ostream>

namespace daemonary {

namespace {

std::string_view verbName(ActionVerb verb) {
    switch (verb) {
    case ActionVerb::start:
        return "start";
    case ActionVerb::stop:
        return "stop";
    case ActionVerb::toggle:
        return "toggle";
    case ActionVerb::disable:
        return "disable";
    case ActionVerb::enable:
        return "enable";
    }
    return "toggle";
}

std::string_view usageOf(ActionVerb verb) {
    switch (verb) {
    case ActionVerb::start:
        return kStartCommandUsage;
    case ActionVerb::stop:
        return kStopCommandUsage;
    case ActionVerb::toggle:
        return kToggleCommandUsage;
    case ActionVerb::disable:
        return kDisableCommandUsage;
    case ActionVerb::enable:
        return kEnableCommandUsage;
    }
    return kToggleCommandUsage;
}

std::string scopeNames(const std::vector<LaunchScope>& scopes) {
    std::string names;
    for (const LaunchScope scope : scopes) {
        if (!names.empty()) {
            names.append(", ");
        }
        names.append(toText(scope));
    }
    return names;
}

// The same rule the toggle applies.
bool isRunning(const LaunchItem& item) {
    return item.pid.has_value() || item.status == ServiceStatus::active;
}

std::string describe(const LaunchItem& item) {
    return displayableText(item.label) + " (" + std::string(toText(item.scope)) + ")";
}

// What the record said about its process when it was loaded.
std::string stateText(const LaunchItem& item) {
    if (item.pid) {
        return "PID " + std::to_string(*item.pid);
    }
    return std::string(toText(item.status));
}

// Neither verb touches the process, so the message says what still runs.
int changeDisabled(bool disable, const LaunchItem& item, bool running,
                   const ServiceActionManager& actions, const std::string& prefix,
                   std::ostream& out, std::ostream& err) {
    const ActionResult result =
        disable ? actions.disableService(item) : actions.enableService(item);
    if (result) {
        // A refusal or launchctl's own words read best as they are.
        err << prefix << "Failed to " << (disable ? "disable " : "enable ") << describe(item)
            << ": " << displayableText(result->reason()) << "\n";
        return kActionFailed;
    }
    if (disable) {
        out << "Disabled " << describe(item);
        if (running) {
            out << "; it is still running (" << stateText(item)
                << "): \"daemonary-cli stop\" ends it now";
        }
    } else {
        out << "Enabled " << describe(item);
        if (!running) {
            out << "; it starts again when launchd next starts it (at login, or "
                   "\"daemonary-cli start\")";
        }
    }
    out << "\n";
    return 0;
}

int run(ActionVerb verb, const std::vector<std::string>& arguments, std::ostream& out,
        std::ostream& err) {
    auto parsed = parseActionOptions(verb, arguments);
    if (const auto* error = std::get_if<ActionUsageError>(&parsed)) {
        err << "daemonary-cli " << verbName(verb) << ": " << error->message << "\n"
            << "Usage: daemonary-cli " << usageOf(verb) << "\n";
        return kCliUsageError;
    }
    const ActionOptions& options = std::get<ActionOptions>(parsed);
    if (options.help) {
        out << "Usage: daemonary-cli " << usageOf(verb) << "\n\n" << kActionCommandDetails;
        return 0;
    }
    const LaunchServiceManager discovery;
    CommandLineWorkspace workspace;
    const ServiceActionManager actions(workspace, discovery.layout());
    // One picture for every category searched; see show.
    HostPicture::Needs needs = HostPicture::Needs::forScopes(options.scopes, false);
    needs.loadedExtensions = false;
    needs.loginItems = false;
    const HostPicture picture = discovery.takePicture(needs);
    const int status = performAction(
        options,
        [&discovery, &picture](LaunchScope scope) { return discovery.loadItems(scope, picture); },
        actions, out, err);
    picture.writeLog();
    return status;
}

} // namespace

std::variant<ActionOptions, ActionUsageError>
parseActionOptions(ActionVerb verb, const std::vector<std::string>& arguments) {
    ActionOptions options;
    options.verb = verb;
    ScopeSelection selection;
    LabelArgument label;

    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument == "--help" || argument == "-h") {
            options.help = true;
        } else if (ScopeSelection::isScopeOption(argument)) {
            if (auto error = selection.take(arguments, i)) {
                return ActionUsageError{std::move(error->message)};
            }
        } else if (auto error = label.take(arguments, i)) {
            return ActionUsageError{std::move(*error)};
        }
    }
    if (auto error = label.missing(options.help)) {
        return ActionUsageError{std::move(*error)};
    }
    options.label = label.label();
    options.scopes = selection.scopes();
    return options;
}

std::optional<LaunchItem>
findFirstRecord(const std::string& label, const std::vector<LaunchScope>& scopes,
                const std::function<std::vector<LaunchItem>(LaunchScope)>& load) {
    for (const LaunchScope scope : scopes) {
        for (LaunchItem& item : load(scope)) {
            if (item.label == label) {
                return std::move(item);
            }
        }
    }
    return std::nullopt;
}

int performAction(const ActionOptions& options,
                  const std::function<std::vector<LaunchItem>(LaunchScope)>& load,
                  const ServiceActionManager& actions, std::ostream& out, std::ostream& err) {
    const std::string prefix = "daemonary-cli " + std::string(verbName(options.verb)) + ": ";

    const std::optional<LaunchItem> found = findFirstRecord(options.label, options.scopes, load);
    if (!found) {
        err << prefix << "no service labelled \"" << displayableText(options.label) << "\" in "
            << scopeNames(options.scopes) << "\n";
        return kNoSuchRecord;
    }

    const bool running = isRunning(*found);
    if (options.verb == ActionVerb::disable || options.verb == ActionVerb::enable) {
        return changeDisabled(options.verb == ActionVerb::disable, *found, running, actions, prefix,
                              out, err);
    }
    if (options.verb == ActionVerb::start && running) {
        err << prefix << describe(*found) << " is already running (" << stateText(*found) << ")\n";
        return kActionFailed;
    }
    if (options.verb == ActionVerb::stop && !running) {
        err << prefix << describe(*found) << " is not running (" << stateText(*found) << ")\n";
        return kActionFailed;
    }

    const ActionResult result = actions.toggleService(*found);
    if (result) {
        err << prefix << "Failed to " << (running ? "stop " : "start ") << describe(*found) << ": "
            << Log::singleLine(result->text()) << "\n";
        return kActionFailed;
    }
    out << (running ? "Stopped " + describe(*found) + ", was " + stateText(*found)
                    : "Started " + describe(*found))
        << "\n";
    return 0;
}

int runStartCommand(const std::vector<std::string>& arguments, std::ostream& out,
                    std::ostream& err) {
    return run(ActionVerb::start, arguments, out, err);
}

int runStopCommand(const std::vector<std::string>& arguments, std::ostream& out,
                   std::ostream& err) {
    return run(ActionVerb::stop, arguments, out, err);
}

int runToggleCommand(const std::vector<std::string>& arguments, std::ostream& out,
                     std::ostream& err) {
    return run(ActionVerb::toggle, arguments, out, err);
}

int runDisableCommand(const std::vector<std::string>& arguments, std::ostream& out,
                      std::ostream& err) {
    return run(ActionVerb::disable, arguments, out, err);
}

int runEnableCommand(const std::vector<std::string>& arguments, std::ostream& out,
                     std::ostream& err) {
    return run(ActionVerb::enable, arguments, out, err);
}

} // namespace daemonary
