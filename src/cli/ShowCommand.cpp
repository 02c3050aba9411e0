#include "ShowCommand.h"

#include "ActionCommand.h"
#include "Cli.h"
#include "LabelArgument.h"
#include "RootOption.h"
#include "ScopeSelection.h"
#include "discovery/LaunchServiceManager.h"
#include "listing/CategoryLoader.h"
#include "model/LaunchItemJson.h"
#include "platform/FileSystem.h"
#include "platform/HostLayout.h"
#include "plist/PlistJson.h"
#include "text/JsonText.h"
#include "text/Text.h"

#include <algorithm>
#include <ctime>
#include <ostream>
#include <utility>

namespace daemonary {

namespace {

std::string_view stateName(LogState state) {
    switch (state) {
    case LogState::present:
        return "present";
    case LogState::missing:
        return "missing";
    case LogState::notRegularFile:
        return "notRegularFile";
    case LogState::unreadable:
        return "unreadable";
    case LogState::invalidPath:
        return "invalidPath";
    }
    return "unreadable";
}

// "standard output", "standard output and error"
std::string streamsText(const std::vector<std::string>& keys) {
    const bool out = std::find(keys.begin(), keys.end(), "StandardOutPath") != keys.end();
    const bool error = std::find(keys.begin(), keys.end(), "StandardErrorPath") != keys.end();
    if (out && error) {
        return "standard output and error";
    }
    return out ? "standard output" : "standard error";
}

nlohmann::ordered_json logJson(const LogReport& log) {
    nlohmann::ordered_json object;
    object["keys"] = log.file.keys;
    object["path"] = log.file.path;
    object["state"] = stateName(log.tail.state);
    if (log.tail.state != LogState::present) {
        object["message"] = logStateText(log.tail, log.file);
        return object;
    }
    object["size"] = log.tail.size;
    object["modified"] = utcTimeText(log.tail.modifiedSeconds);
    object["lines"] = log.tail.lines;
    object["cut"] = log.tail.cut;
    return object;
}

void writeTree(std::ostream& out, const PlistValue& value, int depth);

void writeMember(std::ostream& out, std::string_view lead, const PlistValue& value, int depth) {
    out << std::string(static_cast<std::size_t>(depth) * 2, ' ') << lead;
    const PlistDictionary* dictionary = value.dictionary();
    const PlistArray* array = value.array();
    if (dictionary != nullptr && !dictionary->empty()) {
        out << '\n';
        writeTree(out, value, depth + 1);
    } else if (array != nullptr && !array->empty()) {
        out << '\n';
        writeTree(out, value, depth + 1);
    } else if (dictionary != nullptr) {
        out << " {}\n";
    } else if (array != nullptr) {
        out << " []\n";
    } else if (const bool* flag = value.boolean()) {
        out << (*flag ? " true\n" : " false\n");
    } else {
        out << ' ' << displayableText(value.description()) << '\n';
    }
}

void writeTree(std::ostream& out, const PlistValue& value, int depth) {
    if (const PlistDictionary* dictionary = value.dictionary()) {
        for (const auto& [key, member] : *dictionary) {
            writeMember(out, displayableText(key) + ":", member, depth);
        }
    } else if (const PlistArray* array = value.array()) {
        for (const PlistValue& element : *array) {
            writeMember(out, "-", element, depth);
        }
    } else {
        writeMember(out, "", value, depth);
    }
}

// What signer and fingerprint stand for when an interpreter or launcher runs.
std::string runsText(const RunningProgram& runs) {
    const std::string through = " (through " + displayableText(runs.through) + ")";
    switch (runs.kind) {
    case RunningKind::script:
        return "script " + displayableText(runs.path.value_or("-")) + through;
    case RunningKind::program:
        return "program " + displayableText(runs.path.value_or("-")) + through;
    case RunningKind::inlineCommand:
        break;
    }
    return "inline command, in the definition" + through;
}

void writeShowReport(std::ostream& out, const ShowReport& report, bool json) {
    if (json) {
        // Paths and definitions are bytes from the file system and need not
        // be UTF-8.
        out << jsonText(showJson(report), 2) << '\n';
    } else {
        writeShowText(out, report);
    }
}

void writeNotFound(std::ostream& err, const ShowOptions& options) {
    std::string scopes;
    for (const LaunchScope scope : options.scopes) {
        scopes += (scopes.empty() ? "" : ", ") + std::string(toText(scope));
    }
    err << "daemonary-cli show: no service labelled \"" << displayableText(options.label)
        << "\" in " << scopes << "\n";
}

int showFromDisk(const ShowOptions& options, std::ostream& out, std::ostream& err) {
    const std::optional<MacDisk> disk = openMacDisk(*options.root, err);
    if (!disk) {
        return kCliUsageError;
    }
    std::optional<LaunchItem> found =
        findFirstRecord(options.label, options.scopes,
                        [&disk](LaunchScope scope) { return disk->loadCategory(scope).items; });
    if (!found) {
        writeNotFound(err, options);
        return kNoSuchRecord;
    }
    // Logs named from the home ("~/Library/Logs/x.log") are the record's user's.
    const auto user =
        std::find_if(disk->users().begin(), disk->users().end(),
                     [&found](const MacUser& each) { return each.name == found->user; });
    const HostLayout layout = disk->layout(user != disk->users().end() ? &*user : nullptr);
    ShowReport report = makeShowReport(std::move(*found), layout);
    if (DisabledServices::appliesTo(report.record.scope)) {
        report.disabled = disk->disabled().isDisabled(report.record);
    }
    report.diskRoot = disk->root();
    writeShowReport(out, report, options.json);
    return 0;
}

} // namespace

std::variant<ShowOptions, ShowUsageError>
parseShowOptions(const std::vector<std::string>& arguments) {
    ShowOptions options;
    ScopeSelection selection;
    RootOption root;
    LabelArgument label;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument == "--help" || argument == "-h") {
            options.help = true;
        } else if (argument == "--json") {
            options.json = true;
        } else if (ScopeSelection::isScopeOption(argument)) {
            if (auto error = selection.take(arguments, i)) {
                return ShowUsageError{std::move(error->message)};
            }
        } else if (RootOption::isRootOption(argument)) {
            if (auto error = root.take(arguments, i)) {
                return ShowUsageError{std::move(error->message)};
            }
        } else if (auto error = label.take(arguments, i)) {
            return ShowUsageError{std::move(*error)};
        }
    }
    if (auto error = label.missing(options.help)) {
        return ShowUsageError{std::move(*error)};
    }
    options.label = label.label();
    options.scopes = selection.scopes();
    options.root = root.directory();
    return options;
}

