#include "DiffCommand.h"

#include "Cli.h"
#include "ListCommand.h"
#include "RootOption.h"
#include "ScopeSelection.h"
#include "baseline/DiskSnapshot.h"
#include "baseline/SnapshotFile.h"
#include "model/LaunchItemJson.h"
#include "text/JsonText.h"
#include "text/Text.h"

#include <algorithm>
#include <nlohmann/json.hpp>
#include <optional>
#include <ostream>

namespace daemonary {

namespace {

constexpr int kDifferences = 1;
constexpr int kTrouble = 2;

using OrderedJson = nlohmann::ordered_json;

OrderedJson factsJson(const Snapshot& snapshot) {
    OrderedJson facts = OrderedJson::object();
    facts["format"] = snapshot.format;
    facts["takenAt"] = snapshot.takenAt;
    facts["hostName"] = snapshot.hostName;
    facts["userName"] = snapshot.userName;
    if (snapshot.offline) {
        facts["offline"] = true;
        facts["users"] = snapshot.users;
    }
    if (snapshot.root) {
        facts["root"] = *snapshot.root;
    }
    return facts;
}

OrderedJson recordJson(const SnapshotRecord& record) {
    return Snapshot::recordJson(record);
}

// Columns are aligned by code points, as `list` aligns them.
std::size_t displayWidth(std::string_view text) {
    return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char ch) {
        return (static_cast<unsigned char>(ch) & 0xC0) != 0x80;
    }));
}

// Labels and paths come from files: written only through displayableText, so
// none can rewrite its own line or the ones before it.
void writeLine(std::ostream& out, char mark, const LaunchItem& item, std::size_t scopeWidth,
               std::size_t labelWidth) {
    const std::string scope(toText(item.scope));
    const std::string label = displayableText(item.label);
    const std::size_t width = displayWidth(label);
    out << mark << ' ' << scope << std::string(scopeWidth - scope.size() + 2, ' ') << label;
    if (item.path) {
        out << std::string(labelWidth > width ? labelWidth - width : 0, ' ') << "  "
            << displayableText(*item.path);
    }
    out << '\n';
}

void writeProblemLine(std::ostream& out, std::string_view mark, const DefinitionProblem& problem,
                      std::size_t scopeWidth) {
    const std::string_view scope = toText(problem.scope);
    out << mark << ' ' << scope << std::string(scopeWidth - scope.size() + 2, ' ')
        << displayableText(problem.path) << ": " << toText(problem.reason) << '\n';
}

// Which side was read from a disk, where running and allowed states are unknown.
std::string diskNote(const SnapshotDiff& diff, bool twoFiles) {
    if (diff.readFromDiskBefore && diff.readFromDiskAfter) {
        return "both sides were read from a disk";
    }
    if (diff.readFromDiskBefore) {
        return "the baseline was read from a disk";
    }
    return std::string(twoFiles ? "the later snapshot" : "the present") +
           " was read from a disk, so Background items only the baseline's Background Task "
           "Management listed are not reported as removed";
}

// Why the allowed state was left out, in one line.
std::string allowedStateNote(const Snapshot& baseline, const SnapshotDiff& diff, bool twoFiles) {
    std::string note;
    if (diff.allowedStateUnknownBefore) {
        note = baseline.format < 2 ? "the baseline (format 1) did not record it"
                                   : "the baseline does not know it";
    }
    if (diff.allowedStateUnknownAfter) {
        note += std::string(note.empty() ? "" : "; ") +
                (twoFiles ? "the later snapshot does not know it" : "sfltool gave no answer now") +
                ", so Background items only its records list are not reported as removed";
    }
    return note;
}

} // namespace

