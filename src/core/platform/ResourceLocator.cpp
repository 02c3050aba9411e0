#include "platform/ResourceLocator.h"

#include "platform/FileSystem.h"

#include <climits>
#include <cstdint>
#include <string_view>
#include <vector>

#if defined(__APPLE__)
#include <mach-o/dyld.h>
#include <stdlib.h>
#else
#include <unistd.h>
#endif

#ifndef DAEMONARY_RESOURCE_SUBDIR
#define DAEMONARY_RESOURCE_SUBDIR "share/daemonary"
#endif

namespace daemonary {

std::optional<std::string> ResourceLocator::executablePath() {
#if defined(__APPLE__)
    std::uint32_t size = 0;
    _NSGetExecutablePath(nullptr, &size);
    std::vector<char> buffer(size + 1, '\0');
    if (_NSGetExecutablePath(buffer.data(), &size) != 0) {
        return std::nullopt;
    }
    // The path may go through symbolic links ("..", a linked bin folder);
    // resolve it so that the sibling folders are the real ones.
    char resolved[PATH_MAX];
    if (::realpath(buffer.data(), resolved)) {
        return std::string(resolved);
    }
    return std::string(buffer.data());
#else
    std::vector<char> buffer(PATH_MAX);
    for (;;) {
        const ssize_t length = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (length < 0) {
            return std::nullopt;
        }
        if (static_cast<std::size_t>(length) < buffer.size()) {
            return std::string(buffer.data(), static_cast<std::size_t>(length));
        }
        buffer.resize(buffer.size() * 2);
    }
#endif
}

std::optional<std::string> ResourceLocator::resourceDirectoryFor(const std::string& executable) {
    // Lexical parents: the executable's own path is already free of links.
    const auto parent = [](std::string_view path) -> std::optional<std::string_view> {
        while (path.size() > 1 && path.back() == '/') {
            path.remove_suffix(1);
        }
        const std::size_t slash = path.rfind('/');
        if (slash == std::string_view::npos || path.size() <= 1) {
            return std::nullopt;
        }
        return path.substr(0, slash == 0 ? 1 : slash);
    };
    const auto programDirectory = parent(executable);
    const auto base = programDirectory ? parent(*programDirectory) : std::nullopt;
    if (!base) {
        return std::nullopt;
    }
    for (const std::string_view candidate :
         {std::string_view(DAEMONARY_RESOURCE_SUBDIR), std::string_view("Resources")}) {
        const std::string path = appendPathComponent(*base, candidate);
        if (isDirectory(path)) {
            return path;
        }
    }
    return std::nullopt;
}

std::optional<std::string> ResourceLocator::resourceDirectory() {
    const auto executable = executablePath();
    if (!executable) {
        return std::nullopt;
    }
    return resourceDirectoryFor(*executable);
}

} // namespace daemonary
