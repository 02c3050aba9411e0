#include "Cli.h"
#include "platform/Log.h"
#include "platform/ToolRunner.h"

#include <csignal>
#include <iostream>
#include <string>
#include <vector>

namespace {

// Tools run with a time limit lead process groups of their own, which the
// terminal's Ctrl-C does not reach: end them, then die of the signal as the
// shell expects.
void endWithRunningTools(int signalNumber) {
    daemonary::killRunningTools();
    std::signal(signalNumber, SIG_DFL);
    std::raise(signalNumber);
}

void endToolsOnSignals() {
    struct sigaction action {};
    action.sa_handler = endWithRunningTools;
    sigemptyset(&action.sa_mask);
    for (const int signalNumber : {SIGINT, SIGTERM, SIGHUP}) {
        sigaction(signalNumber, &action, nullptr);
    }
}

} // namespace

int main(int argc, char** argv) {
    endToolsOnSignals();
    // Discovery logs go to standard error so standard output stays parseable,
    // and only warnings and errors unless --verbose asks for more.
    daemonary::Log::setDestination(daemonary::Log::Destination::standardError);
    daemonary::Log::setVerbose(false);
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    const int status = daemonary::runCli(arguments, std::cout, std::cerr);
    std::cout.flush();
    return status;
}
