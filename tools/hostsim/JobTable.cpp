#include "JobTable.h"

#include "JobRunner.h"

namespace daemonary::hostsim {

Job* findJobByLabel(HostState& state, std::string_view label) {
    for (Job& job : state.jobs) {
        if (job.label == label)
            return &job;
    }
    return nullptr;
}

Job* findJobByPath(HostState& state, std::string_view storedPath) {
    for (Job& job : state.jobs) {
        if (job.path && *job.path == storedPath)
            return &job;
    }
    return nullptr;
}

bool reapJobs(HostState& state, const std::string& exitDirectory) {
    bool changed = false;
    for (Job& job : state.jobs) {
        if (!job.process || isRunning(*job.process))
            continue;
        job.lastExitStatus = collectExitStatus(exitDirectory, job.process->pid);
        job.process.reset();
        job.running = false;
        changed = true;
    }
    return changed;
}

bool launchJob(Job& job, const HostContext& host, const StateStore& store, std::string& error) {
    const std::string name = job.program ? processNameFor(*job.program) : std::string();
    if (name.empty()) {
        job.lastExitStatus = kMissingProgramStatus;
        job.running = false;
        return true;
    }
    StartResult started = startJob(name, host.stateDirectory(), store.exitDirectory());
    if (!started.process) {
        error = started.error;
        job.running = false;
        return false;
    }
    job.process = std::move(started.process);
    job.running = true;
    return true;
}

bool isDisabled(const HostState& state, std::string_view label,
                const std::optional<std::string>& definitionPath) {
    const bool daemon =
        definitionPath && definitionPath->find("LaunchDaemons/") != std::string::npos;
    const DisabledSet& set = daemon ? state.disabledSystem : state.disabledGui;
    const auto found = set.find(std::string(label));
    return found != set.end() && found->second;
}

std::optional<std::int32_t> visiblePid(const Job& job) {
    if (job.process)
        return job.process->pid;
    return job.fixedPid;
}

} // namespace daemonary::hostsim
