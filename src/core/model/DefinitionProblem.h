#pragma once

#include "model/LaunchItem.h"

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace daemonary {

// Why a file in a definitions folder (or an app's) gave no record.
enum class ProblemReason {
    doesNotParse,   // not a property list, or one nested too deeply to read safely
    notDictionary,  // a property list whose top is not a dictionary
    noLabel,        // no Label key
    labelNotString, // a Label that is not a string
    notRegularFile, // a FIFO, a device, a folder, or a link to one
    overSizeLimit,  // larger than any definition
    unreadable,     // permissions or an I/O error
    missing,        // a link to nothing, or gone while it was read
    outsideHost,    // it, its program or its script leads out of the host root
};

// "does not parse", "no Label", "not a regular file", ...: short and stable,
// since snapshots store them and diffs compare them.
std::string_view toText(ProblemReason reason);
std::optional<ProblemReason> problemReasonFromText(std::string_view text);

// A definition that could not be read, found where records are gathered.
struct DefinitionProblem {
    std::string path;
    ProblemReason reason = ProblemReason::doesNotParse;
    LaunchScope scope = LaunchScope::system; // the category whose folder holds it

    bool operator==(const DefinitionProblem&) const = default;
};

// {"path", "reason", "category"}.
nlohmann::ordered_json toJson(const DefinitionProblem& problem);
// The same keys, all required; an unknown reason or category is an error.
std::variant<DefinitionProblem, std::string>
definitionProblemFromJson(const nlohmann::json& object);

} // namespace daemonary
