#include "HostContext.h"

#include <charconv>
#include <cstring>
#include <filesystem>
#include <unistd.h>

namespace daemonary::hostsim {

namespace fs = std::filesystem;

std::string currentWorkingDirectory() {
    std::error_code error;
    auto path = fs::current_path(error);
    return error ? std::string("/") : path.string();
}

std::string normalisedAbsolutePath(std::string_view path, std::string_view workingDirectory) {
    fs::path p{std::string(path)};
    if (p.is_relative())
        p = fs::path(std::string(workingDirectory)) / p;
    std::string text = p.lexically_normal().string();
    while (text.size() > 1 && text.back() == '/')
        text.pop_back();
    return text;
}

HostContext::HostContext(std::string root, std::ostream& out, std::ostream& err)
    : m_root(std::move(root)), m_callerUid(::getuid()), m_out(out), m_err(err) {}

std::optional<std::uint32_t> simulatedCallerUid(const char* environmentValue) {
    if (environmentValue == nullptr || *environmentValue == '\0')
        return std::nullopt;
    const char* end = environmentValue + std::strlen(environmentValue);
    std::uint32_t uid = 0;
    const auto [stop, error] = std::from_chars(environmentValue, end, uid);
    if (error != std::errc() || stop != end)
        return std::nullopt;
    return uid;
}

std::string HostContext::stateDirectory() const {
    return m_root + "/.hostsim";
}

std::optional<std::string> HostContext::storedPath(std::string_view path) const {
    if (path.empty())
        return std::nullopt;
    std::string absolute = normalisedAbsolutePath(path, "/");
    std::string_view view = absolute;
    if (m_root != "/" && view.starts_with(m_root) &&
        (view.size() == m_root.size() || view[m_root.size()] == '/'))
        view.remove_prefix(m_root.size());
    while (!view.empty() && view.front() == '/')
        view.remove_prefix(1);
    return std::string(view);
}

std::string HostContext::realPath(std::string_view stored) const {
    while (!stored.empty() && stored.front() == '/')
        stored.remove_prefix(1);
    if (stored.empty())
        return m_root;
    if (m_root == "/")
        return "/" + std::string(stored);
    return m_root + "/" + std::string(stored);
}

std::optional<std::string> hostRootFor(std::string_view toolName, std::string_view argv0,
                                       const char* environmentRoot,
                                       std::string_view workingDirectory) {
    if (environmentRoot != nullptr && *environmentRoot != '\0')
        return normalisedAbsolutePath(environmentRoot, workingDirectory);
    if (argv0.find('/') == std::string_view::npos)
        return std::nullopt;

    fs::path link(normalisedAbsolutePath(argv0, workingDirectory));
    fs::path folder = link.parent_path();
    if (toolName == "launchctl") {
        if (folder.filename() != "bin")
            return std::nullopt;
        return folder.parent_path().string();
    }
    if (toolName == "kmutil" || toolName == "osascript" || toolName == "codesign" ||
        toolName == "sfltool") {
        if (folder.filename() != "bin" || folder.parent_path().filename() != "usr")
            return std::nullopt;
        return folder.parent_path().parent_path().string();
    }
    return std::nullopt;
}

} // namespace daemonary::hostsim
