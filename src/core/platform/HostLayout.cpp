#include "platform/HostLayout.h"

#include "platform/Log.h"

#include <climits>
#include <cstdlib>
#include <map>
#include <mutex>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace daemonary {

namespace {

std::string homeFromPasswordDatabase() {
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found &&
        found->pw_dir) {
        return found->pw_dir;
    }
    return {};
}

std::string withoutTrailingSlashes(std::string path) {
    // "/" alone stays: it is a root, not a trailing separator.
    while (path.size() > 1 && path.back() == '/') {
        path.pop_back();
    }
    return path;
}

bool isWithin(std::string_view path, std::string_view folder) {
    return !folder.empty() && path.starts_with(folder) &&
           (path.size() == folder.size() || folder == "/" || path[folder.size()] == '/');
}

// An absolute path with "", "." and ".." components taken by name; ".." at
// the top stays at the top, as the kernel takes it.
std::string lexicallyNormal(std::string_view path) {
    std::vector<std::string_view> parts;
    while (!path.empty()) {
        const auto slash = path.find('/');
        const std::string_view part = path.substr(0, slash);
        path = slash == std::string_view::npos ? std::string_view() : path.substr(slash + 1);
        if (part.empty() || part == ".") {
            continue;
        }
        if (part == "..") {
            if (!parts.empty()) {
                parts.pop_back();
            }
            continue;
        }
        parts.push_back(part);
    }
    std::string normal;
    for (const std::string_view part : parts) {
        normal.push_back('/');
        normal.append(part);
    }
    return normal;
}

std::optional<std::string> realPath(const std::string& path) {
    char buffer[PATH_MAX];
    if (::realpath(path.c_str(), buffer) == nullptr) {
        return std::nullopt;
    }
    return std::string(buffer);
}

thread_local HostLayout::CheckMemo* t_memo = nullptr;

} // namespace

HostLayout::CheckMemo::CheckMemo() : m_outer(t_memo) {
    t_memo = this;
}

HostLayout::CheckMemo::~CheckMemo() {
    t_memo = m_outer;
}

namespace {

std::optional<std::string> existingRealPath(const std::string& candidate) {
    // realpath reads every component as a link, so a missing path costs a
    // walk per component; one lstat tells first that there is nothing to
    // resolve (a dangling link is still resolved, and fails, as before).
    struct stat info {};
    if (::lstat(candidate.c_str(), &info) != 0) {
        return std::nullopt;
    }
    return realPath(candidate);
}

} // namespace

// Where an existing path leads after every link, through the memo: a path
// whose last component is no link leads where its folder leads, so a folder
// is resolved once however many paths lie in it, and realpath runs only
// for links.
std::optional<std::string> HostLayout::memoResolved(const std::string& candidate) {
    if (t_memo == nullptr) {
        return existingRealPath(candidate);
    }
    if (const auto found = t_memo->m_resolved.find(candidate); found != t_memo->m_resolved.end()) {
        return found->second;
    }
    std::optional<std::string> resolved;
    struct stat info {};
    const auto slash = candidate.rfind('/');
    const std::string_view name = slash == std::string::npos
                                      ? std::string_view()
                                      : std::string_view(candidate).substr(slash + 1);
    if (::lstat(candidate.c_str(), &info) != 0) {
        resolved = std::nullopt;
    } else if (S_ISLNK(info.st_mode) || slash == std::string::npos || slash == 0 || name.empty() ||
               name == "." || name == "..") {
        resolved = realPath(candidate);
    } else if (const auto folder = memoResolved(candidate.substr(0, slash))) {
        resolved = (*folder == "/" ? std::string() : *folder) + "/" + std::string(name);
    } else {
        resolved = realPath(candidate);
    }
    return t_memo->m_resolved.emplace(candidate, std::move(resolved)).first->second;
}

// The deepest part of path that exists, after every link; what follows it
// cannot be a link.
std::optional<std::string> HostLayout::resolvedExisting(std::string path) {
    std::optional<std::string> resolved = memoResolved(path);
    while (!resolved) {
        const auto slash = path.rfind('/');
        if (slash == std::string::npos || slash == 0) {
            return realPath("/");
        }
        path.resize(slash);
        resolved = memoResolved(path);
    }
    return resolved;
}

namespace {} // namespace

struct HostLayout::CanonicalFolders {
    std::mutex mutex;
    std::map<std::string, std::string, std::less<>> resolved;
};

