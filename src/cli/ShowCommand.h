#pragma once

#include "insight/LogTail.h"
#include "insight/SignerChecker.h"
#include "insight/TriggerFacts.h"
#include "model/LaunchItem.h"
#include "plist/PropertyList.h"

#include <iosfwd>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace daemonary {

class HostLayout;

inline constexpr std::string_view kShowCommandUsage =
    "show LABEL [--scope NAME]... [--json] [--root DIR]";
inline constexpr std::string_view kShowCommandSummary =
    "Show one service: its record, why it runs, its logs and its definition.";
inline constexpr std::string_view kShowCommandDetails =
    "show options:\n"
    "  LABEL         the label exactly as \"list\" shows it; the first record with it wins,\n"
    "                as for start and stop\n"
    "  --scope NAME  the category to look in (as for list); may be repeated\n"
    "  --json        {\"record\", \"definition\", \"triggers\", \"logs\", \"signer\"} as one\n"
    "                JSON object; \"signer\" (from codesign) is null when the record has\n"
    "                no executable or bundle to check\n"
    "  --root DIR    look on the Mac whose disk is mounted or copied at DIR, running\n"
    "                nothing (as for list); the first user's record with the label\n"
    "                wins, users in name order; the signer is read from the file\n"
    "  Exit status: 0 shown, 2 no such record or a usage error.\n";

struct ShowOptions {
    std::string label;
    std::vector<LaunchScope> scopes; // sidebar order, no repeats
    bool json = false;
    bool help = false;
    std::optional<std::string> root; // --root DIR
};

struct ShowUsageError {
    std::string message;
};

std::variant<ShowOptions, ShowUsageError>
parseShowOptions(const std::vector<std::string>& arguments);

// Everything show tells about one record.
struct ShowReport {
    LaunchItem record;
    // The definition file's contents, when the record has one that parses.
    std::optional<PlistValue> definition;
    std::vector<TriggerFact> triggers;
    std::vector<LogReport> logs;
    // Who signed the executable (or the bundle the record is).
    std::optional<RecordSigner> signer;
    // Whether launchd keeps the job from starting; nothing when unknown or
    // when the record is no launchd job.
    std::optional<bool> disabled;
    // The root of the Mac's disk the record was read from; nothing for a
    // live host.
    std::optional<std::string> diskRoot;
};

// Reads the record's definition and logs and asks codesign for its signer.
// Blocking.
ShowReport makeShowReport(LaunchItem record, const HostLayout& layout);

// {"record", "definition", "triggers", "logs", "signer"}: one member per part
// of the report, so a new part is one new member; "signer" is null for a
// record with nothing to sign-check. Read from a disk, "offline": true first.
nlohmann::ordered_json showJson(const ShowReport& report);

// The report for a terminal: every text from the files made harmless first,
// so a definition or a log cannot send escape sequences to it.
void writeShowText(std::ostream& out, const ShowReport& report);

// "2023-11-14T22:13:20Z"
std::string utcTimeText(std::int64_t secondsSince1970);

int runShowCommand(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err);

} // namespace daemonary