ShowReport makeShowReport(LaunchItem record, const HostLayout& layout) {
    ShowReport report;
    report.record = std::move(record);
    // A bundle folder has no definition file; readFile refuses it.
    if (const auto path =
            report.record.path ? layout.insideHost(*report.record.path) : std::nullopt) {
        if (const auto bytes = readFile(*path)) {
            report.definition = parsePropertyList(*bytes);
        }
    }
    if (const PlistDictionary* definition =
            report.definition ? report.definition->dictionary() : nullptr) {
        report.triggers = triggerFacts(*definition);
        report.logs = readLogs(*definition, layout, report.record.scope == LaunchScope::user);
    }
    std::vector<TriggerFact> facts = backgroundFacts(report.record);
    facts.insert(facts.end(), std::make_move_iterator(report.triggers.begin()),
                 std::make_move_iterator(report.triggers.end()));
    report.triggers = std::move(facts);
    report.signer = SignerChecker(layout).checkRecord(report.record);
    return report;
}

nlohmann::ordered_json showJson(const ShowReport& report) {
    nlohmann::ordered_json document;
    if (report.diskRoot) {
        document["offline"] = true;
    }
    document["record"] = toJson(report.record);
    // As `list --json` says it.
    if (report.disabled.value_or(false)) {
        document["record"]["disabled"] = true;
    }
    document["definition"] = report.definition ? toJson(*report.definition) : nullptr;
    nlohmann::ordered_json triggers = nlohmann::ordered_json::array();
    for (const TriggerFact& fact : report.triggers) {
        triggers.push_back(
            {{"kind", fact.kind}, {"text", fact.text}, {"value", toJson(fact.value)}});
    }
    document["triggers"] = std::move(triggers);
    nlohmann::ordered_json logs = nlohmann::ordered_json::array();
    for (const LogReport& log : report.logs) {
        logs.push_back(logJson(log));
    }
    document["logs"] = std::move(logs);
    document["signer"] = toJson(report.signer);
    return document;
}

