#include "ActionCommand.h"

#include "Cli.h"
#include "CommandLineWorkspace.h"
#include "LabelArgument.h"
#include "ScopeSelection.h"
#include "actions/ActionAvailability.h"
#include "actions/ServiceActionManager.h"
#include "discovery/LaunchServiceManager.h"
#include "platform/Log.h"
#include "text/Text.h"
#include "text/TextParsing.h"

#include <iostream>
#include <optional>
#include <ostream>
#include <unistd.h>

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
    case ActionVerb::remove:
        return "remove";
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
    case ActionVerb::remove:
        return kRemoveCommandUsage;
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

std::string describe(const LaunchItem& item) {
    return displayableText(item.label) + " (" + std::string(toText(item.scope)) + ")";
}

// What the record said about its process when it was loaded.
std::string stateText(const LaunchItem& item) {
    if (item.pid) {
        return "PID " + item.pidText();
    }
    return std::string(toText(item.status));
}

// A refusal or launchctl's reason, on the one line a terminal gets.
std::string reasonText(std::string_view reason) {
    return Log::singleLine(reason);
}

// Neither verb touches the process, so the message says what still runs.
int changeDisabled(bool disable, const LaunchItem& item, bool running,
                   const ServiceActionManager& actions, const std::string& prefix,
                   std::ostream& out, std::ostream& err) {
    const ActionResult result =
        disable ? actions.disableService(item) : actions.enableService(item);
    if (result) {
        err << prefix << "Failed to " << (disable ? "disable " : "enable ") << describe(item)
            << ": " << reasonText(result->reason()) << "\n";
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

std::string removalQuestion(const LaunchItem& item) {
    if (!ServiceActionManager::isLaunchdJobFile(item)) {
        return "Remove " + describe(item) + " from the login items? The application stays.";
    }
    return "Remove " + describe(item) + "? Its job is unloaded if launchd has it, and " +
           displayableText(item.path.value_or("")) + " moves to the Trash.";
}

int remove(const ActionOptions& options, const LaunchItem& item, const ActionSources& sources,
           const ServiceActionManager& actions, const std::string& prefix, std::ostream& out,
           std::ostream& err) {
    if (const auto refusal = ActionAvailability::removeRefusal(item)) {
        err << prefix << describe(item) << " was not removed: " << reasonText(*refusal) << "\n";
        return kActionFailed;
    }
    if (!options.yes) {
        const std::optional<bool> answer =
            sources.confirm ? sources.confirm(removalQuestion(item)) : std::nullopt;
        if (!answer) {
            err << prefix << describe(item)
                << " was not removed: there is no terminal to ask on; add --yes\n";
            return kActionFailed;
        }
        if (!*answer) {
            err << prefix << describe(item) << " was not removed\n";
            return kActionFailed;
        }
    }
    if (const ActionResult result = actions.removeService(item, {})) {
        err << prefix << "Failed to remove " << describe(item) << ": "
            << reasonText(result->reason()) << "\n";
        return kActionFailed;
    }
    if (ServiceActionManager::isLaunchdJobFile(item)) {
        out << "Removed " << describe(item) << ": " << displayableText(*item.path)
            << " is in the Trash\n";
    } else {
        out << "Removed " << describe(item) << " from the login items\n";
    }
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
    CommandLineWorkspace workspace(discovery.layout().home(".Trash"));
    const ServiceActionManager actions(workspace, discovery.layout());
    // One picture for every category searched; see show.
    HostPicture::Needs needs = HostPicture::Needs::forScopes(options.scopes, false);
    needs.loadedExtensions = false;
    needs.loginItems = false;
    const HostPicture picture = discovery.takePicture(needs);
    ActionSources sources;
    sources.load = [&discovery, &picture](LaunchScope scope) {
        return discovery.loadItems(scope, picture);
    };
    sources.disabled = [&discovery](const LaunchItem& item) {
        return discovery.loadDisabledServices().isDisabled(item);
    };
    sources.confirm = [&err](const std::string& question) -> std::optional<bool> {
        if (::isatty(STDIN_FILENO) == 0) {
            return std::nullopt;
        }
        err << question << " [y/N] " << std::flush;
        std::string answer;
        if (!std::getline(std::cin, answer)) {
            return false;
        }
        const std::string word = asciiLowercased(trimWhitespace(answer));
        return word == "y" || word == "yes";
    };
    const int status = performAction(options, sources, actions, out, err);
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
        } else if (verb == ActionVerb::remove && argument == "--yes") {
            options.yes = true;
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

int performAction(const ActionOptions& options, const ActionSources& sources,
                  const ServiceActionManager& actions, std::ostream& out, std::ostream& err) {
    const std::string prefix = "daemonary-cli " + std::string(verbName(options.verb)) + ": ";

    const std::optional<LaunchItem> found =
        findFirstRecord(options.label, options.scopes, sources.load);
    if (!found) {
        err << prefix << "no service labelled \"" << displayableText(options.label) << "\" in "
            << scopeNames(options.scopes) << "\n";
        return kNoSuchRecord;
    }
    const LaunchItem& item = *found;

    const bool running = ActionAvailability::isRunning(item);
    if (options.verb == ActionVerb::disable || options.verb == ActionVerb::enable) {
        return changeDisabled(options.verb == ActionVerb::disable, item, running, actions, prefix,
                              out, err);
    }
    if (options.verb == ActionVerb::remove) {
        return remove(options, item, sources, actions, prefix, out, err);
    }
    const bool stopping = options.verb == ActionVerb::stop ||
                          (options.verb == ActionVerb::toggle && (running || item.pidIsGuess()));
    if (!stopping && running) {
        err << prefix << describe(item) << " is already running (" << stateText(item) << ")\n";
        return kActionFailed;
    }
    if (stopping && !running && !item.pidIsGuess()) {
        err << prefix << describe(item) << " is not running (" << stateText(item) << ")\n";
        return kActionFailed;
    }
    // The window's rule: a daemon is the administrator's, a guessed pid is
    // nobody's to signal, a disabled job is enabled first.
    const std::optional<std::string> refusal =
        stopping ? ActionAvailability::stopRefusal(item)
                 : ActionAvailability::startRefusal(item, sources.disabled ? sources.disabled(item)
                                                                           : std::nullopt);
    if (refusal) {
        err << prefix << describe(item) << " was not " << (stopping ? "stopped" : "started") << ": "
            << reasonText(*refusal) << "\n";
        return kActionFailed;
    }

    const ActionResult result = stopping ? actions.stopService(item) : actions.startService(item);
    if (result) {
        err << prefix << "Failed to " << (stopping ? "stop " : "start ") << describe(item) << ": "
            << reasonText(result->reason()) << "\n";
        return kActionFailed;
    }
    out << (stopping ? "Stopped " + describe(item) + ", was " + stateText(item)
                     : "Started " + describe(item))
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

int runRemoveCommand(const std::vector<std::string>& arguments, std::ostream& out,
                     std::ostream& err) {
    return run(ActionVerb::remove, arguments, out, err);
}

} // namespace daemonary
