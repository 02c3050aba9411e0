#pragma once

#include "actions/Workspace.h"
#include "model/ActionError.h"
#include "model/LaunchItem.h"
#include "platform/HostLayout.h"

#include <functional>
#include <string>
#include <vector>

namespace daemonary {

// Every change the application makes to a service: start and stop through
// launchctl in the user's own GUI domain, reveal and removal through the
// Workspace. Holds only what it was given, so calls from several threads are
// safe as long as the Workspace allows them. Every call blocks until the tools
// it runs have exited.
class ServiceActionManager {
public:
    // The workspace must outlive the manager.
    explicit ServiceActionManager(Workspace& workspace,
                                  HostLayout layout = HostLayout::fromEnvironment());

    // Starts an item that neither has a process nor reports itself active,
    // stops any other.
    ActionResult toggleService(const LaunchItem& item) const;
    // bootstrap (a failure is logged and tolerated: the job may be loaded
    // already), then kickstart -k, whose failure is the result.
    ActionResult startService(const LaunchItem& item) const;
    // bootout of the definition file; when that fails and a process is known,
    // SIGTERM to it. Processes below 2 are never touched.
    ActionResult stopService(const LaunchItem& item) const;
    // launchctl disable|enable of gui/<uid>/<label>: keeps launchd from
    // starting the job (at login, on demand, by bootstrap or kickstart) or
    // lets it again. Neither stops nor starts it. Launch agents only, the
    // user's own and the all-users ones alike, since both run in the user's
    // domain; anything else is refused without running launchctl. Failures
    // carry launchctl's own text on one line.
    ActionResult disableService(const LaunchItem& item) const;
    ActionResult enableService(const LaunchItem& item) const;
    // Why disabling (or enabling) is not offered for the record; nothing when
    // it is. For a daemon this names the command that needs administrator
    // rights.
    static std::optional<std::string> disableRefusal(const LaunchItem& item, bool enable);
    // "sudo launchctl disable system/<label>" (or enable): what an
    // administrator runs for a daemon.
    static std::string administratorCommand(const LaunchItem& item, bool enable);
    // launchctl with these arguments; a non-zero exit is logged and becomes
    // commandFailed with the trimmed standard error.
    ActionResult runLaunchctl(const std::vector<std::string>& arguments) const;

    // Selects one file in the file manager: the definition, or the
    // executable when the record has no definition. One file opens one
    // folder; the executable's is a click away in the pane.
    void revealService(const LaunchItem& item) const;
    // Selects one file (a log, say) in the file manager.
    void revealFile(const std::string& path) const;
    // Moves the item's definition to the Trash, or deletes the login item;
    // calls refresh when the lists need reloading. A running launchd job is
    // stopped first, as stopService does, so no job is left behind without
    // its definition; when it cannot be stopped nothing is moved and the
    // failure says it still runs, with its PID. Failures are also logged.
    ActionResult removeService(const LaunchItem& item, const std::function<void()>& refresh) const;
    // Whether removeService stops a job before moving its definition.
    static bool removalStopsJob(const LaunchItem& item);
    // Deletes the login items with exactly this path through System Events,
    // then calls refresh whatever happened.
    void removeLoginItem(const std::string& path, const std::function<void()>& refresh) const;

    // "gui/" and the real user id.
    static std::string domainTarget();

private:
    ActionResult setDisabled(const LaunchItem& item, bool disabled) const;
    bool isOwnBundle(const std::string& path) const;

    Workspace& m_workspace;
    HostLayout m_layout;
};

} // namespace daemonary
