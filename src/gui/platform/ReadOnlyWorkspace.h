#pragma once

#include "actions/Workspace.h"

namespace daemonary {

// The workspace of records read from a Mac's disk: files may be shown in the
// file manager (through the workspace given), but nothing is moved to the
// Trash and no login item is changed, whatever asks.
class ReadOnlyWorkspace : public Workspace {
public:
    // `reveals` must outlive this workspace.
    explicit ReadOnlyWorkspace(Workspace& reveals) : m_reveals(reveals) {}

    void selectFilesInFileManager(const std::vector<std::string>& paths) override;
    std::optional<WorkspaceError> moveToTrash(const std::string& path) override;
    std::optional<WorkspaceError> unregisterOwnLoginItem() override;
    std::optional<std::string> ownBundlePath() const override;

private:
    Workspace& m_reveals;
};

} // namespace daemonary