void writeDiffTable(std::ostream& out, const Snapshot& baseline, const SnapshotDiff& diff) {
    if (diff.empty()) {
        return;
    }
    std::size_t scopeWidth = 0;
    std::size_t labelWidth = 0;
    const auto measure = [&](const LaunchItem& item) {
        scopeWidth = std::max(scopeWidth, toText(item.scope).size());
        labelWidth = std::max(labelWidth, displayWidth(displayableText(item.label)));
    };
    for (const auto& record : diff.added) {
        measure(record.item);
    }
    for (const auto& record : diff.removed) {
        measure(record.item);
    }
    for (const auto& record : diff.modified) {
        measure(record.after.item);
    }
    for (const auto* problems : {&diff.addedProblems, &diff.removedProblems}) {
        for (const DefinitionProblem& problem : *problems) {
            scopeWidth = std::max(scopeWidth, toText(problem.scope).size());
        }
    }

    out << "Since " << displayableText(baseline.takenAt);
    if (!baseline.hostName.empty()) {
        out << " on " << displayableText(baseline.hostName);
    }
    if (!baseline.userName.empty()) {
        out << " (" << displayableText(baseline.userName) << ")";
    }
    if (baseline.offline && baseline.root) {
        out << ", read from " << displayableText(*baseline.root);
    }
    out << ": " << diff.added.size() << " added, " << diff.removed.size() << " removed, "
        << diff.modified.size() << " modified";
    if (!diff.addedProblems.empty() || !diff.removedProblems.empty()) {
        out << "; unreadable definitions: " << diff.addedProblems.size() << " new, "
            << diff.removedProblems.size() << " gone";
    }
    out << '\n';
    for (const auto& record : diff.added) {
        writeLine(out, '+', record.item, scopeWidth, labelWidth);
    }
    for (const auto& record : diff.removed) {
        writeLine(out, '-', record.item, scopeWidth, labelWidth);
    }
    for (const auto& record : diff.modified) {
        writeLine(out, '~', record.after.item, scopeWidth, labelWidth);
        for (const RecordChange& change : record.changes) {
            // Keys and values come from the definition: never raw to a terminal.
            out << "      " << displayableText(change.description()) << '\n';
        }
    }
    for (const DefinitionProblem& problem : diff.addedProblems) {
        writeProblemLine(out, "+!", problem, scopeWidth);
    }
    for (const DefinitionProblem& problem : diff.removedProblems) {
        writeProblemLine(out, "-!", problem, scopeWidth);
    }
}

std::string diffJson(const Snapshot& baseline, const Snapshot& current, const SnapshotDiff& diff) {
    OrderedJson document = OrderedJson::object();
    document["baseline"] = factsJson(baseline);
    document["current"] = factsJson(current);
    OrderedJson added = OrderedJson::array();
    for (const auto& record : diff.added) {
        added.push_back(recordJson(record));
    }
    OrderedJson removed = OrderedJson::array();
    for (const auto& record : diff.removed) {
        removed.push_back(recordJson(record));
    }
    OrderedJson modified = OrderedJson::array();
    for (const auto& record : diff.modified) {
        OrderedJson changes = OrderedJson::array();
        for (const RecordChange& change : record.changes) {
            changes.push_back({{"key", change.key},
                               {"before", change.before},
                               {"after", change.after},
                               {"definitionKey", change.definitionKey},
                               {"description", change.description()}});
        }
        modified.push_back({{"before", recordJson(record.before)},
                            {"after", recordJson(record.after)},
                            {"changes", std::move(changes)}});
    }
    document["added"] = std::move(added);
    document["removed"] = std::move(removed);
    document["modified"] = std::move(modified);
    for (const auto& [key, problems] : {std::pair{"addedProblems", &diff.addedProblems},
                                        std::pair{"removedProblems", &diff.removedProblems}}) {
        OrderedJson list = OrderedJson::array();
        for (const DefinitionProblem& problem : *problems) {
            list.push_back(toJson(problem));
        }
        document[key] = std::move(list);
    }
    return jsonText(document, 2);
}

