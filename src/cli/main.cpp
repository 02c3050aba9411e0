#include "Cli.h"
#include "platform/Log.h"

#include <iostream>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    // Discovery logs go to standard error so standard output stays parseable.
    daemonary::Log::setDestination(daemonary::Log::Destination::standardError);
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    const int status = daemonary::runCli(arguments, std::cout, std::cerr);
    std::cout.flush();
    return status;
}
