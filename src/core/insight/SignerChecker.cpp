#include "insight/SignerChecker.h"

#include "baseline/Sha256.h"
#include "discovery/MetadataManager.h"
#include "platform/FileSystem.h"
#include "plist/PropertyList.h"
#include "signing/CodeSignatureReader.h"

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <set>
#include <sys/stat.h>
#include <thread>

namespace daemonary {

namespace {

// Info.plist files are a few kilobytes; a larger one is not read for a name.
constexpr std::size_t kMaxInfoPlistBytes = 1024 * 1024;

// The bundle's main executable as its Info.plist names it, else as the
// bundle's own name does. A name that leaves the MacOS folder is not one.
std::string mainExecutable(const std::string& bundle) {
    std::string name = std::string(lastPathComponent(bundle));
    name = name.substr(0, name.rfind('.'));
    if (auto bytes = readFile(bundle + "/Contents/Info.plist", kMaxInfoPlistBytes)) {
        if (auto value = parsePropertyList(*bytes); value && value->dictionary()) {
            const auto found = value->dictionary()->find("CFBundleExecutable");
            if (found != value->dictionary()->end() && found->second.string()) {
                name = *found->second.string();
            }
        }
    }
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos) {
        return {};
    }
    return bundle + "/Contents/MacOS/" + name;
}

// Every entry under the bundle, by path and identity, in one digest;
// nothing when there are too many to walk on every load.
std::string contentsDigest(const std::string& bundle) {
    namespace fs = std::filesystem;
    std::vector<std::string> lines;
    std::error_code error;
    // Links are stamped as what they lead to, never walked into.
    for (fs::recursive_directory_iterator
             it(bundle, fs::directory_options::skip_permission_denied, error),
         end;
         !error && it != end; it.increment(error)) {
        if (lines.size() >= SignerStamp::kMaxStampedEntries) {
            return {};
        }
        const std::string path = it->path().string();
        const FileIdentity identity = fileIdentity(path).value_or(FileIdentity{});
        lines.push_back(path.substr(bundle.size()) + '\0' + std::to_string(identity.size) + ' ' +
                        std::to_string(identity.modified) + ' ' + std::to_string(identity.inode) +
                        ' ' + std::to_string(identity.changed) + '\n');
    }
    if (error) {
        return {};
    }
    std::sort(lines.begin(), lines.end());
    Sha256 digest;
    for (const std::string& line : lines) {
        digest.update(line);
    }
    return Sha256::toHex(digest.finish());
}

} // namespace

std::optional<std::string> signerTarget(const LaunchItem& item) {
    if (item.runs) {
        return item.runs->path;
    }
    if (item.executablePath && !item.executablePath->empty()) {
        return item.executablePath;
    }
    if (item.path) {
        if (auto bundle = MetadataManager::enclosingBundlePath(*item.path);
            bundle && *bundle == *item.path) {
            return bundle;
        }
    }
    return std::nullopt;
}

bool runsInlineCommand(const LaunchItem& item) {
    return item.runs && item.runs->kind == RunningKind::inlineCommand;
}

const Signer& inlineCommandSigner() {
    static const Signer signer{SignerKind::inlineCommand, {}, {}, {}, {}};
    return signer;
}

nlohmann::ordered_json toJson(const std::optional<RecordSigner>& signer) {
    if (!signer) {
        return nullptr;
    }
    nlohmann::ordered_json object = toJson(signer->signer);
    if (!signer->target.empty()) {
        object["path"] = signer->target;
    }
    return object;
}

std::string signerLine(const std::optional<RecordSigner>& signer) {
    if (!signer) {
        return "Signed By: -";
    }
    if (signer->target.empty()) {
        return "Signed By: " + signer->signer.description();
    }
    return "Signed By: " + signer->signer.description() + " (" + signer->target + ")";
}

std::optional<RecordSigner> SignerChecker::checkRecord(const LaunchItem& item) const {
    if (runsInlineCommand(item)) {
        return RecordSigner{{}, inlineCommandSigner()};
    }
    auto target = signerTarget(item);
    if (!target) {
        return std::nullopt;
    }
    Signer signer = check(*target);
    return RecordSigner{std::move(*target), std::move(signer)};
}

SignerChecker::SignerChecker(HostLayout layout, std::chrono::milliseconds timeLimit)
    : m_layout(std::move(layout)), m_timeLimit(timeLimit) {}

