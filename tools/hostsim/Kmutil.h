#pragma once

#include "HostContext.h"
#include "HostState.h"

#include <string>
#include <vector>

namespace daemonary::hostsim {

// One line of `kmutil showloaded`, in its fixed column layout.
std::string loadedExtensionLine(const LoadedExtension& extension);

// kmutil showloaded [--list-only] [--bundle-identifier ID]...
int runKmutil(const HostContext& host, const std::vector<std::string>& arguments);

} // namespace daemonary::hostsim
