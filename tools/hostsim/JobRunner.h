#pragma once

#include "HostState.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace daemonary::hostsim {

// The kernel keeps 15 bytes of a process name.
inline constexpr std::size_t kMaxProcessNameBytes = 15;

// The name a job's process carries: its program's file name, cut to what the
// kernel keeps. Empty when the program names no file.
std::string processNameFor(std::string_view program);

struct StartResult {
    std::optional<JobProcess> process;
    std::string error;
};

// Starts a job as a real child process named after its program: a new
// session, standard streams on /dev/null, no other descriptors, idle until
// signalled. It records the signal that ends it in exitDirectory and ends on
// its own once stateDirectory disappears, so a deleted host leaves nothing
// behind.
StartResult startJob(const std::string& name, const std::string& stateDirectory,
                     const std::string& exitDirectory);

// True while the process recorded for a job is still that same process
// (pid, name, start time and session all match) and has not exited.
bool isRunning(const JobProcess& process);

// Ends a job's process (SIGTERM, SIGKILL when it lingers) and returns its
// last exit status in launchd's form (minus the signal number). A process
// that is no longer the recorded one is never signalled.
std::int64_t stopJob(const JobProcess& process, const std::string& exitDirectory);

// The last exit status a finished job process left behind; a process that
// left none was killed outright (-9).
std::int64_t collectExitStatus(const std::string& exitDirectory, std::int32_t pid);

} // namespace daemonary::hostsim
