#include "insight/Signer.h"

#include <array>
#include <utility>
#include <vector>

namespace daemonary {

namespace {

constexpr std::string_view kDeveloperIdLeaf = "Developer ID Application: ";
constexpr std::string_view kNotSigned = "code object is not signed at all";
constexpr std::string_view kNoSuchFile = "No such file or directory";

constexpr std::array<std::pair<SignerKind, std::string_view>, 7> kKindTexts = {{
    {SignerKind::apple, "apple"},
    {SignerKind::developerId, "developerID"},
    {SignerKind::adHoc, "adhoc"},
    {SignerKind::notSigned, "unsigned"},
    {SignerKind::invalid, "invalid"},
    {SignerKind::missing, "missing"},
    {SignerKind::unknown, "unknown"},
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
    return Signer{SignerKind::unknown, {}, {}, std::move(reason)};
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

Signer fromReport(std::string_view report) {
    std::vector<std::string_view> authorities;
    std::optional<std::string_view> teamIdentifier;
    bool adHoc = false;
    for (std::string_view line : lines(report)) {
        if (line.starts_with("Authority=")) {
            authorities.push_back(line.substr(10));
        } else if (line.starts_with("TeamIdentifier=")) {
            teamIdentifier = line.substr(15);
        } else if (line == "Signature=adhoc") {
            adHoc = true;
        } else if (line.starts_with("CodeDirectory ") &&
                   line.find("(adhoc") != std::string_view::npos) {
            adHoc = true;
        }
    }
    if (adHoc && authorities.empty()) {
        return Signer{SignerKind::adHoc, {}, {}, {}};
    }
    if (authorities.empty()) {
        return unknown("codesign named no signing authority");
    }
    const std::string_view leaf = authorities.front();
    if (leaf.starts_with(kDeveloperIdLeaf)) {
        std::string_view name = leaf.substr(kDeveloperIdLeaf.size());
        std::string team;
        const auto open = name.rfind(" (");
        if (open != std::string_view::npos && name.ends_with(')')) {
            team = std::string(name.substr(open + 2, name.size() - open - 3));
            name = name.substr(0, open);
        }
        if (team.empty() && teamIdentifier && *teamIdentifier != "not set") {
            team = std::string(*teamIdentifier);
        }
        return Signer{SignerKind::developerId, std::string(name), std::move(team), {}};
    }
    // Platform binaries: a chain up to Apple's root and no team. The leaf's
    // exact name varies, so it is not matched.
    const bool noTeam = !teamIdentifier || *teamIdentifier == "not set";
    if (authorities.back() == "Apple Root CA" && noTeam) {
        return Signer{SignerKind::apple, {}, {}, {}};
    }
    return unknown("signed by \"" + std::string(leaf) + "\", neither Apple nor a Developer ID");
}

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
    case SignerKind::unknown:
        break;
    }
    return "Unknown";
}

std::string Signer::description() const {
    return reason.empty() ? text() : text() + " (" + reason + ")";
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
          std::pair{"reason", &signer.reason}}) {
        const auto found = object.find(key);
        if (found == object.end()) {
            continue;
        }
        if (!found->is_string()) {
            return std::nullopt;
        }
        *field = found->get<std::string>();
    }
    return signer;
}

Signer classifySigner(const ToolResult& display, const std::optional<ToolResult>& verify) {
    if (auto failed = failedRun(display, "codesign")) {
        return *failed;
    }
    const std::string_view report = display.standardError;
    if (display.exitStatus != 0) {
        if (mentions(report, kNotSigned)) {
            return Signer{SignerKind::notSigned, {}, {}, {}};
        }
        if (mentions(report, kNoSuchFile)) {
            return Signer{SignerKind::missing, {}, {}, {}};
        }
        const std::string said = complaint(report);
        return unknown("codesign failed with status " + std::to_string(display.exitStatus) +
                       (said.empty() ? std::string() : ": " + said));
    }
    Signer signer = fromReport(report);
    if (!verify || !needsVerification(signer)) {
        return signer;
    }
    if (auto failed = failedRun(*verify, "codesign --verify")) {
        return *failed;
    }
    if (verify->exitStatus == 0) {
        return signer;
    }
    const std::string_view rejection = verify->standardError;
    if (mentions(rejection, kNotSigned)) {
        return Signer{SignerKind::notSigned, {}, {}, {}};
    }
    if (mentions(rejection, kNoSuchFile)) {
        return Signer{SignerKind::missing, {}, {}, {}};
    }
    // Exit 1 is a verification that failed; anything else a tool that failed.
    if (verify->exitStatus == 1) {
        std::string why = complaint(rejection);
        return Signer{SignerKind::invalid, {}, {}, why.empty() ? "rejected by codesign" : why};
    }
    return unknown("codesign --verify failed with status " + std::to_string(verify->exitStatus));
}

bool needsVerification(const Signer& fromDisplay) {
    return fromDisplay.kind == SignerKind::apple || fromDisplay.kind == SignerKind::developerId ||
           fromDisplay.kind == SignerKind::adHoc;
}

} // namespace daemonary
