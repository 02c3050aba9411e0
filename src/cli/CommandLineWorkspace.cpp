#include "CommandLineWorkspace.h"

#include "platform/Log.h"

namespace daemonary {

namespace {
constexpr const char* kNotAvailable = "not available from the command line";
}

void CommandLineWorkspace::selectFilesInFileManager(const std::vector<std::string>& paths) {
    (void)paths;
    Log::line(std::string("Revealing files: ") + kNotAvailable);
}

std::optional<WorkspaceError> CommandLineWorkspace::moveToTrash(const std::string& path) {
    return WorkspaceError{"Moving " + path + " to the Trash: " + kNotAvailable};
}

std::optional<WorkspaceError> CommandLineWorkspace::unregisterOwnLoginItem() {
    return WorkspaceError{std::string("Login-item service: ") + kNotAvailable};
}

std::optional<std::string> CommandLineWorkspace::ownBundlePath() const {
    return std::nullopt;
}

} // namespace daemonary
