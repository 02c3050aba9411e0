#pragma once

#include "actions/Workspace.h"

namespace daemonary {

// The command line has no file manager, Trash or login-item registration of
// its own: each desktop operation fails with a plain explanation. Starting
// and stopping need none of them.
class CommandLineWorkspace : public Workspace {
public:
    void selectFilesInFileManager(const std::vector<std::string>& paths) override;
    std::optional<WorkspaceError> moveToTrash(const std::string& path) override;
    std::optional<WorkspaceError> unregisterOwnLoginItem() override;
    std::optional<std::string> ownBundlePath() const override;
};

} // namespace daemonary
