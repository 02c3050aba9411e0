#pragma once

#include "insight/Signer.h"
#include "model/LaunchItem.h"
#include "platform/FileIdentity.h"
#include "platform/HostLayout.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace daemonary {

// What a target looked like when its signer was decided: any difference
// means the decision is stale. A bundle's signature covers more than its
// folder, so its stamp also holds its seal, its Info.plist, its MacOS folder
// and its main executable (an absent one stamped as all zeros). The CDHashes
// name the code itself: a file put back with the old size and times but
// other code has other ones. A bundle's seal covers every file in it, so its
// stamp also digests every entry's path and identity (a file changed,
// removed or added is another stamp); empty for a file, and for a bundle of
// more than kMaxStampedEntries, which its parts alone stamp.
struct SignerStamp {
    FileIdentity target;
    std::vector<FileIdentity> bundleParts;
    CdHashes cdHashes = {};
    std::string contents = {};

    static constexpr std::size_t kMaxStampedEntries = 20000;

    bool operator==(const SignerStamp&) const = default;
};

// What to sign-check for a record, as the record names it: the script or
// program its interpreter or launcher runs, else the executable, else the
// bundle the record is. Nothing for records with none, and for inline code.
std::optional<std::string> signerTarget(const LaunchItem& item);

// Whether the record's interpreter runs code from its command line: its
// signer is inlineCommandSigner(), whoever signed the interpreter.
bool runsInlineCommand(const LaunchItem& item);
const Signer& inlineCommandSigner();

// One record's signer with the path it was decided for (empty for inline code).
struct RecordSigner {
    std::string target;
    Signer signer;
    bool operator==(const RecordSigner&) const = default;
};

// For one record shown on its own (`daemonary-cli show`): toJson(signer) with
// "path" (when there is one), or null when the record has nothing to check.
nlohmann::ordered_json toJson(const std::optional<RecordSigner>& signer);
// "Signed By: <description> (<path>)", or "Signed By: -".
std::string signerLine(const std::optional<RecordSigner>& signer);

// Finds the signer of one file or bundle with the host's codesign: once to
// display the signature and, when there is one, once for each requirement
// that decides its class, each run within the time limit. The verdict is
// bound to the code by the CDHashes read from the file before and after the
// runs. Where codesign cannot be run at all (a host root without tools, a
// copied folder), the signature read from the file decides. Thread-safe;
// blocks for the tool runs.
class SignerChecker {
public:
    static constexpr std::chrono::milliseconds kDefaultTimeLimit = kDefaultToolTimeout;
    // A signing report is a few kilobytes; a tool writing more than this is
    // not one the application can use.
    static constexpr std::size_t kMaxReportBytes = 1024 * 1024;

    explicit SignerChecker(HostLayout layout = HostLayout::fromEnvironment(),
                           std::chrono::milliseconds timeLimit = kDefaultTimeLimit);

    const HostLayout& layout() const { return m_layout; }

    // The stamp of a target on the host, with its CDHashes (read from the
    // file, no tool run); nothing when it does not exist.
    std::optional<SignerStamp> stamp(const std::string& target) const;

    // "Missing" without running anything when the target does not exist;
    // unknown, kChangedDuringCheck, when the code changed while codesign
    // judged it.
    Signer check(const std::string& target, const std::atomic<bool>* cancel = nullptr) const;

    // The signer of what signerTarget names, inlineCommandSigner() for
    // inline code; nothing when the record has neither.
    std::optional<RecordSigner> checkRecord(const LaunchItem& item) const;

    // Checks each distinct target once, at most `concurrency` at a time.
    std::map<std::string, Signer> checkAll(const std::vector<std::string>& targets,
                                           int concurrency = kDefaultConcurrency) const;
    static constexpr int kDefaultConcurrency = 4;

private:
    ToolResult runCodesign(const std::vector<std::string>& arguments,
                           const std::atomic<bool>* cancel) const;

    HostLayout m_layout;
    std::chrono::milliseconds m_timeLimit;
};

} // namespace daemonary