int runDiffCommand(const std::vector<std::string>& arguments, std::ostream& out,
                   std::ostream& err) {
    const auto usage = [&err](const std::string& message) {
        err << "daemonary-cli diff: " << message << "\n"
            << "Usage: daemonary-cli " << kDiffCommandUsage << "\n";
        return kCliUsageError;
    };
    ScopeSelection selection;
    std::vector<std::string> files;
    RootOption root;
    bool json = false;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument == "--help" || argument == "-h") {
            out << "Usage: daemonary-cli " << kDiffCommandUsage << "\n"
                << kDiffCommandSummary << "\n\n"
                << kDiffCommandDetails;
            return 0;
        }
        if (argument == "--json") {
            json = true;
        } else if (RootOption::isRootOption(argument)) {
            if (auto error = root.take(arguments, i)) {
                return usage(error->message);
            }
        } else if (ScopeSelection::isScopeOption(argument)) {
            if (auto error = selection.take(arguments, i)) {
                return usage(error->message);
            }
        } else if (argument.starts_with("-") && argument != "-") {
            return usage("unknown option \"" + argument + "\"");
        } else {
            files.push_back(argument);
        }
    }
    if (files.empty() || files.size() > 2) {
        return usage(files.empty() ? "a baseline snapshot file is needed"
                                   : "at most two snapshot files can be compared");
    }
    if (root.directory() && files.size() > 1) {
        return usage("with --root, the disk is compared with one baseline snapshot");
    }
    std::optional<MacDisk> disk;
    if (root.directory()) {
        disk = openMacDisk(*root.directory(), err);
        if (!disk) {
            return kTrouble;
        }
    }

    std::vector<Snapshot> snapshots;
    for (const std::string& file : files) {
        auto read = SnapshotFile::read(file);
        if (const auto* error = std::get_if<SnapshotError>(&read)) {
            err << "daemonary-cli diff: " << displayableText(error->message) << "\n";
            return kTrouble;
        }
        snapshots.push_back(std::get<Snapshot>(std::move(read)));
    }

    // Named categories must be in every snapshot compared; by default the
    // shared ones are compared.
    std::vector<LaunchScope> scopes;
    for (const LaunchScope scope :
         selection.any() ? selection.scopes() : Snapshot::defaultScopes()) {
        const auto missing = std::find_if(snapshots.begin(), snapshots.end(),
                                          [scope](const Snapshot& s) { return !s.covers(scope); });
        if (missing == snapshots.end()) {
            scopes.push_back(scope);
        } else if (selection.any()) {
            err << "daemonary-cli diff: "
                << displayableText(files[static_cast<std::size_t>(missing - snapshots.begin())])
                << ": the snapshot has no " << toText(scope) << " category\n";
            return kTrouble;
        }
    }

    const Snapshot& baseline = snapshots.front();
    Snapshot current;
    if (snapshots.size() == 2) {
        current = snapshots.back();
    } else if (disk) {
        current = takeDiskSnapshot(*disk, scopes, &baseline);
    } else {
        FingerprintReader reader(HostLayout::fromEnvironment());
        std::vector<DefinitionProblem> problems;
        current = Snapshot::take(loadCategories(scopes, &problems), reader, &baseline);
        current.problems = std::move(problems);
    }
    const SnapshotDiff diff = SnapshotDiff::between(baseline, current, scopes);
    if (diff.readFromDiskBefore || diff.readFromDiskAfter) {
        err << "daemonary-cli diff: running and allowed in the background are not compared: "
            << diskNote(diff, snapshots.size() == 2) << "\n";
    } else if (diff.allowedStateUnknownBefore || diff.allowedStateUnknownAfter) {
        err << "daemonary-cli diff: allowed in the background is not compared: "
            << allowedStateNote(baseline, diff, snapshots.size() == 2) << "\n";
    }
    if (json) {
        out << diffJson(baseline, current, diff) << '\n';
    } else {
        writeDiffTable(out, baseline, diff);
    }
    return diff.empty() ? 0 : kDifferences;
}

} // namespace daemonary
