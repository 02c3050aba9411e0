#include "CommandLineWorkspace.h"

#include "platform/Log.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <sys/stat.h>

namespace daemonary {

namespace {

constexpr const char* kNotAvailable = "not available from the command line";

// "x.plist" -> "x 2.plist"; a leading dot is part of the name, not a suffix.
std::string numberedName(const std::string& name, int number) {
    const auto dot = name.rfind('.');
    const bool hasSuffix = dot != std::string::npos && dot > 0;
    const std::string stem = hasSuffix ? name.substr(0, dot) : name;
    const std::string suffix = hasSuffix ? name.substr(dot) : std::string();
    return stem + " " + std::to_string(number) + suffix;
}

} // namespace

CommandLineWorkspace::CommandLineWorkspace(std::optional<std::string> trashFolder)
    : m_trashFolder(std::move(trashFolder)) {}

void CommandLineWorkspace::selectFilesInFileManager(const std::vector<std::string>& paths) {
    (void)paths;
    Log::line(std::string("Revealing files: ") + kNotAvailable);
}

std::optional<WorkspaceError> CommandLineWorkspace::moveToTrash(const std::string& path) {
    if (!m_trashFolder) {
        return WorkspaceError{"Moving " + path + " to the Trash: " + kNotAvailable};
    }
    std::error_code ignored;
    std::filesystem::create_directories(std::filesystem::path(*m_trashFolder).parent_path(),
                                        ignored);
    if (::mkdir(m_trashFolder->c_str(), 0700) != 0 && errno != EEXIST) {
        return WorkspaceError{"The Trash folder " + *m_trashFolder +
                              " could not be made: " + std::strerror(errno)};
    }
    std::string name = path;
    while (name.size() > 1 && name.back() == '/') {
        name.pop_back();
    }
    name = name.substr(name.rfind('/') + 1);
    for (int number = 1; number < 1000; ++number) {
        const std::string target =
            *m_trashFolder + "/" + (number == 1 ? name : numberedName(name, number));
        // A name in use is passed over; the Trash is the user's own folder,
        // so nobody else fills it between the look and the rename.
        struct stat existing {};
        if (::lstat(target.c_str(), &existing) == 0) {
            continue;
        }
        if (::rename(path.c_str(), target.c_str()) == 0) {
            return std::nullopt;
        }
        return WorkspaceError{path + " could not be moved to the Trash: " + std::strerror(errno)};
    }
    return WorkspaceError{path + " could not be moved to the Trash: no free name there"};
}

std::optional<WorkspaceError> CommandLineWorkspace::unregisterOwnLoginItem() {
    return WorkspaceError{std::string("Login-item service: ") + kNotAvailable};
}

std::optional<std::string> CommandLineWorkspace::ownBundlePath() const {
    return std::nullopt;
}

} // namespace daemonary
