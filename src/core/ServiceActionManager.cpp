#include "ServiceActionManager.h"

#include "AppleScript.h"
#include "FileSystem.h"
#include "Log.h"
#include "TextParsing.h"
#include "ToolRunner.h"

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

ActionResult ServiceActionManager::runLaunchctl(const std::vector<std::string>& arguments) const {
    ToolResult result = runTool(m_layout.launchctl(), arguments, true, true);
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
    std::vector<std::string> paths;
    if (item.path) {
        paths.push_back(m_layout.onHost(*item.path));
    }
    if (item.executablePath) {
        paths.push_back(m_layout.onHost(*item.executablePath));
    }
    if (!paths.empty()) {
        m_workspace.selectFilesInFileManager(paths);
    }
}

void ServiceActionManager::removeService(const LaunchItem& item,
                                         const std::function<void()>& refresh) const {
    if (item.type == ServiceType::loginItem) {
        if (!item.path) {
            // Nothing identifies which login item this is; never guess.
            Log::line("Cannot remove login item without a path: " + item.label);
            return;
        }
        // The platform's login-item service only knows this application's own
        // registration, so it is used for that item alone; any other login
        // item is deleted by its path.
        if (isOwnBundle(*item.path)) {
            const std::optional<WorkspaceError> error = m_workspace.unregisterOwnLoginItem();
            if (!error) {
                signalRefresh(refresh);
                return;
            }
            Log::line("Failed to unregister login item via SMAppService: " + error->text);
        }
        removeLoginItem(*item.path, refresh);
        return;
    }
    if (!item.path) {
        return;
    }
    if (endsWith(*item.path, ".app")) {
        removeLoginItem(*item.path, refresh);
        return;
    }
    if (const std::optional<WorkspaceError> error = m_workspace.moveToTrash(*item.path)) {
        Log::line("Failed to delete: " + error->text);
        return;
    }
    signalRefresh(refresh);
}

void ServiceActionManager::removeLoginItem(const std::string& path,
                                           const std::function<void()>& refresh) const {
    // Neither a launch failure nor the script's exit status is reported: the
    // reload shows whether the item went away.
    (void)runTool(m_layout.osascript(), {"-e", deleteLoginItemScript(path)}, false, false);
    signalRefresh(refresh);
}

bool ServiceActionManager::isOwnBundle(const std::string& path) const {
    const std::optional<std::string> own = m_workspace.ownBundlePath();
    return own && !own->empty() && withoutTrailingSlashes(*own) == withoutTrailingSlashes(path);
}

} // namespace daemonary
