#pragma once

#include "HostContext.h"

#include <string>
#include <vector>

namespace daemonary::hostsim {

// launchctl list | bootstrap | bootout | kickstart, in the user's GUI domain.
int runLaunchctl(const HostContext& host, const std::vector<std::string>& arguments);

} // namespace daemonary::hostsim
