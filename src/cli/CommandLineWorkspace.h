#pragma once

#include "actions/Workspace.h"

#include <optional>
#include <string>

namespace daemonary {

// The command line has no file manager or login-item registration of its own:
// those operations fail with a plain explanation. The Trash is the user's
// Trash folder (~/.Trash on a Mac), given at construction; without one,
// moving to the Trash fails too.
class CommandLineWorkspace : public Workspace {
public:
    explicit CommandLineWorkspace(std::optional<std::string> trashFolder = std::nullopt);

    void selectFilesInFileManager(const std::vector<std::string>& paths) override;
    // Renames the file into the Trash folder (made when missing), under a
    // free name: "x.plist", else "x 2.plist", "x 3.plist"... Never copies,
    // so a file on another volume stays where it is and the error says so.
    std::optional<WorkspaceError> moveToTrash(const std::string& path) override;
    std::optional<WorkspaceError> unregisterOwnLoginItem() override;
    std::optional<std::string> ownBundlePath() const override;

private:
    std::optional<std::string> m_trashFolder;
};

} // namespace daemonary
