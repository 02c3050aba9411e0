#include "SnapshotCommand.h"

#include "Cli.h"
#include "ListCommand.h"
#include "ScopeSelection.h"
#include "baseline/Snapshot.h"
#include "baseline/SnapshotFile.h"
#include "text/Text.h"

#include <optional>
#include <ostream>
#include <utility>

namespace daemonary {

int runSnapshotCommand(const std::vector<std::string>& arguments, std::ostream& out,
                       std::ostream& err) {
    const auto usage = [&err](const std::string& message) {
        err << "daemonary-cli snapshot: " << message << "\n"
            << "Usage: daemonary-cli " << kSnapshotCommandUsage << "\n";
        return kCliUsageError;
    };
    ScopeSelection selection;
    std::optional<std::string> output;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument == "--help" || argument == "-h") {
            out << "Usage: daemonary-cli " << kSnapshotCommandUsage << "\n"
                << kSnapshotCommandSummary << "\n\n"
                << kSnapshotCommandDetails;
            return 0;
        }
        if (ScopeSelection::isScopeOption(argument)) {
            if (auto error = selection.take(arguments, i)) {
                return usage(error->message);
            }
        } else if (argument == "-o" || argument == "--output") {
            if (i + 1 >= arguments.size() || arguments[i + 1].empty()) {
                return usage(argument + " needs a file name");
            }
            output = arguments[++i];
        } else {
            return usage("unknown option \"" + argument + "\"");
        }
    }

    const std::vector<LaunchScope> scopes =
        selection.any() ? selection.scopes() : Snapshot::defaultScopes();
    std::vector<DefinitionProblem> problems;
    FingerprintReader reader(HostLayout::fromEnvironment());
    Snapshot snapshot = Snapshot::take(loadCategories(scopes, &problems), reader);
    snapshot.problems = std::move(problems);
    if (!output) {
        out << snapshot.toJsonText();
        return 0;
    }
    if (auto error = SnapshotFile::write(*output, snapshot)) {
        err << "daemonary-cli snapshot: " << displayableText(error->message) << "\n";
        return kCliUsageError;
    }
    return 0;
}

} // namespace daemonary
