#pragma once

#include "HostContext.h"
#include "HostState.h"

#include <cstdint>
#include <string>
#include <vector>

namespace daemonary::hostsim {

// The records in `sfltool dumpbtm`'s text, in the state's shape, grouped by
// UID block; records without a uid are the caller's (callerUid).
std::string dumpBtmText(const HostState& state, std::uint32_t callerUid);

// Whether Background Task Management keeps launchd from loading the job: a
// record of the simulated user or the system, for its label or definition,
// that is not allowed.
bool isDisallowedInBackground(const HostState& state, std::string_view label,
                              const std::optional<std::string>& definitionPath);

// sfltool dumpbtm
int runSfltool(const HostContext& host, const std::vector<std::string>& arguments);

} // namespace daemonary::hostsim
