#include "SignerChecker.h"

#include "MetadataManager.h"

#include <cerrno>
#include <sys/stat.h>

namespace daemonary {

namespace {

std::optional<FileStamp> statStamp(const std::string& path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) {
        return std::nullopt;
    }
#if defined(__APPLE__)
    const auto& modified = status.st_mtimespec;
#else
    const auto& modified = status.st_mtim;
#endif
    return FileStamp{static_cast<std::int64_t>(status.st_size),
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

SignerChecker::SignerChecker(HostLayout layout, std::chrono::milliseconds timeLimit)
    : m_layout(std::move(layout)), m_timeLimit(timeLimit) {}

std::optional<FileStamp> SignerChecker::stamp(const std::string& target) const {
    const std::string path = m_layout.hostPath(target);
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
    const std::string path = m_layout.hostPath(target);
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

} // namespace daemonary
