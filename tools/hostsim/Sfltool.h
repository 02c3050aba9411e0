#pragma once

#include "HostContext.h"
#include "HostState.h"

#include <string>
#include <vector>

namespace daemonary::hostsim {

// The records in `sfltool dumpbtm`'s text, in the newer shape (flush left,
// "#N:", flags with commas, values in hex) or the older one (indented and
// aligned, decimal values, "Indentifier").
std::string dumpBtmText(const HostState& state);

// Whether Background Task Management keeps launchd from loading the job: a
// record for its label or definition that is not allowed.
bool isDisallowedInBackground(const HostState& state, std::string_view label,
                              const std::optional<std::string>& definitionPath);

// sfltool dumpbtm
int runSfltool(const HostContext& host, const std::vector<std::string>& arguments);

} // namespace daemonary::hostsim
