#include "platform/HostLayout.h"

#include <cstdlib>
#include <pwd.h>
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

} // namespace

HostLayout::HostLayout(std::string hostRoot, std::string homeDirectory)
    : m_hostRoot(withoutTrailingSlashes(std::move(hostRoot))),
      m_home(withoutTrailingSlashes(std::move(homeDirectory))) {
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
