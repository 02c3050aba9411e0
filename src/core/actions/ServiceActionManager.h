#pragma once

#include "actions/Workspace.h"
#include "discovery/LaunchctlTable.h"
#include "model/ActionError.h"
#include "model/LaunchItem.h"
#include "platform/HostLayout.h"

#include <functional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace daemonary {

// Every change the application makes to a service: start and stop through
// launchctl in the user's own GUI domain, reveal and removal through the
// Workspace. No pid a record carries is ever signalled: only one that
// launchd's table gives the record's label when it is read again, just
// before the signal. Holds only what it was given, so calls from several threads are
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
    // already), then kickstart -k, whose failure is the result, unless the
    // job turned out not to be loaded: then the bootstrap's. Daemons are
    // refused with the administrator's command.
    ActionResult startService(const LaunchItem& item) const;
    // bootout of the definition file; when that fails, SIGTERM to the pid a
    // fresh `launchctl list` gives the label, if any. Processes below 2 are
    // never touched; daemons are refused with the administrator's command.
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
    // launchctl with these arguments; a non-zero exit is logged (verbose) and
    // becomes commandFailed with launchctl's reason on one line.
    ActionResult runLaunchctl(const std::vector<std::string>& arguments) const;
    // `launchctl list` now; an error when it cannot be read.
    std::variant<LaunchctlTable, ActionError> readJobTable() const;

    // Selects one file in the file manager: the definition, or the
    // executable when the record has no definition. One file opens one
    // folder; the executable's is a click away in the pane.
    void revealService(const LaunchItem& item) const;
    // Selects one file (a log, say) in the file manager.
    void revealFile(const std::string& path) const;
    // Moves the item's definition to the Trash, or deletes the login item;
    // calls refresh when the lists need reloading. Any job launchd lists
    // under the label, running or idle, is booted out first, so no job is
    // left behind without its definition; when it cannot be (or the job
    // table cannot be read) nothing is moved and the failure says why.
    // Nothing is signalled. Failures are also logged.
    ActionResult removeService(const LaunchItem& item, const std::function<void()>& refresh) const;
    // Whether the record runs, by launchd's word, so that removal stops it.
    static bool removalStopsJob(const LaunchItem& item);
    // A definition of its own (not a login item or an application).
    static bool isLaunchdJobFile(const LaunchItem& item);
    // Deletes the login items with exactly this path through System Events,
    // then calls refresh whatever happened.
    void removeLoginItem(const std::string& path, const std::function<void()>& refresh) const;

    // The line of launchctl's standard error that says why it failed
    // ("Bootstrap failed: 119: Service is disabled"), without its advice to
    // run as root.
    static std::string launchctlReason(std::string_view standardError);

    // "gui/" and the real user id.
    static std::string domainTarget();

private:
    ActionResult setDisabled(const LaunchItem& item, bool disabled) const;
    ActionResult runLaunchctl(const std::vector<std::string>& arguments, int* exitStatus) const;
    // Boots out the label's job when launchd lists it; `unloaded` tells
    // whether that happened.
    ActionResult unloadBeforeRemoval(const LaunchItem& item, bool& unloaded) const;
    bool isOwnBundle(const std::string& path) const;

    Workspace& m_workspace;
    HostLayout m_layout;
};

} // namespace daemonary
