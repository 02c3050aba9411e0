#pragma once

#include "HostContext.h"
#include "HostState.h"
#include "StateStore.h"

#include <string>
#include <string_view>

namespace daemonary::hostsim {

// launchd's "no program to run" exit status (EX_CONFIG).
inline constexpr std::int64_t kMissingProgramStatus = 78;

Job* findJobByLabel(HostState& state, std::string_view label);
Job* findJobByPath(HostState& state, std::string_view storedPath);

// Notes the jobs whose processes have ended since the last run: their pid is
// dropped and their last exit status recorded. True when anything changed.
bool reapJobs(HostState& state, const std::string& exitDirectory);

// Starts a process for the job. A job without a program fails the way
// launchd's does (status 78, nothing running); false with a message only when
// the process could not be created.
bool launchJob(Job& job, const HostContext& host, const StateStore& store, std::string& error);

// Whether launchd may start the job: its label is disabled in the domain its
// definition belongs to (the system domain for a daemon's, the user's GUI
// domain otherwise).
bool isDisabled(const HostState& state, std::string_view label,
                const std::optional<std::string>& definitionPath);

// The pid `launchctl list` shows: the live process, else a synthetic fixed pid.
std::optional<std::int32_t> visiblePid(const Job& job);

} // namespace daemonary::hostsim
