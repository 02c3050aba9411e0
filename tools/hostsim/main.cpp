#include "Hostsim.h"

#include <csignal>
#include <iostream>

int main(int argc, char** argv) {
    // A caller that stops reading must not cut a state change short.
    std::signal(SIGPIPE, SIG_IGN);
    std::vector<std::string> commandLine(argv, argv + argc);
    return daemonary::hostsim::runHostsim(commandLine, std::cout, std::cerr);
}
