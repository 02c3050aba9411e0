#pragma once

#include <iosfwd>
#include <string>
#include <string_view>
#include <vector>

namespace daemonary {

// One subcommand of daemonary-cli. Each command parses its own arguments
// (those after its name) and returns the process exit status: 0 on success,
// 2 for a usage error.
struct CliCommand {
    std::string_view name;
    std::string_view usage;   // the synopsis line after "daemonary-cli "
    std::string_view summary; // one line of help
    int (*run)(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err);
};

inline constexpr int kCliUsageError = 2;

// The whole command line after the program name. Log lines are expected to go
// to standard error already, so `out` stays machine-readable.
int runCli(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err);

void printCliUsage(std::ostream& stream);

} // namespace daemonary
