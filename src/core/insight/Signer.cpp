#include "insight/Signer.h"

#include "signing/CodeSignature.h"

#include <algorithm>
#include <array>
#include <utility>
#include <variant>
#include <vector>

namespace daemonary {

namespace {

constexpr std::string_view kDeveloperIdLeaf = "Developer ID Application: ";
constexpr std::string_view kNotSigned = "code object is not signed at all";
constexpr std::string_view kNoSuchFile = "No such file or directory";
constexpr std::string_view kNotFromApple = "not from Apple's authority";

constexpr std::array<std::pair<SignerKind, std::string_view>, 8> kKindTexts = {{
    {SignerKind::apple, "apple"},
    {SignerKind::developerId, "developerID"},
    {SignerKind::adHoc, "adhoc"},
    {SignerKind::notSigned, "unsigned"},
    {SignerKind::invalid, "invalid"},
    {SignerKind::missing, "missing"},
    {SignerKind::unknown, "unknown"},
    {SignerKind::inlineCommand, "inline"},
}};

std::vector<std::string_view> lines(std::string_view text) {
    std::vector<std::string_view> result;
    while (!text.empty()) {
        const auto end = text.find('\n');
        std::string_view line = text.substr(0, end);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        result.push_back(line);
        if (end == std::string_view::npos) {
            break;
        }
        text.remove_prefix(end + 1);
    }
    return result;
}

// codesign's own complaint: the first non-empty line, without the "PATH: "
// that starts it (paths may contain ": ", so the last one counts).
std::string complaint(std::string_view report) {
    for (std::string_view line : lines(report)) {
        if (line.empty()) {
            continue;
        }
        const auto separator = line.rfind(": ");
        if (separator != std::string_view::npos) {
            line.remove_prefix(separator + 2);
        }
        constexpr std::size_t kLongest = 200;
        return std::string(line.substr(0, kLongest));
    }
    return {};
}

bool mentions(std::string_view report, std::string_view phrase) {
    for (std::string_view line : lines(report)) {
        if (line.ends_with(phrase)) {
            return true;
        }
    }
    return false;
}

Signer unknown(std::string reason) {
    return Signer{SignerKind::unknown, {}, {}, std::move(reason), {}};
}

// A CDHash is 20 bytes in lowercase hex; an architecture a short plain name
// ("arm64", "cpu-16777228").
bool isCdHash(std::string_view text) {
    return text.size() == 40 && std::all_of(text.begin(), text.end(), [](char c) {
               return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
           });
}
bool isArchitecture(std::string_view text) {
    return !text.empty() && text.size() <= 32 && std::all_of(text.begin(), text.end(), [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
               c == '_' || c == '-';
    });
}

// A run that gave no usable answer, or nothing when it did.
std::optional<Signer> failedRun(const ToolResult& result, std::string_view what) {
    if (result.launchError) {
        return unknown(std::string(what) +
                       " could not be used: " + result.launchError->description);
    }
    if (result.timedOut) {
        return unknown(std::string(what) + " did not answer in time");
    }
    return std::nullopt;
}

// What the signing report says. Only the ad-hoc flag is the signature's own
// structure; every name in it is whatever the certificate chose to be called.
struct Report {
    bool adHoc = false;
    std::string leaf;
    std::string team;
};

Report parseReport(std::string_view report) {
    Report parsed;
    bool sawAuthority = false;
    for (std::string_view line : lines(report)) {
        if (line.starts_with("Authority=")) {
            if (!sawAuthority) {
                parsed.leaf = std::string(line.substr(10));
                sawAuthority = true;
            }
        } else if (line.starts_with("TeamIdentifier=")) {
            const std::string_view team = line.substr(15);
            parsed.team = team == "not set" ? std::string() : std::string(team);
        } else if (line == "Signature=adhoc") {
            parsed.adHoc = true;
        } else if (line.starts_with("CodeDirectory ") &&
                   line.find("(adhoc") != std::string_view::npos) {
            parsed.adHoc = true;
        }
    }
    parsed.adHoc = parsed.adHoc && !sawAuthority;
    return parsed;
}

// A Developer ID whose requirement held: its certificate is Apple's, so the
// organisation and team it names are the ones Apple issued it for.
Signer developerId(const Report& report) {
    std::string_view name = report.leaf;
    std::string team;
    if (name.starts_with(kDeveloperIdLeaf)) {
        name.remove_prefix(kDeveloperIdLeaf.size());
        const auto open = name.rfind(" (");
        if (open != std::string_view::npos && name.ends_with(')')) {
            team = std::string(name.substr(open + 2, name.size() - open - 3));
            name = name.substr(0, open);
        }
    }
    if (team.empty()) {
        team = report.team;
    }
    return Signer{SignerKind::developerId, std::string(name), std::move(team), {}, report.leaf};
}

// Exit 1 of a verification: the signature does not hold (or is not there).
Signer rejected(std::string_view rejection, const Report& report) {
    if (mentions(rejection, kNotSigned)) {
        return Signer{SignerKind::notSigned, {}, {}, {}, {}};
    }
    if (mentions(rejection, kNoSuchFile)) {
        return Signer{SignerKind::missing, {}, {}, {}, {}};
    }
    std::string why = complaint(rejection);
    return Signer{
        SignerKind::invalid, {}, {}, why.empty() ? "rejected by codesign" : why, report.leaf};
}

// codesign's exit statuses for --verify -R: 0 the signature is valid and the
// requirement holds, 1 the signature is not valid, 3 it is valid and the
// requirement does not hold; anything else the tool failed.
constexpr int kVerified = 0;
constexpr int kRejected = 1;
constexpr int kRequirementFailed = 3;

} // namespace

std::string Signer::text() const {
    switch (kind) {
    case SignerKind::apple:
        return "Apple";
    case SignerKind::developerId:
        return team.empty() ? "Developer ID: " + organization
                            : "Developer ID: " + organization + " (" + team + ")";
    case SignerKind::adHoc:
        return "Ad hoc";
    case SignerKind::notSigned:
        return "Unsigned";
    case SignerKind::invalid:
        return "Invalid";
    case SignerKind::missing:
        return "Missing";
    case SignerKind::inlineCommand:
        return "Inline command";
    case SignerKind::unknown:
        break;
    }
    return "Unknown";
}

std::string Signer::description() const {
    std::string notes = reason;
    // A proven class speaks for its certificate; any other only claims a name.
    if (!authority.empty() && kind != SignerKind::apple && kind != SignerKind::developerId) {
        notes += (notes.empty() ? "" : "; ") + std::string("certificate \"") + authority + "\"";
    }
    if (readFromFile) {
        notes += (notes.empty() ? "" : "; ") + std::string("read from the file");
    }
    return notes.empty() ? text() : text() + " (" + notes + ")";
}

std::optional<CdHashes> cdHashesFromJson(const nlohmann::json& object) {
    if (!object.is_object()) {
        return std::nullopt;
    }
    CdHashes hashes;
    for (const auto& [architecture, hash] : object.items()) {
        if (!isArchitecture(architecture) || !hash.is_string() ||
            !isCdHash(hash.get_ref<const std::string&>())) {
            return std::nullopt;
        }
        hashes.emplace(architecture, hash.get<std::string>());
    }
    return hashes;
}

std::string cdHashText(const CdHashes& hashes) {
    if (hashes.size() == 1) {
        return hashes.begin()->second;
    }
    std::string text;
    for (const auto& [architecture, hash] : hashes) {
        text += (text.empty() ? "" : ",") + architecture + "=" + hash;
    }
    return text;
}

std::string_view toText(SignerKind kind) {
    for (const auto& [value, text] : kKindTexts) {
        if (value == kind) {
            return text;
        }
    }
    return "unknown";
}

std::optional<SignerKind> signerKindFromText(std::string_view text) {
    for (const auto& [value, name] : kKindTexts) {
        if (name == text) {
            return value;
        }
    }
    return std::nullopt;
}

nlohmann::ordered_json toJson(const Signer& signer) {
    nlohmann::ordered_json object = nlohmann::ordered_json::object();
    object["kind"] = std::string(toText(signer.kind));
    object["signer"] = signer.text();
    if (!signer.team.empty()) {
        object["team"] = signer.team;
    }
    if (!signer.organization.empty()) {
        object["organization"] = signer.organization;
    }
    if (!signer.reason.empty()) {
        object["reason"] = signer.reason;
    }
    if (!signer.authority.empty()) {
        object["authority"] = signer.authority;
    }
    if (!signer.cdHashes.empty()) {
        object["cdhashes"] = signer.cdHashes;
    }
    if (signer.readFromFile) {
        object["source"] = "file";
    }
    return object;
}

std::optional<Signer> signerFromJson(const nlohmann::json& object) {
    if (!object.is_object()) {
        return std::nullopt;
    }
    const auto kind = object.find("kind");
    if (kind == object.end() || !kind->is_string()) {
        return std::nullopt;
    }
    Signer signer;
    const auto parsed = signerKindFromText(kind->get_ref<const std::string&>());
    if (!parsed) {
        return std::nullopt;
    }
    signer.kind = *parsed;
    for (auto [key, field] :
         {std::pair{"team", &signer.team}, std::pair{"organization", &signer.organization},
          std::pair{"reason", &signer.reason}, std::pair{"authority", &signer.authority}}) {
        const auto found = object.find(key);
        if (found == object.end()) {
            continue;
        }
        if (!found->is_string()) {
            return std::nullopt;
        }
        *field = found->get<std::string>();
    }
    if (const auto hashes = object.find("cdhashes"); hashes != object.end()) {
        auto decoded = cdHashesFromJson(*hashes);
        if (!decoded) {
            return std::nullopt;
        }
        signer.cdHashes = std::move(*decoded);
    }
    if (const auto source = object.find("source"); source != object.end()) {
        if (*source != "file") {
            return std::nullopt;
        }
        signer.readFromFile = true;
    }
    return signer;
}

std::optional<SignerRequirement> nextRequirement(const SigningEvidence& evidence) {
    const ToolResult& display = evidence.display;
    if (display.launchError || display.timedOut || display.exitStatus != 0) {
        return std::nullopt;
    }
    if (!evidence.apple) {
        return SignerRequirement::apple;
    }
    const ToolResult& apple = *evidence.apple;
    if (apple.launchError || apple.timedOut || apple.exitStatus != kRequirementFailed ||
        evidence.developerId) {
        return std::nullopt;
    }
    // Ad-hoc code has no certificate for a requirement to name.
    if (parseReport(display.standardError).adHoc) {
        return std::nullopt;
    }
    return SignerRequirement::developerId;
}

Signer classifySigner(const SigningEvidence& evidence) {
    const ToolResult& display = evidence.display;
    if (auto failed = failedRun(display, "codesign")) {
        return *failed;
    }
    const std::string_view said = display.standardError;
    if (display.exitStatus != 0) {
        if (mentions(said, kNotSigned)) {
            return Signer{SignerKind::notSigned, {}, {}, {}, {}};
        }
        if (mentions(said, kNoSuchFile)) {
            return Signer{SignerKind::missing, {}, {}, {}, {}};
        }
        const std::string why = complaint(said);
        return unknown("codesign failed with status " + std::to_string(display.exitStatus) +
                       (why.empty() ? std::string() : ": " + why));
    }
    const Report report = parseReport(said);
    // Every verdict below comes from a requirement check; the report only
    // lends the names that are shown with it.
    const auto verdict = [&](const std::optional<ToolResult>& check) -> std::variant<int, Signer> {
        if (!check) {
            return unknown("codesign --verify was not run");
        }
        if (auto failed = failedRun(*check, "codesign --verify")) {
            return *failed;
        }
        if (check->exitStatus == kRejected) {
            return rejected(check->standardError, report);
        }
        if (check->exitStatus != kVerified && check->exitStatus != kRequirementFailed) {
            return unknown("codesign --verify failed with status " +
                           std::to_string(check->exitStatus));
        }
        return check->exitStatus;
    };
    const auto apple = verdict(evidence.apple);
    if (const auto* decided = std::get_if<Signer>(&apple)) {
        return *decided;
    }
    if (std::get<int>(apple) == kVerified) {
        return Signer{SignerKind::apple, {}, {}, {}, report.leaf};
    }
    if (report.adHoc) {
        return Signer{SignerKind::adHoc, {}, {}, {}, {}};
    }
    const auto developer = verdict(evidence.developerId);
    if (const auto* decided = std::get_if<Signer>(&developer)) {
        return *decided;
    }
    if (std::get<int>(developer) == kVerified) {
        return developerId(report);
    }
    return Signer{SignerKind::unknown, {}, {}, std::string(kNotFromApple), report.leaf};
}

Signer signerFromSignature(const CodeSignature& signature) {
    Signer signer;
    signer.readFromFile = true;
    signer.cdHashes = signature.cdHashes;
    // The leaf's name is shown as codesign's Authority line would show it.
    const std::string leaf =
        signature.authorities.empty() ? std::string() : signature.authorities.front();
    if (signature.unread) {
        signer.reason = signature.reason;
        signer.cdHashes.clear();
        return signer;
    }
    switch (signature.signingClass) {
    case SigningClass::apple:
        signer.kind = SignerKind::apple;
        signer.authority = leaf;
        break;
    case SigningClass::developerId:
        signer.kind = SignerKind::developerId;
        signer.organization = signature.organization;
        signer.team = signature.teamIdentifier;
        signer.authority = leaf;
        break;
    case SigningClass::adHoc:
        signer.kind = SignerKind::adHoc;
        break;
    case SigningClass::unsignedCode:
        signer.kind = SignerKind::notSigned;
        break;
    case SigningClass::invalid:
        signer.kind = SignerKind::invalid;
        signer.reason = signature.reason;
        signer.authority = leaf;
        break;
    case SigningClass::macAppStore:
    case SigningClass::appleDevelopment:
        signer.kind = SignerKind::unknown;
        // Apple's, but no class here stands for them: named, not raised.
        signer.reason = std::string(toText(signature.signingClass)) + " signature";
        signer.authority = leaf;
        break;
    case SigningClass::untrusted:
        signer.kind = SignerKind::unknown;
        signer.reason = std::string(kNotFromApple);
        signer.authority = leaf;
        break;
    }
    return signer;
}

} // namespace daemonary
