#include "model/DefinitionProblem.h"

#include <utility>

namespace daemonary {

namespace {

constexpr std::pair<ProblemReason, std::string_view> kReasonTexts[] = {
    {ProblemReason::doesNotParse, "does not parse"},
    {ProblemReason::notDictionary, "not a dictionary"},
    {ProblemReason::noLabel, "no Label"},
    {ProblemReason::labelNotString, "Label is not a string"},
    {ProblemReason::notRegularFile, "not a regular file"},
    {ProblemReason::overSizeLimit, "over the size limit"},
    {ProblemReason::unreadable, "cannot be read"},
    {ProblemReason::missing, "missing"},
    {ProblemReason::outsideHost, "outside the host"},
};

} // namespace

std::string_view toText(ProblemReason reason) {
    for (const auto& [candidate, text] : kReasonTexts) {
        if (candidate == reason) {
            return text;
        }
    }
    return {};
}

std::optional<ProblemReason> problemReasonFromText(std::string_view text) {
    for (const auto& [reason, candidate] : kReasonTexts) {
        if (candidate == text) {
            return reason;
        }
    }
    return std::nullopt;
}

nlohmann::ordered_json toJson(const DefinitionProblem& problem) {
    nlohmann::ordered_json object = nlohmann::ordered_json::object();
    object["path"] = problem.path;
    object["reason"] = std::string(toText(problem.reason));
    object["category"] = std::string(toText(problem.scope));
    return object;
}

std::variant<DefinitionProblem, std::string>
definitionProblemFromJson(const nlohmann::json& object) {
    if (!object.is_object()) {
        return std::string("a problem must be an object");
    }
    const auto text = [&object](const char* key) -> std::optional<std::string> {
        const auto found = object.find(key);
        if (found == object.end() || !found->is_string()) {
            return std::nullopt;
        }
        return found->get<std::string>();
    };
    const auto path = text("path");
    const auto reasonText = text("reason");
    const auto categoryText = text("category");
    if (!path || !reasonText || !categoryText) {
        return std::string("a problem needs \"path\", \"reason\" and \"category\" strings");
    }
    const auto reason = problemReasonFromText(*reasonText);
    if (!reason) {
        return "unknown reason \"" + *reasonText + "\"";
    }
    const auto scope = launchScopeFromText(*categoryText);
    if (!scope) {
        return "unknown category \"" + *categoryText + "\"";
    }
    return DefinitionProblem{*path, *reason, *scope};
}

} // namespace daemonary
