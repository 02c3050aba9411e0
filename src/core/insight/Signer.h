#pragma once

#include "platform/ToolRunner.h"

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

namespace daemonary {

enum class SignerKind { apple, developerId, adHoc, notSigned, invalid, missing, unknown };

// Who signed one file or bundle, as codesign reports it.
struct Signer {
    SignerKind kind = SignerKind::unknown;
    std::string organization; // Developer ID only
    std::string team;         // Developer ID only
    // Why the class is invalid or unknown, in codesign's words or ours.
    std::string reason;

    // "Apple", "Developer ID: <Org> (<TEAM>)", "Ad hoc", "Unsigned", "Invalid",
    // "Missing" or "Unknown".
    std::string text() const;
    // The text, followed by the reason in parentheses when there is one.
    std::string description() const;

    bool operator==(const Signer&) const = default;
};

// "apple", "developerID", "adhoc", "unsigned", "invalid", "missing", "unknown".
std::string_view toText(SignerKind kind);
std::optional<SignerKind> signerKindFromText(std::string_view text);

// {"kind", "signer" (the text), "team"?, "organization"?, "reason"?}.
nlohmann::ordered_json toJson(const Signer& signer);
// Nothing for an object that is not one toJson wrote.
std::optional<Signer> signerFromJson(const nlohmann::json& object);

// Classifies from `codesign -dv --verbose=2 PATH` and, for a signed file,
// `codesign --verify PATH` (nothing when it was not run). Pure: the results
// carry the exit status, the time-out and the report on standard error.
Signer classifySigner(const ToolResult& display, const std::optional<ToolResult>& verify);

// Whether a display result says the file is signed at all, so the
// verification is worth running.
bool needsVerification(const Signer& fromDisplay);

} // namespace daemonary
