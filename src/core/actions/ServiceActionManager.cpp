#include "actions/ServiceActionManager.h"

#include "actions/ActionAvailability.h"
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

constexpr int kNoSuchServiceStatus = 113;

ActionError refused(std::string text) {
    return failure(ServiceActionError::commandFailed(std::move(text)));
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

std::string ServiceActionManager::launchctlReason(std::string_view standardError) {
    std::string_view chosen;
    for (const std::string_view part : splitLines(standardError)) {
        const std::string_view line = trimWhitespace(part);
        // launchctl's advice to run as root says nothing about this failure.
        if (line.empty() || line.starts_with("Try re-running the command as root")) {
            continue;
        }
        // "Bootstrap failed: 119: Service is disabled" follows a line that
        // repeats the path; the numbered line is the reason.
        if (line.find("failed: ") != std::string_view::npos) {
            chosen = line;
            break;
        }
        if (chosen.empty()) {
            chosen = line;
        }
    }
    return std::string(chosen);
}

ActionResult ServiceActionManager::startService(const LaunchItem& item) const {
    if (!item.path || !pathExists(*item.path)) {
        return failure(ServiceActionError::missingPath());
    }
    if (item.type == ServiceType::launchDaemon) {
        return refused(*ActionAvailability::startRefusal(item, std::nullopt));
    }
    const std::string domain = domainTarget();
    const ActionResult bootstrap = runLaunchctl({"bootstrap", domain, *item.path});
    if (bootstrap) {
        Log::info("Bootstrap failed (might be already loaded), trying kickstart... Error: " +
                  bootstrap->text());
    }
    int kickstartStatus = 0;
    ActionResult kickstart =
        runLaunchctl({"kickstart", "-k", domain + "/" + item.label}, &kickstartStatus);
    // A job that is not loaded after a failed bootstrap was never loaded: the
    // bootstrap's reason (disabled, say) is the one that tells.
    if (kickstart && bootstrap && kickstartStatus == kNoSuchServiceStatus) {
        return bootstrap;
    }
    return kickstart;
}

namespace {

std::string criticalProcessRefusal(std::int32_t pid) {
    return "Refusing to stop critical system process (PID " + std::to_string(pid) + ")";
}

} // namespace

ActionResult ServiceActionManager::stopService(const LaunchItem& item) const {
    // Before anything else: an item without a path is never signalled.
    if (!item.path) {
        return failure(ServiceActionError::missingPath());
    }
    if (item.type == ServiceType::launchDaemon) {
        return refused(*ActionAvailability::stopRefusal(item));
    }
    // kill() with 1 would hit launchd, with 0 our own process group and with
    // a negative value whole process groups.
    if (item.pid && *item.pid < 2) {
        return refused(criticalProcessRefusal(*item.pid));
    }
    ActionResult bootout = runLaunchctl({"bootout", domainTarget(), *item.path});
    if (!bootout) {
        return std::nullopt;
    }
    // The log's account of each step; what fails reaches the user as the result.
    Log::info("launchctl bootout failed: " + bootout->text());
    // The record's pid may be a guess or out of date: only what launchd gives
    // this very label now is signalled.
    const auto table = readJobTable();
    const LaunchctlTable* jobs = std::get_if<LaunchctlTable>(&table);
    const LaunchctlEntry* entry = jobs != nullptr ? jobs->find(item.label) : nullptr;
    if (entry == nullptr || !entry->pid) {
        return bootout;
    }
    if (*entry->pid < 2) {
        return refused(criticalProcessRefusal(*entry->pid));
    }
    Log::info("Attempting to kill PID " + std::to_string(*entry->pid) + "...");
    if (::kill(static_cast<pid_t>(*entry->pid), SIGTERM) == 0) {
        return std::nullopt;
    }
    return bootout;
}

std::variant<LaunchctlTable, ActionError> ServiceActionManager::readJobTable() const {
    ToolResult result = runTool(m_layout.launchctl(), {"list"}, m_layout.toolOptions(true, true));
    if (result.timedOut) {
        return refused(timedOutMessage("launchctl list", m_layout.toolTimeout()));
    }
    if (result.launchError) {
        return ActionError{std::move(*result.launchError)};
    }
    const std::optional<std::string> text = decodeUtf8(result.standardOutput);
    if (result.exitStatus != 0 || !text) {
        const std::string reason = launchctlReason(decodeUtf8(result.standardError).value_or(""));
        return refused(reason.empty() ? "launchctl list failed" : reason);
    }
    return parseLaunchctlList(*text);
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
        return refused(std::move(*refusal));
    }
    return runLaunchctl({disabled ? "disable" : "enable", domainTarget() + "/" + item.label});
}

