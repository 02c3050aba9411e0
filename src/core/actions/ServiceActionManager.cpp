#include "actions/ServiceActionManager.h"

#include "actions/AppleScript.h"
#include "platform/FileSystem.h"
#include "platform/Log.h"
#include "platform/ToolRunner.h"
#include "text/Text.h"
#include "text/TextParsing.h"

#include <csignal>
#include <string_view>
#include <sys/types.h>
#include <unistd.h>

namespace daemonary {

namespace {

ActionError failure(ServiceActionError error) {
    return ActionError{std::move(error)};
}

std::string joined(const std::vector<std::string>& arguments) {
    std::string text;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        if (i > 0) {
            text.push_back(' ');
        }
        text.append(arguments[i]);
    }
    return text;
}

bool endsWith(std::string_view text, std::string_view suffix) {
    return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

std::string_view withoutTrailingSlashes(std::string_view path) {
    while (path.size() > 1 && path.back() == '/') {
        path.remove_suffix(1);
    }
    return path;
}

// Trimmed lines joined by single spaces: an error shown in one line of a
// window or a terminal.
std::string oneLine(std::string_view text) {
    std::string line;
    for (const std::string_view part : splitLines(text)) {
        const std::string_view trimmed = trimWhitespace(part);
        if (!trimmed.empty()) {
            line.append(line.empty() ? "" : " ").append(trimmed);
        }
    }
    return line;
}

void signalRefresh(const std::function<void()>& refresh) {
    if (refresh) {
        refresh();
    }
}

} // namespace

ServiceActionManager::ServiceActionManager(Workspace& workspace, HostLayout layout)
    : m_workspace(workspace), m_layout(std::move(layout)) {}

std::string ServiceActionManager::domainTarget() {
    return "gui/" + std::to_string(::getuid());
}

ActionResult ServiceActionManager::toggleService(const LaunchItem& item) const {
    if (!item.pid && item.status != ServiceStatus::active) {
        return startService(item);
    }
    return stopService(item);
}

ActionResult ServiceActionManager::startService(const LaunchItem& item) const {
    if (!item.path || !pathExists(*item.path)) {
        return failure(ServiceActionError::missingPath());
    }
    const std::string domain = domainTarget();
    if (const ActionResult bootstrap = runLaunchctl({"bootstrap", domain, *item.path})) {
        Log::line("Bootstrap failed (might be already loaded), trying kickstart... Error: " +
                  bootstrap->text());
    }
    return runLaunchctl({"kickstart", "-k", domain + "/" + item.label});
}

ActionResult ServiceActionManager::stopService(const LaunchItem& item) const {
    // Before anything else: an item without a path is never signalled.
    if (!item.path) {
        return failure(ServiceActionError::missingPath());
    }
    // kill() with 1 would hit launchd, with 0 our own process group and with
    // a negative value whole process groups.
    if (item.pid && *item.pid < 2) {
        return failure(ServiceActionError::commandFailed(
            "Refusing to stop critical system process (PID " + std::to_string(*item.pid) + ")"));
    }
    ActionResult bootout = runLaunchctl({"bootout", domainTarget(), *item.path});
    if (!bootout) {
        return std::nullopt;
    }
    Log::line("launchctl bootout failed: " + bootout->text());
    if (!item.pid) {
        return bootout;
    }
    Log::line("Attempting to kill PID " + std::to_string(*item.pid) + "...");
    if (::kill(static_cast<pid_t>(*item.pid), SIGTERM) == 0) {
        return std::nullopt;
    }
    return bootout;
}

ActionResult ServiceActionManager::disableService(const LaunchItem& item) const {
    return setDisabled(item, true);
}

ActionResult ServiceActionManager::enableService(const LaunchItem& item) const {
    return setDisabled(item, false);
}

std::string ServiceActionManager::administratorCommand(const LaunchItem& item, bool enable) {
    return std::string("sudo launchctl ") + (enable ? "enable" : "disable") + " " +
           shellQuoted("system/" + item.label);
}

std::optional<std::string> ServiceActionManager::disableRefusal(const LaunchItem& item,
                                                                bool enable) {
    if (item.type == ServiceType::launchAgent) {
        return std::nullopt;
    }
    // Daemons live in the system domain, which only an administrator may
    // change; Daemonary never asks for those rights.
    if (item.type == ServiceType::launchDaemon) {
        return std::string(enable ? "Enabling" : "Disabling") +
               " a daemon needs administrator rights: " + administratorCommand(item, enable);
    }
    return std::string("Only launch agents can be ") + (enable ? "enabled" : "disabled") +
           "; this is a " + std::string(toText(item.type));
}

ActionResult ServiceActionManager::setDisabled(const LaunchItem& item, bool disabled) const {
    if (auto refusal = disableRefusal(item, !disabled)) {
        return failure(ServiceActionError::commandFailed(std::move(*refusal)));
    }
    ActionResult result =
        runLaunchctl({disabled ? "disable" : "enable", domainTarget() + "/" + item.label});
    if (result) {
        if (const ServiceActionError* error = result->serviceActionError();
            error != nullptr && error->kind() == ServiceActionError::Kind::commandFailed) {
            return failure(ServiceActionError::commandFailed(oneLine(error->text())));
        }
    }
    return result;
}

ActionResult ServiceActionManager::runLaunchctl(const std::vector<std::string>& arguments) const {
    ToolResult result = runTool(m_layout.launchctl(), arguments, m_layout.toolOptions(true, true));
    if (result.timedOut) {
        std::string text =
            timedOutMessage("launchctl " + joined(arguments), m_layout.toolTimeout());
        Log::line(text);
        return failure(ServiceActionError::commandFailed(std::move(text)));
    }
    if (result.launchError) {
        return ActionError{std::move(*result.launchError)};
    }
    if (result.exitStatus == 0) {
        return std::nullopt;
    }
    std::string text = "Unknown Error";
    if (const std::optional<std::string> decoded = decodeUtf8(result.standardError)) {
        text = std::string(trimWhitespaceAndNewlines(*decoded));
    }
    Log::line("launchctl command failed: " + joined(arguments) + " -> " + text);
    return failure(ServiceActionError::commandFailed(std::move(text)));
}

void ServiceActionManager::revealService(const LaunchItem& item) const {
    // A program's path is the Mac's, so it is found through the host layout
    // as discovery finds definitions.
    if (item.path) {
        m_workspace.selectFilesInFileManager({m_layout.onHost(*item.path)});
    } else if (item.executablePath) {
        m_workspace.selectFilesInFileManager({m_layout.onHost(*item.executablePath)});
    }
}

void ServiceActionManager::revealFile(const std::string& path) const {
    m_workspace.selectFilesInFileManager({path});
}

bool ServiceActionManager::removalStopsJob(const LaunchItem& item) {
    // Login items and applications are not launchd jobs of their own.
    return item.pid.has_value() && item.type != ServiceType::loginItem && item.path &&
           !endsWith(*item.path, ".app");
}

ActionResult ServiceActionManager::removeService(const LaunchItem& item,
                                                 const std::function<void()>& refresh) const {
    if (item.type == ServiceType::loginItem) {
        if (!item.path) {
            // Nothing identifies which login item this is; never guess.
            Log::line("Cannot remove login item without a path: " + item.label);
            return failure(ServiceActionError::missingPath());
        }
        // The platform's login-item service only knows this application's own
        // registration, so it is used for that item alone; any other login
        // item is deleted by its path.
        if (isOwnBundle(*item.path)) {
            const std::optional<WorkspaceError> error = m_workspace.unregisterOwnLoginItem();
            if (!error) {
                signalRefresh(refresh);
                return std::nullopt;
            }
            Log::line("Failed to unregister login item via SMAppService: " + error->text);
        }
        removeLoginItem(*item.path, refresh);
        return std::nullopt;
    }
    if (!item.path) {
        return failure(ServiceActionError::missingPath());
    }
    if (endsWith(*item.path, ".app")) {
        removeLoginItem(*item.path, refresh);
        return std::nullopt;
    }
    if (removalStopsJob(item)) {
        // A definition moved away from under a running job leaves a job that
        // nothing lists by its file any more and no Stop can reach.
        if (const ActionResult stopped = stopService(item)) {
            const std::string text = "Not removed: it still runs as PID " +
                                     std::to_string(*item.pid) + " (" + stopped->reason() + ")";
            Log::line("Failed to delete: " + text);
            return failure(ServiceActionError::commandFailed(text));
        }
    }
    if (const std::optional<WorkspaceError> error = m_workspace.moveToTrash(*item.path)) {
        Log::line("Failed to delete: " + error->text);
        // The job may have been stopped: the lists must show that.
        if (removalStopsJob(item)) {
            signalRefresh(refresh);
        }
        return failure(ServiceActionError::commandFailed(error->text));
    }
    signalRefresh(refresh);
    return std::nullopt;
}

void ServiceActionManager::removeLoginItem(const std::string& path,
                                           const std::function<void()>& refresh) const {
    // Neither a launch failure nor the script's exit status is reported: the
    // reload shows whether the item went away.
    (void)runTool(m_layout.osascript(), {"-e", deleteLoginItemScript(path)},
                  m_layout.toolOptions(false, false));
    signalRefresh(refresh);
}

bool ServiceActionManager::isOwnBundle(const std::string& path) const {
    const std::optional<std::string> own = m_workspace.ownBundlePath();
    return own && !own->empty() && withoutTrailingSlashes(*own) == withoutTrailingSlashes(path);
}

} // namespace daemonary
