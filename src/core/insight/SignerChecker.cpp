#include "insight/SignerChecker.h"

#include "discovery/MetadataManager.h"

#include <algorithm>
#include <cerrno>
#include <set>
#include <sys/stat.h>
#include <thread>

namespace daemonary {

namespace {

std::optional<SignerStamp> statStamp(const std::string& path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) {
        return std::nullopt;
    }
#if defined(__APPLE__)
    const auto& modified = status.st_mtimespec;
#else
    const auto& modified = status.st_mtim;
#endif
    return SignerStamp{static_cast<std::int64_t>(status.st_size),
                       static_cast<std::int64_t>(modified.tv_sec) * 1'000'000'000 +
                           static_cast<std::int64_t>(modified.tv_nsec)};
}

} // namespace

std::optional<std::string> signerTarget(const LaunchItem& item) {
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

nlohmann::ordered_json toJson(const std::optional<RecordSigner>& signer) {
    if (!signer) {
        return nullptr;
    }
    nlohmann::ordered_json object = toJson(signer->signer);
    object["path"] = signer->target;
    return object;
}

std::string signerLine(const std::optional<RecordSigner>& signer) {
    if (!signer) {
        return "Signed By: -";
    }
    return "Signed By: " + signer->signer.description() + " (" + signer->target + ")";
}

std::optional<RecordSigner> SignerChecker::checkRecord(const LaunchItem& item) const {
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
    const std::string path = m_layout.onHost(target);
    auto stamp = statStamp(path);
    if (!stamp) {
        return std::nullopt;
    }
    struct stat status {};
    if (::stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode)) {
        for (const char* part : {"/Contents/_CodeSignature/CodeResources", "/Contents/Info.plist",
                                 "/Contents/MacOS"}) {
            if (auto inner = statStamp(path + part)) {
                stamp->size += inner->size;
                stamp->modified = std::max(stamp->modified, inner->modified);
            }
        }
    }
    return stamp;
}

ToolResult SignerChecker::runCodesign(const std::vector<std::string>& arguments,
                                      const std::atomic<bool>* cancel) const {
    ToolOptions options;
    options.captureError = true;
    options.timeLimit = m_timeLimit;
    options.maxCapturedBytes = kMaxReportBytes;
    options.cancel = cancel;
    return runTool(m_layout.codesign(), arguments, options);
}

Signer SignerChecker::check(const std::string& target, const std::atomic<bool>* cancel) const {
    if (target.empty() || target.front() != '/') {
        return Signer{SignerKind::unknown, {}, {}, "not an absolute path"};
    }
    const std::string path = m_layout.onHost(target);
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0 && (errno == ENOENT || errno == ENOTDIR)) {
        return Signer{SignerKind::missing, {}, {}, {}};
    }
    const ToolResult display = runCodesign({"-dv", "--verbose=2", path}, cancel);
    const Signer shown = classifySigner(display, std::nullopt);
    if (!needsVerification(shown)) {
        return shown;
    }
    const ToolResult verify = runCodesign({"--verify", path}, cancel);
    return classifySigner(display, verify);
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
