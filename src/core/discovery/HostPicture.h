#pragma once

#include "discovery/BackgroundTaskTable.h"
#include "discovery/DisabledServices.h"
#include "discovery/KernelServiceManager.h"
#include "discovery/LaunchctlTable.h"
#include "model/LaunchItem.h"
#include "platform/HostLayout.h"
#include "platform/ProcessMonitor.h"

#include <chrono>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace daemonary {

// What the host's tools said during one load: one `launchctl list`, one
// process table, `launchctl print-disabled` per domain, `kmutil`, `sfltool`
// and the login items query, each asked at most once. Every category of a
// load reads the same picture, so two categories never disagree about what
// runs.
//
// The runs a load needs start together when the picture is taken, each on a
// thread of its own, so a load waits for the slowest tool instead of their
// sum; the readers below wait for their part. A part nobody said was needed
// is run, once, by the first reader that asks for it. Copies share the runs;
// every reader may be called from several threads at once.
class HostPicture {
public:
    // The parts to ask for at once.
    struct Needs {
        bool jobs = false;             // launchctl list
        bool processes = false;        // the process table
        bool disabled = false;         // launchctl print-disabled, user and system domain
        bool loadedExtensions = false; // kmutil showloaded
        bool backgroundTasks = false;  // sfltool dumpbtm
        bool loginItems = false;       // osascript

        // What loading these categories reads; the disabled state only when
        // `disabledState` and a category holds jobs launchd starts by label.
        static Needs forScopes(std::span<const LaunchScope> scopes, bool disabledState);
        static Needs forScope(LaunchScope scope, bool disabledState);

        bool operator==(const Needs&) const = default;
    };

    // Starts the runs `needs` names; returns at once.
    static HostPicture take(HostLayout layout, std::shared_ptr<const ProcessSource> processes,
                            Needs needs);

    // A picture of known facts, for callers that already hold them: nothing
    // is run, and a part not given is empty.
    struct Facts {
        LaunchctlTable jobs;
        ProcessSnapshot processes;
        DisabledServices disabled;
        LoadedExtensionMap loadedExtensions;
        BackgroundTaskTable backgroundTasks;
        std::vector<LaunchItem> loginItems;
    };
    static HostPicture of(Facts facts);

    // When the runs began.
    std::chrono::system_clock::time_point takenAt() const;

    const LaunchctlTable& jobs() const;
    const ProcessSnapshot& processes() const;
    // A domain whose state could not be read is absent.
    const DisabledServices& disabled() const;
    const LoadedExtensionMap& loadedExtensions() const;
    const BackgroundTaskTable& backgroundTasks() const;
    // The user's login items, unresolved (status unknown).
    const std::vector<LaunchItem>& loginItems() const;

    // The lines the runs logged, once each, in a fixed order whatever order
    // the runs finished in. Waits for the runs under way; a part never asked
    // for logs nothing. Lines of runs that have finished by the time the
    // last copy goes are written then.
    void writeLog() const;
    // The same for the runs that have finished, without waiting for the
    // others: for a load that must not wait for tools its category does not
    // read.
    void writeFinishedLog() const;

    // The tool runs behind the parts, for callers that want one fact alone.
    // Each never fails: a tool that cannot be run, fails or runs out of time
    // is one log line and an empty answer.
    static LaunchctlTable runLaunchctlList(const HostLayout& layout);
    // `timedOut`, when given, is set when the tool did not answer.
    static std::optional<DisabledOverrides>
    runPrintDisabled(const HostLayout& layout, const std::string& domain, bool* timedOut = nullptr);

private:
    struct State;
    explicit HostPicture(std::shared_ptr<State> state);

    std::shared_ptr<State> m_state;
};

} // namespace daemonary
