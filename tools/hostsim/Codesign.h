#pragma once

#include "HostContext.h"

#include <string>
#include <vector>

namespace daemonary::hostsim {

// codesign -d[v...] [--verbose=N] PATH...: a signing report on standard
// error for what the host marks as signed, the tool's complaints otherwise.
int runCodesign(const HostContext& host, const std::vector<std::string>& arguments);

} // namespace daemonary::hostsim
