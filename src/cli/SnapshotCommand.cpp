#include "SnapshotCommand.h"

#include "Cli.h"
#include "ListCommand.h"
#include "RootOption.h"
#include "ScopeSelection.h"
#include "baseline/DiskSnapshot.h"
#include "baseline/Snapshot.h"
#include "baseline/SnapshotFile.h"
#include "text/Text.h"

#include <algorithm>
#include <filesystem>
#include <optional>
#include <ostream>
#include <utility>

namespace daemonary {

namespace {

// Whether path, its links followed as far as it exists, lies in folder; a
// path that cannot be resolved is taken to lie there.
bool liesWithin(const std::string& path, const std::string& folder) {
    namespace fs = std::filesystem;
    std::error_code error;
    const fs::path resolved = fs::weakly_canonical(fs::absolute(path, error), error);
    if (error) {
        return true;
    }
    const fs::path base = fs::canonical(folder, error);
    if (error) {
        return true;
    }
    const auto left =
        std::mismatch(base.begin(), base.end(), resolved.begin(), resolved.end()).first;
    return left == base.end();
}

} // namespace

int runSnapshotCommand(const std::vector<std::string>& arguments, std::ostream& out,
                       std::ostream& err) {
    const auto usage = [&err](const std::string& message) {
        err << "daemonary-cli snapshot: " << message << "\n"
            << "Usage: daemonary-cli " << kSnapshotCommandUsage << "\n";
        return kCliUsageError;
    };
    ScopeSelection selection;
    std::optional<std::string> output;
    RootOption root;
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
        } else if (RootOption::isRootOption(argument)) {
            if (auto error = root.take(arguments, i)) {
                return usage(error->message);
            }
        } else {
            return usage("unknown option \"" + argument + "\"");
        }
    }

    const std::vector<LaunchScope> scopes =
        selection.any() ? selection.scopes() : Snapshot::defaultScopes();
    Snapshot snapshot;
    if (root.directory()) {
        const std::optional<MacDisk> disk = openMacDisk(*root.directory(), err);
        if (!disk) {
            return kCliUsageError;
        }
        // Evidence is never written to, not even by mistake.
        if (output && liesWithin(*output, disk->root())) {
            err << "daemonary-cli snapshot: " << displayableText(*output)
                << " lies inside the disk being read; write the snapshot elsewhere\n";
            return kCliUsageError;
        }
        snapshot = takeDiskSnapshot(*disk, scopes);
    } else {
        std::vector<DefinitionProblem> problems;
        FingerprintReader reader(HostLayout::fromEnvironment());
        snapshot = Snapshot::take(loadCategories(scopes, &problems), reader);
        snapshot.problems = std::move(problems);
    }
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