ActionResult ServiceActionManager::runLaunchctl(const std::vector<std::string>& arguments) const {
    return runLaunchctl(arguments, nullptr);
}

ActionResult ServiceActionManager::runLaunchctl(const std::vector<std::string>& arguments,
                                                int* exitStatus) const {
    ToolResult result = runTool(m_layout.launchctl(), arguments, m_layout.toolOptions(true, true));
    if (result.timedOut) {
        std::string text =
            timedOutMessage("launchctl " + joined(arguments), m_layout.toolTimeout());
        Log::info(text);
        return failure(ServiceActionError::commandFailed(std::move(text)));
    }
    if (result.launchError) {
        return ActionError{std::move(*result.launchError)};
    }
    if (exitStatus != nullptr) {
        *exitStatus = result.exitStatus;
    }
    if (result.exitStatus == 0) {
        return std::nullopt;
    }
    std::string text = "Unknown Error";
    if (const std::optional<std::string> decoded = decodeUtf8(result.standardError)) {
        Log::info("launchctl command failed: " + joined(arguments) + " -> " +
                  std::string(trimWhitespaceAndNewlines(*decoded)));
        text = launchctlReason(*decoded);
        if (text.empty()) {
            text = "launchctl exited with status " + std::to_string(result.exitStatus);
        }
    } else {
        Log::info("launchctl command failed: " + joined(arguments) + " -> " + text);
    }
    return refused(std::move(text));
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
    return item.launchdPid().has_value() && isLaunchdJobFile(item);
}

bool ServiceActionManager::isLaunchdJobFile(const LaunchItem& item) {
    return item.type != ServiceType::loginItem && item.path && !endsWith(*item.path, ".app");
}

ActionResult ServiceActionManager::unloadBeforeRemoval(const LaunchItem& item,
                                                       bool& unloaded) const {
    unloaded = false;
    const auto notRemoved = [](std::string text) {
        Log::info("Failed to delete: " + text);
        return refused(std::move(text));
    };
    // Whatever the record says, launchd's table now decides: an idle job that
    // fires on a timer is as loaded as a running one.
    const auto table = readJobTable();
    if (const ActionError* error = std::get_if<ActionError>(&table)) {
        return notRemoved("Not removed: launchd's job table could not be read (" + error->reason() +
                          ")");
    }
    const LaunchctlEntry* entry = std::get<LaunchctlTable>(table).find(item.label);
    if (entry == nullptr) {
        return std::nullopt;
    }
    if (entry->pid && *entry->pid < 2) {
        return notRemoved("Not removed: " + criticalProcessRefusal(*entry->pid));
    }
    // The entry lives in the table read above, which the second read replaces.
    const std::optional<std::int32_t> pid = entry->pid;
    const ActionResult bootout = runLaunchctl({"bootout", domainTarget(), *item.path});
    if (!bootout) {
        unloaded = true;
        return std::nullopt;
    }
    // Gone meanwhile (it may have been unloaded by another hand) is as good.
    const auto again = readJobTable();
    if (const auto* fresh = std::get_if<LaunchctlTable>(&again);
        fresh != nullptr && fresh->find(item.label) == nullptr) {
        return std::nullopt;
    }
    return notRemoved(pid ? "Not removed: it still runs as PID " + std::to_string(*pid) + " (" +
                                bootout->reason() + ")"
                          : "Not removed: launchd still has it loaded (" + bootout->reason() + ")");
}

ActionResult ServiceActionManager::removeService(const LaunchItem& item,
                                                 const std::function<void()>& refresh) const {
    if (item.type == ServiceType::loginItem) {
        if (!item.path) {
            // Nothing identifies which login item this is; never guess.
            Log::info("Cannot remove login item without a path: " + item.label);
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
    // A definition moved away from under a loaded job leaves a job that
    // nothing lists by its file any more and no Stop can reach. Nothing is
    // signalled here: a job launchd will not unload stays, and so does its
    // file.
    bool unloaded = false;
    if (ActionResult failed = unloadBeforeRemoval(item, unloaded)) {
        return failed;
    }
    if (const std::optional<WorkspaceError> error = m_workspace.moveToTrash(*item.path)) {
        Log::info("Failed to delete: " + error->text);
        // The lists must show a job that was unloaded.
        if (unloaded) {
            signalRefresh(refresh);
        }
        return refused(error->text);
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
