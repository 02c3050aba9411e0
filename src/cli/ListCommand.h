#pragma once

#include "discovery/DisabledServices.h"
#include "insight/Signer.h"
#include "model/DefinitionProblem.h"
#include "model/LaunchItem.h"

#include <iosfwd>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace daemonary {

class MetadataManager;

inline constexpr std::string_view kListCommandUsage =
    "list [--scope NAME]... [--json] [--defaults] [--signers] [--problems] [--root DIR]";
inline constexpr std::string_view kListCommandSummary =
    "List the background services of each category, as the application loads them.";
inline constexpr std::string_view kListCommandDetails =
    "list options:\n"
    "  --scope NAME  a category: Privileged, System, User, macOS, Mach, Kernel, Others,\n"
    "                Background, or all; may be repeated. Default: all, in sidebar order.\n"
    "  --json        one JSON object keyed by category, each an array of records\n"
    "  --defaults    also tell whether each record ships with the operating system\n"
    "                (\"systemDefault\" in JSON, a Default column in the table)\n"
    "  --signers     also tell who signed each record's executable or bundle, from\n"
    "                codesign (\"signer\", and \"team\" for a Developer ID, in JSON;\n"
    "                a Signer column in the table)\n"
    "  --problems    also list the definitions that could not be read, with the reason\n"
    "                (after the categories; \"problems\" in JSON)\n"
    "  --root DIR    read the Mac whose disk is mounted or copied at DIR, running\n"
    "                nothing (no tool of this machine, nothing on the disk) and\n"
    "                writing nothing under it: every user's items, each naming its\n"
    "                user (\"user\" in JSON, a USER column in the table), disabled\n"
    "                states from launchd's files, signers read from the files,\n"
    "                status Unknown and the allowed state unknown (null)\n"
    "A Disabled column tells which launchd jobs launchd will not start (yes, no, or - when\n"
    "unknown); in JSON such records carry \"disabled\": true. A job switched off under\n"
    "\"Allow in the Background\" carries \"allowedInBackground\": false in any category\n"
    "(null when sfltool gave no answer and the allowed state is unknown),\n"
    "one whose app is gone \"orphaned\": true; the table marks such labels \"\u2014 Disabled\",\n"
    "\"\u2014 Not Allowed\" and \"\u2014 Orphaned\", as the window does.\n"
    "A PID ending in ? is only a process of that name: launchd lists no job for the label\n"
    "(\"pidSource\": \"processName\" in JSON, else \"launchd\").\n"
    "Standard error carries errors only, and \"N definitions could not be read\" when some\n"
    "gave no record (--problems lists them; --verbose names each as it is read).\n";

struct ListOptions {
    std::vector<LaunchScope> scopes; // sidebar order, no repeats
    bool json = false;
    bool defaults = false;
    bool signers = false;
    bool problems = false;
    bool help = false;
    std::optional<std::string> root; // --root DIR
};

struct ListUsageError {
    std::string message;
};

std::variant<ListOptions, ListUsageError>
parseListOptions(const std::vector<std::string>& arguments);

// One category as an aligned text table: label, PID or load index, status,
// path (and whether it is a system default, when `metadata` is given). With
// `disabled`, categories of launchd jobs get a Disabled column before the
// path, so that readers of the leading columns are not disturbed. With
// `signers` (by signerTarget), a Signer column before the path. Read from a
// disk, the heading says so instead of counting what runs, which no file
// tells.
void writeListTable(std::ostream& out, LaunchScope scope, const std::vector<LaunchItem>& items,
                    const MetadataManager* metadata, const DisabledServices* disabled = nullptr,
                    const std::map<std::string, Signer>* signers = nullptr,
                    bool readFromDisk = false);

// The loaded categories as one JSON document (keys in the given order).
// Byte sequences that are not UTF-8 are replaced so the document stays valid.
// Records launchd will not start carry "disabled": true; the key is absent
// otherwise, unknown included. With `signers`, "signer" (and "team",
// "signerReason" when there is one) in each record that has something to check.
// With `problems`, a last key "problems": [{"path", "reason", "category"}].
std::string listJson(const std::vector<std::pair<LaunchScope, std::vector<LaunchItem>>>& categories,
                     const MetadataManager* metadata, const DisabledServices* disabled = nullptr,
                     const std::map<std::string, Signer>* signers = nullptr,
                     const std::vector<DefinitionProblem>* problems = nullptr);

// The definitions that could not be read as an aligned table: category,
// reason, path.
void writeProblemsTable(std::ostream& out, const std::vector<DefinitionProblem>& problems);

using LoadedCategories = std::vector<std::pair<LaunchScope, std::vector<LaunchItem>>>;

// Discovers the categories on the host of the environment, in the given
// order: the loading every command that scans shares.
LoadedCategories loadCategories(const std::vector<LaunchScope>& scopes,
                                std::vector<DefinitionProblem>* problems = nullptr);

// What a listing without --problems says on standard error when some
// definitions gave no record.
std::string problemsCountLine(std::size_t count);

int runListCommand(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err);

} // namespace daemonary
