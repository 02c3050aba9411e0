#include "VerifyCommand.h"

#include "Cli.h"
#include "PrettyJson.h"
#include "RootOption.h"
#include "signing/CodeSignatureReader.h"
#include "text/Text.h"

#include <ostream>

namespace daemonary {

namespace {

std::string describe(const std::string& path, const CodeSignature& signature) {
    std::string line = displayableText(path) + ": " + std::string(toText(signature.signingClass));
    if (!signature.organization.empty() || !signature.teamIdentifier.empty()) {
        line += " — " + displayableText(signature.organization);
        if (!signature.teamIdentifier.empty()) {
            line += " (" + displayableText(signature.teamIdentifier) + ")";
        }
    }
    if (!signature.reason.empty()) {
        line += " [" + displayableText(signature.reason) + "]";
    }
    return line;
}

} // namespace

int runVerifyCommand(const std::vector<std::string>& arguments, std::ostream& out,
                     std::ostream& err) {
    const auto usage = [&err](const std::string& message) {
        err << "daemonary-cli verify: " << displayableText(message) << "\n"
            << "Usage: daemonary-cli " << kVerifyCommandUsage << "\n";
        return kCliUsageError;
    };
    bool json = false;
    bool optionsEnded = false;
    RootOption root;
    std::vector<std::string> paths;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (!optionsEnded && (argument == "--help" || argument == "-h")) {
            out << "Usage: daemonary-cli " << kVerifyCommandUsage << "\n"
                << kVerifyCommandSummary << "\n\n"
                << kVerifyCommandDetails;
            return 0;
        }
        if (!optionsEnded && argument == "--json") {
            json = true;
        } else if (!optionsEnded && RootOption::isRootOption(argument)) {
            if (auto error = root.take(arguments, i)) {
                return usage(error->message);
            }
        } else if (!optionsEnded && argument == "--") {
            optionsEnded = true;
        } else if (!optionsEnded && argument.starts_with("-") && argument != "-") {
            return usage("unknown option \"" + argument + "\"");
        } else {
            paths.push_back(argument);
        }
    }
    if (paths.empty()) {
        return usage("no path given");
    }
    std::optional<MacDisk> disk;
    if (root.directory()) {
        disk = openMacDisk(*root.directory(), err);
        if (!disk) {
            return kCliUsageError;
        }
    }
    const std::optional<HostLayout> layout =
        disk ? std::optional<HostLayout>(disk->layout()) : std::nullopt;
    bool allIntact = true;
    nlohmann::ordered_json array = nlohmann::ordered_json::array();
    for (const std::string& path : paths) {
        // On a disk, the path is the Mac's and is read only where it stays.
        const std::optional<std::string> onDisk = layout ? layout->insideHost(path) : path;
        if (!onDisk) {
            err << "daemonary-cli verify: " << displayableText(path)
                << (path.starts_with('/') ? " leads out of " + displayableText(disk->root())
                                          : std::string(" is not a path on the Mac"))
                << "; not read\n";
            allIntact = false;
            continue;
        }
        const CodeSignature signature = CodeSignatureReader::readPath(*onDisk);
        allIntact = allIntact && signature.intact();
        if (json) {
            array.push_back(toJson(path, signature));
        } else {
            out << describe(path, signature) << "\n";
        }
    }
    if (json) {
        std::string text;
        appendPrettyJson(text, array, 0);
        out << text << "\n";
    }
    return allIntact ? 0 : 1;
}

} // namespace daemonary