std::optional<SignerStamp> SignerChecker::stamp(const std::string& target) const {
    const std::optional<std::string> onHost = m_layout.insideHost(target);
    if (!onHost) {
        return std::nullopt;
    }
    const std::string& path = *onHost;
    auto identity = fileIdentity(path);
    if (!identity) {
        return std::nullopt;
    }
    SignerStamp stamp{*identity, {}};
    if (isDirectory(path)) {
        const auto part = [](const std::string& file) {
            return file.empty() ? FileIdentity{} : fileIdentity(file).value_or(FileIdentity{});
        };
        for (const char* inner : {"/Contents/_CodeSignature/CodeResources", "/Contents/Info.plist",
                                  "/Contents/MacOS"}) {
            stamp.bundleParts.push_back(part(path + inner));
        }
        stamp.bundleParts.push_back(part(mainExecutable(path)));
        stamp.contents = contentsDigest(path);
    }
    stamp.cdHashes = CodeSignatureReader::readCdHashes(path);
    return stamp;
}

ToolResult SignerChecker::runCodesign(const std::vector<std::string>& arguments,
                                      const std::atomic<bool>* cancel) const {
    ToolOptions options = m_layout.toolOptions(false, true);
    options.timeLimit = m_timeLimit;
    options.maxCapturedBytes = kMaxReportBytes;
    options.cancel = cancel;
    return runTool(m_layout.codesign(), arguments, options);
}

Signer SignerChecker::check(const std::string& target, const std::atomic<bool>* cancel) const {
    if (target.empty() || target.front() != '/') {
        return Signer{SignerKind::unknown, {}, {}, "not an absolute path", {}};
    }
    const std::optional<std::string> onHost = m_layout.insideHost(target);
    if (!onHost) {
        return Signer{SignerKind::unknown, {}, {}, "outside the host", {}};
    }
    const std::string& path = *onHost;
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0 && (errno == ENOENT || errno == ENOTDIR)) {
        return Signer{SignerKind::missing, {}, {}, {}, {}};
    }
    // Several runs, each opening the path anew: whatever is there when the
    // last one ends must be the code that was there before the first began.
    // Where no tool may run, the file decides without a refused run per target.
    if (m_layout.refusesTools()) {
        return signerFromSignature(CodeSignatureReader::readPath(path));
    }
    const CdHashes before = CodeSignatureReader::readCdHashes(path);
    SigningEvidence evidence{runCodesign({"-dvvv", "--", path}, cancel), {}, {}};
    // Only a codesign that could not be started leaves the file to decide;
    // one that ran and flooded its output is a failed check.
    if (evidence.display.launchError && evidence.display.launchError->code != EFBIG) {
        return signerFromSignature(CodeSignatureReader::readPath(path));
    }
    while (const auto requirement = nextRequirement(evidence)) {
        const bool apple = *requirement == SignerRequirement::apple;
        const std::string_view text = apple ? kAppleRequirement : kDeveloperIdRequirement;
        (apple ? evidence.apple : evidence.developerId) =
            runCodesign({"--verify", "-R=" + std::string(text), "--", path}, cancel);
    }
    Signer signer = classifySigner(evidence);
    CdHashes after = CodeSignatureReader::readCdHashes(path);
    if (after != before) {
        return Signer{SignerKind::unknown, {}, {}, std::string(kChangedDuringCheck), {}};
    }
    signer.cdHashes = std::move(after);
    return signer;
}

std::map<std::string, Signer> SignerChecker::checkAll(const std::vector<std::string>& targets,
                                                      int concurrency) const {
    const std::set<std::string> unique(targets.begin(), targets.end());
    const std::vector<std::string> work(unique.begin(), unique.end());
    std::vector<Signer> results(work.size());
    std::atomic<std::size_t> next = 0;
    const auto worker = [&] {
        for (std::size_t i = next++; i < work.size(); i = next++) {
            results[i] = check(work[i]);
        }
    };
    // std::thread, not jthread: Apple's libc++ has no jthread yet.
    std::vector<std::thread> threads;
    const auto count = std::clamp<std::size_t>(static_cast<std::size_t>(std::max(concurrency, 1)),
                                               1, std::max<std::size_t>(work.size(), 1));
    for (std::size_t t = 1; t < count; ++t) {
        threads.emplace_back(worker);
    }
    worker();
    for (std::thread& thread : threads) {
        thread.join();
    }
    std::map<std::string, Signer> signers;
    for (std::size_t i = 0; i < work.size(); ++i) {
        signers.emplace(work[i], std::move(results[i]));
    }
    return signers;
}

} // namespace daemonary
