#include "HostLifecycle.h"

#include "JobRunner.h"
#include "JobTable.h"
#include "Sfltool.h"
#include "StateStore.h"

#include <ostream>

namespace daemonary::hostsim {

namespace {

std::optional<StateStore> openExclusive(const HostContext& host) {
    auto opened = StateStore::open(host, StateStore::Access::exclusive);
    if (!opened.store)
        host.err() << "daemonary-hostsim: " << opened.error << "\n";
    return std::move(opened.store);
}

int save(const HostContext& host, StateStore& store, int status) {
    std::string error;
    if (!store.save(error)) {
        host.err() << "daemonary-hostsim: " << error << "\n";
        return 1;
    }
    return status;
}

} // namespace

int bootHost(const HostContext& host) {
    auto store = openExclusive(host);
    if (!store)
        return 1;
    HostState& state = store->state();
    // Processes that ended meanwhile are gone as after a restart: their jobs
    // keep their running mark and start again below.
    for (Job& job : state.jobs) {
        if (job.process && !isRunning(*job.process)) {
            job.lastExitStatus = collectExitStatus(store->exitDirectory(), job.process->pid);
            job.process.reset();
        }
    }
    int started = 0;
    int status = 0;
    for (Job& job : state.jobs) {
        // A disabled job keeps its mark: enabled again, it starts at the next boot.
        // So does one the user did not allow in the background.
        if (!job.running || job.process || job.fixedPid || isDisabled(state, job.label, job.path) ||
            isDisallowedInBackground(state, job.label, job.path))
            continue;
        std::string error;
        if (!launchJob(job, host, *store, error)) {
            host.err() << "daemonary-hostsim: " << job.label << ": " << error << "\n";
            status = 1;
        } else if (job.process) {
            ++started;
        }
    }
    host.out() << "started " << started << " job processes\n";
    return save(host, *store, status);
}

int shutDownHost(const HostContext& host) {
    auto store = openExclusive(host);
    if (!store)
        return 1;
    int stopped = 0;
    for (Job& job : store->state().jobs) {
        if (!job.process)
            continue;
        if (isRunning(*job.process)) {
            job.lastExitStatus = stopJob(*job.process, store->exitDirectory());
            ++stopped;
        } else {
            job.lastExitStatus = collectExitStatus(store->exitDirectory(), job.process->pid);
        }
        job.process.reset();
    }
    host.out() << "stopped " << stopped << " job processes\n";
    return save(host, *store, 0);
}

} // namespace daemonary::hostsim