HostLayout::HostLayout(std::string hostRoot, std::string homeDirectory)
    : m_hostRoot(withoutTrailingSlashes(std::move(hostRoot))),
      m_home(withoutTrailingSlashes(std::move(homeDirectory))),
      m_canonical(std::make_shared<CanonicalFolders>()) {
    // A root of "/" is the real system; keep it empty so paths stay plain.
    if (m_hostRoot == "/") {
        m_hostRoot.clear();
    }
}

HostLayout HostLayout::fromEnvironment() {
    std::string root;
    if (const char* value = std::getenv("DAEMONARY_HOST_ROOT"); value && *value) {
        root = value;
    }
    std::string home;
    if (const char* value = std::getenv("HOME"); value && *value) {
        home = value;
    } else {
        home = homeFromPasswordDatabase();
    }
    HostLayout layout(std::move(root), std::move(home));
    if (const char* value = std::getenv("DAEMONARY_TOOL_TIMEOUT_MS"); value && *value) {
        char* end = nullptr;
        const long long milliseconds = std::strtoll(value, &end, 10);
        if (*end == '\0' && milliseconds > 0) {
            layout.setToolTimeout(std::chrono::milliseconds(milliseconds));
        }
    }
    return layout;
}

ToolOptions HostLayout::toolOptions(bool captureOutput, bool captureError) const {
    ToolOptions options;
    options.captureOutput = captureOutput;
    options.captureError = captureError;
    options.timeLimit = m_toolTimeout;
    options.refusal = m_toolRefusal;
    return options;
}

std::string HostLayout::system(std::string_view absolutePath) const {
    std::string result = m_hostRoot;
    if (!absolutePath.empty() && absolutePath.front() != '/') {
        result.push_back('/');
    }
    result.append(absolutePath);
    return result;
}

std::string HostLayout::onHost(std::string_view path) const {
    const auto isWithin = [path](const std::string& folder) {
        return !folder.empty() && path.starts_with(folder) &&
               (path.size() == folder.size() || path[folder.size()] == '/');
    };
    if (m_hostRoot.empty() || path.empty() || path.front() != '/' || isWithin(m_hostRoot) ||
        isWithin(m_home)) {
        return std::string(path);
    }
    return system(path);
}

std::optional<std::string> HostLayout::insideHost(std::string_view path) const {
    if (path.empty() || path.front() != '/') {
        return std::nullopt;
    }
    if (m_hostRoot.empty()) {
        return std::string(path);
    }
    // Found by discovery under the root or in the home folder, or a Mac path.
    std::string_view base = m_hostRoot;
    if (isWithin(path, m_hostRoot)) {
        path.remove_prefix(m_hostRoot.size());
    } else if (isWithin(path, m_home)) {
        base = m_home;
        path.remove_prefix(m_home.size());
    }
    std::string normal = std::string(base) + lexicallyNormal(path);
    const std::optional<std::string> resolved = resolvedExisting(normal);
    if (!resolved) {
        return std::nullopt;
    }
    for (const std::string* folder : {&m_hostRoot, &m_home}) {
        if (folder->empty()) {
            continue;
        }
        // A home of "/" (a daemon's) would take in everything.
        if (const auto canonical = this->canonical(*folder);
            canonical && *canonical != "/" && isWithin(*resolved, *canonical)) {
            return normal;
        }
    }
    return std::nullopt;
}

bool folderStaysOnHost(const std::string& folder, const HostLayout& layout) {
    if (layout.hostRoot().empty() || layout.insideHost(folder)) {
        return true;
    }
    Log::line("Not listing a folder that leads out of the host: " + folder);
    return false;
}

std::optional<std::string> HostLayout::canonical(const std::string& folder) const {
    {
        const std::lock_guard lock(m_canonical->mutex);
        if (const auto found = m_canonical->resolved.find(folder);
            found != m_canonical->resolved.end()) {
            return found->second;
        }
    }
    std::optional<std::string> resolved = realPath(folder);
    if (resolved) {
        const std::lock_guard lock(m_canonical->mutex);
        m_canonical->resolved.emplace(folder, *resolved);
    }
    return resolved;
}

std::string HostLayout::home(std::string_view relativePath) const {
    while (!relativePath.empty() && relativePath.front() == '/') {
        relativePath.remove_prefix(1);
    }
    if (relativePath.empty()) {
        return m_home;
    }
    std::string result = m_home;
    if (result.empty() || result.back() != '/') {
        result.push_back('/');
    }
    result.append(relativePath);
    return result;
}

} // namespace daemonary
