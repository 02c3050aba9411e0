#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace daemonary::hostsim {

// The whole program: acts as launchctl, kmutil, osascript or codesign by the
// name it runs under, or takes the tool (or boot / shutdown) as its first
// argument when run as itself.
int runHostsim(const std::vector<std::string>& commandLine, std::ostream& out, std::ostream& err);

} // namespace daemonary::hostsim
