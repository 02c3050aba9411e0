#include "platform/ReadOnlyWorkspace.h"

namespace daemonary {

namespace {
constexpr const char* kRefusal = "Nothing on a disk read as evidence is changed.";
} // namespace

void ReadOnlyWorkspace::selectFilesInFileManager(const std::vector<std::string>& paths) {
    m_reveals.selectFilesInFileManager(paths);
}

std::optional<WorkspaceError> ReadOnlyWorkspace::moveToTrash(const std::string& /*path*/) {
    return WorkspaceError{kRefusal};
}

std::optional<WorkspaceError> ReadOnlyWorkspace::unregisterOwnLoginItem() {
    return WorkspaceError{kRefusal};
}

std::optional<std::string> ReadOnlyWorkspace::ownBundlePath() const {
    // This application is not on the disk.
    return std::nullopt;
}

} // namespace daemonary