void writeShowText(std::ostream& out, const ShowReport& report) {
    const LaunchItem& record = report.record;
    out << displayableText(record.label) << " (" << toText(record.scope) << ")\n";
    if (report.diskRoot) {
        out << "  Disk:        " << displayableText(*report.diskRoot)
            << " (read from a disk, nothing was run)\n";
    }
    if (record.user) {
        out << "  User:        " << displayableText(*record.user) << '\n';
    }
    out << "  Path:        " << displayableText(record.path.value_or("-")) << '\n';
    out << "  Executable:  " << displayableText(record.executablePath.value_or("-")) << '\n';
    if (record.runs) {
        out << "  Runs:        " << runsText(*record.runs) << '\n';
    }
    out << "  Signed By:   "
        << displayableText(report.signer ? report.signer->signer.description() : "-") << '\n';
    if (report.signer && !report.signer->signer.cdHashes.empty()) {
        out << "  CDHash:      " << displayableText(cdHashText(report.signer->signer.cdHashes))
            << '\n';
    }
    out << "  Status:      " << toText(record.status);
    if (report.diskRoot) {
        out << " (read from a disk, nothing was run)";
    } else if (record.pidIsGuess()) {
        out << " (PID " << record.pidText()
            << ": a process of this name; launchd lists no job for it)";
    } else if (record.pid) {
        out << " (PID " << *record.pid << ')';
    }
    out << '\n';
    if (report.disabled) {
        out << "  Disabled:    "
            << (*report.disabled ? "yes (launchd does not start it until it is enabled)" : "no")
            << '\n';
    }
    if (record.backgroundItem || record.allowedInBackground != true || record.parentApp) {
        out << "  Background:  "
            << (record.orphaned ? "orphaned"
                : !record.allowedInBackground
                    ? (report.diskRoot ? "unknown (read from a disk)"
                                       : "unknown (sfltool gave no answer)")
                : *record.allowedInBackground ? "allowed"
                                              : "not allowed")
            << '\n';
    }
    if (record.parentApp) {
        out << "  Parent App:  " << displayableText(*record.parentApp) << '\n';
    }
    if (record.backgroundItem) {
        const BackgroundItem& facts = *record.backgroundItem;
        if (facts.developerName || facts.teamIdentifier) {
            out << "  Developer:   " << displayableText(facts.developerName.value_or("-"))
                << (facts.teamIdentifier ? " (" + displayableText(*facts.teamIdentifier) + ")"
                                         : std::string())
                << '\n';
        }
        if (facts.type) {
            out << "  BTM Type:    " << displayableText(*facts.type) << '\n';
        }
    }

    out << "\nWhy it runs\n";
    for (const TriggerFact& fact : report.triggers) {
        out << "  " << displayableText(fact.text) << '\n';
    }
    const bool definitionSaysNothing =
        std::none_of(report.triggers.begin(), report.triggers.end(),
                     [](const TriggerFact& fact) { return fact.kind != kBackgroundFactKind; });
    if (definitionSaysNothing && (report.definition || report.triggers.empty())) {
        out << (report.definition ? "  Nothing in the definition starts it\n"
                                  : "  No definition to read\n");
    }

    out << "\nLogs\n";
    if (report.logs.empty()) {
        out << "  None named in the definition\n";
    }
    for (const LogReport& log : report.logs) {
        out << "  "
            << displayableText(log.file.path.empty() ? log.file.keys.front() : log.file.path)
            << " (" << streamsText(log.file.keys) << ")\n";
        if (log.tail.state != LogState::present) {
            out << "    " << displayableText(logStateText(log.tail, log.file)) << '\n';
            continue;
        }
        out << "    " << log.tail.size << " bytes, modified "
            << utcTimeText(log.tail.modifiedSeconds)
            << (log.tail.cut ? ", last " + std::to_string(log.tail.lines.size()) + " lines" : "")
            << '\n';
        for (const std::string& line : log.tail.lines) {
            out << "    | " << line << '\n';
        }
    }

    if (report.definition) {
        out << "\nDefinition\n";
        writeTree(out, *report.definition, 1);
    }
}

std::string utcTimeText(std::int64_t secondsSince1970) {
    const auto time = static_cast<std::time_t>(secondsSince1970);
    std::tm parts{};
    if (::gmtime_r(&time, &parts) == nullptr) {
        return std::to_string(secondsSince1970);
    }
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
    return text;
}

int runShowCommand(const std::vector<std::string>& arguments, std::ostream& out,
                   std::ostream& err) {
    auto parsed = parseShowOptions(arguments);
    if (const auto* error = std::get_if<ShowUsageError>(&parsed)) {
        err << "daemonary-cli show: " << error->message << "\n"
            << "Usage: daemonary-cli " << kShowCommandUsage << "\n";
        return kCliUsageError;
    }
    const ShowOptions& options = std::get<ShowOptions>(parsed);
    if (options.help) {
        out << "Usage: daemonary-cli " << kShowCommandUsage << "\n"
            << kShowCommandSummary << "\n\n"
            << kShowCommandDetails;
        return 0;
    }
    if (options.root) {
        return showFromDisk(options, out, err);
    }
    const LaunchServiceManager discovery;
    // One picture for every category searched. The search stops at the first
    // category holding the label, so the tools only some categories read
    // (kmutil, osascript) run when one of those is reached.
    HostPicture::Needs needs = HostPicture::Needs::forScopes(options.scopes, true);
    needs.loadedExtensions = false;
    needs.loginItems = false;
    const HostPicture picture = discovery.takePicture(needs);
    std::optional<LaunchItem> found =
        findFirstRecord(options.label, options.scopes, [&discovery, &picture](LaunchScope scope) {
            // The job table's records with the programs their definitions
            // name, as list gives them.
            if (scope == LaunchScope::mach) {
                return std::move(loadCategories(discovery, picture, {scope}).front().second);
            }
            return discovery.loadItems(scope, picture);
        });
    picture.writeLog();
    if (!found) {
        writeNotFound(err, options);
        return kNoSuchRecord;
    }
    ShowReport report = makeShowReport(std::move(*found), discovery.layout());
    if (DisabledServices::appliesTo(report.record.scope)) {
        report.disabled = picture.disabled().isDisabled(report.record);
    }
    writeShowReport(out, report, options.json);
    return 0;
}

} // namespace daemonary
