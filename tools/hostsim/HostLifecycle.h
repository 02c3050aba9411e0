#pragma once

#include "HostContext.h"

namespace daemonary::hostsim {

// Starts a process for every job the state marks as running.
int bootHost(const HostContext& host);

// Ends every process this host started; the jobs stay marked as running, so
// the next boot brings them back.
int shutDownHost(const HostContext& host);

} // namespace daemonary::hostsim
