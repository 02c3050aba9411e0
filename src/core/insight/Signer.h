#pragma once

#include "platform/ToolRunner.h"

#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

namespace daemonary {

struct CodeSignature;

// Architecture to CDHash (hex), as CodeSignatureReader reads them.
using CdHashes = std::map<std::string, std::string>;

// "<hash>" for one architecture, else "<arch>=<hash>" for each, joined by
// commas: the one text form for columns and terminals.
std::string cdHashText(const CdHashes& hashes);
// {"arm64": "<40 hex digits>", …}; nothing for anything else.
std::optional<CdHashes> cdHashesFromJson(const nlohmann::json& object);

// apple and developerId are requirements that held; unknown is either a
// signature from some other authority or a check that could not be made
// (the reason says which). inlineCommand is code on an interpreter's command
// line: no file, so nothing can vouch for it.
enum class SignerKind {
    apple,
    developerId,
    adHoc,
    notSigned,
    invalid,
    missing,
    unknown,
    inlineCommand
};

// Who signed one file or bundle, as codesign proved it.
struct Signer {
    SignerKind kind = SignerKind::unknown;
    std::string organization; // Developer ID only
    std::string team;         // Developer ID only
    // Why the class is invalid or unknown, in codesign's words or ours.
    std::string reason;
    // The leaf certificate's name as codesign printed it. Anyone can make a
    // certificate of any name, so it is shown and never decides anything.
    std::string authority;
    // The code the class was decided for, as the reader named it before and
    // after codesign judged it (or as it read it): what allow-lists key on.
    CdHashes cdHashes = {};
    // Decided by reading the signature in-process, codesign being
    // unavailable: said with the class, and never cached.
    bool readFromFile = false;

    // "Apple", "Developer ID: <Org> (<TEAM>)", "Ad hoc", "Unsigned", "Invalid",
    // "Missing", "Unknown" or "Inline command".
    std::string text() const;
    // The text, the reason in parentheses when there is one, the name the
    // certificate gives itself when no requirement vouched for it, and
    // "read from the file" when codesign did not decide it.
    std::string description() const;

    bool operator==(const Signer&) const = default;
};

// "apple", "developerID", "adhoc", "unsigned", "invalid", "missing", "unknown",
// "inline".
std::string_view toText(SignerKind kind);
std::optional<SignerKind> signerKindFromText(std::string_view text);

// {"kind", "signer" (the text), "team"?, "organization"?, "reason"?, "authority"?,
//  "cdhashes"? ({"arm64": "…"}), "source"? ("file" when read from the file)}.
nlohmann::ordered_json toJson(const Signer& signer);
// Nothing for an object that is not one toJson wrote.
std::optional<Signer> signerFromJson(const nlohmann::json& object);

// The code requirements a class stands for, as given to `codesign --verify -R=`.
inline constexpr std::string_view kAppleRequirement = "anchor apple";
inline constexpr std::string_view kDeveloperIdRequirement =
    "anchor apple generic and certificate 1[field.1.2.840.113635.100.6.2.6] and "
    "certificate leaf[field.1.2.840.113635.100.6.1.13]";

// What codesign said about one file: its signing report (`codesign -dvvv`)
// and the requirement checks (`codesign --verify -R=...`) run so far.
struct SigningEvidence {
    ToolResult display;
    std::optional<ToolResult> apple;       // -R=kAppleRequirement
    std::optional<ToolResult> developerId; // -R=kDeveloperIdRequirement
};

enum class SignerRequirement { apple, developerId };

// The requirement to check next for the class to be decided; nothing when
// the evidence decides it already.
std::optional<SignerRequirement> nextRequirement(const SigningEvidence& evidence);

// Pure: the results carry the exit status, the time-out and the report on
// standard error. Names in the report never raise the class; only a
// requirement that held does.
Signer classifySigner(const SigningEvidence& evidence);

// The signer a signature read from the file proves, in the classes above:
// what no requirement names (Mac App Store, Apple Development, a chain not
// Apple's) is unknown with the reason, and so is a file that could not be
// read. Marked readFromFile, with the signature's CDHashes.
Signer signerFromSignature(const CodeSignature& signature);

// Why a verdict is not kept: the code the reader named before codesign
// judged it is not the code it names after.
inline constexpr std::string_view kChangedDuringCheck = "changed during the check";

} // namespace daemonary
