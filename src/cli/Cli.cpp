#include "Cli.h"

#include "ActionCommand.h"
#include "DiffCommand.h"
#include "ListCommand.h"
#include "ShowCommand.h"
#include "SnapshotCommand.h"
#include "VerifyCommand.h"
#include "platform/Log.h"
#include "text/Text.h"

#include <array>
#include <ostream>

namespace daemonary {

namespace {

// The project's version, as CMake's project() gives it.
constexpr std::string_view kCliVersion = DAEMONARY_VERSION;

// New subcommands are added here, each implemented in a file of its own.
constexpr std::array kCommands = {
    CliCommand{"list", kListCommandUsage, kListCommandSummary, runListCommand},
    CliCommand{"start", kStartCommandUsage, kStartCommandSummary, runStartCommand},
    CliCommand{"stop", kStopCommandUsage, kStopCommandSummary, runStopCommand},
    CliCommand{"toggle", kToggleCommandUsage, kToggleCommandSummary, runToggleCommand},
    CliCommand{"snapshot", kSnapshotCommandUsage, kSnapshotCommandSummary, runSnapshotCommand},
    CliCommand{"diff", kDiffCommandUsage, kDiffCommandSummary, runDiffCommand},
    CliCommand{"disable", kDisableCommandUsage, kDisableCommandSummary, runDisableCommand},
    CliCommand{"enable", kEnableCommandUsage, kEnableCommandSummary, runEnableCommand},
    CliCommand{"show", kShowCommandUsage, kShowCommandSummary, runShowCommand},
    CliCommand{"verify", kVerifyCommandUsage, kVerifyCommandSummary, runVerifyCommand},
    CliCommand{"remove", kRemoveCommandUsage, kRemoveCommandSummary, runRemoveCommand},
};

} // namespace

void printCliUsage(std::ostream& stream) {
    stream << "Usage: daemonary-cli [--verbose] <command> [options]\n"
              "       daemonary-cli --help | --version\n\n"
              "  -v, --verbose  also write what discovery does to standard error, and a\n"
              "                line for each definition that could not be read\n"
              "  --version      print \"daemonary-cli\" and its version\n\n"
              "Commands:\n";
    for (const CliCommand& command : kCommands) {
        stream << "  daemonary-cli " << command.usage << "\n      " << command.summary << "\n";
    }
    stream << "\n"
           << kListCommandDetails << "\n"
           << kActionCommandDetails << "\n"
           << kShowCommandDetails << "\n"
           << kSnapshotCommandDetails << "\n"
           << kDiffCommandDetails << "\n"
           << kVerifyCommandDetails;
}

int runCli(const std::vector<std::string>& commandLine, std::ostream& out, std::ostream& err) {
    // --verbose applies to every command, before or after its name.
    std::vector<std::string> arguments;
    for (const std::string& argument : commandLine) {
        if (argument == "--verbose" || argument == "-v") {
            Log::setVerbose(true);
        } else {
            arguments.push_back(argument);
        }
    }
    if (arguments.empty()) {
        printCliUsage(err);
        return kCliUsageError;
    }
    const std::string& name = arguments.front();
    if (name == "--help" || name == "-h" || name == "help") {
        printCliUsage(out);
        return 0;
    }
    if (name == "--version") {
        out << "daemonary-cli " << kCliVersion << "\n";
        return 0;
    }
    for (const CliCommand& command : kCommands) {
        if (command.name == name) {
            return command.run({arguments.begin() + 1, arguments.end()}, out, err);
        }
    }
    err << "daemonary-cli: unknown command \"" << displayableText(name) << "\"\n"
        << "Run \"daemonary-cli --help\" for the commands.\n";
    return kCliUsageError;
}

} // namespace daemonary
