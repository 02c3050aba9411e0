#include "CodeSignature.h"

#include "text/Text.h"

#include <array>
#include <utility>

namespace daemonary {

namespace {

constexpr std::array<std::pair<SigningClass, std::string_view>, 8> kNames = {{
    {SigningClass::apple, "Apple"},
    {SigningClass::developerId, "Developer ID"},
    {SigningClass::macAppStore, "Mac App Store"},
    {SigningClass::appleDevelopment, "Apple Development"},
    {SigningClass::adHoc, "Ad hoc"},
    {SigningClass::unsignedCode, "Unsigned"},
    {SigningClass::invalid, "Invalid"},
    {SigningClass::untrusted, "Untrusted"},
}};

nlohmann::ordered_json textOrNull(const std::string& text) {
    return text.empty() ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(text);
}

} // namespace

std::string_view toText(SigningClass signingClass) {
    for (const auto& [value, name] : kNames) {
        if (value == signingClass) {
            return name;
        }
    }
    return "Invalid";
}

std::optional<SigningClass> signingClassFromText(std::string_view text) {
    for (const auto& [value, name] : kNames) {
        if (name == text) {
            return value;
        }
    }
    return std::nullopt;
}

bool isIntact(SigningClass signingClass) {
    return signingClass != SigningClass::invalid && signingClass != SigningClass::untrusted &&
           signingClass != SigningClass::unsignedCode;
}

nlohmann::ordered_json toJson(const std::string& path, const CodeSignature& signature) {
    nlohmann::ordered_json object;
    object["path"] = path;
    object["class"] = std::string(toText(signature.signingClass));
    object["reason"] = textOrNull(signature.reason);
    object["identifier"] = textOrNull(signature.identifier);
    object["teamIdentifier"] = textOrNull(signature.teamIdentifier);
    object["organization"] = textOrNull(signature.organization);
    object["authorities"] = signature.authorities;
    nlohmann::ordered_json hashes = nlohmann::ordered_json::object();
    for (const auto& [architecture, hash] : signature.cdHashes) {
        hashes[architecture] = hash;
    }
    object["cdhashes"] = std::move(hashes);
    object["architectures"] = signature.architectures;
    object["signingTime"] = signature.signingTime
                                ? nlohmann::ordered_json(formatUtcTimestamp(*signature.signingTime))
                                : nlohmann::ordered_json(nullptr);
    object["hardenedRuntime"] = signature.hardenedRuntime;
    return object;
}

} // namespace daemonary
