#pragma once

#include "actions/Workspace.h"

#include <optional>
#include <string>
#include <vector>

namespace daemonary {

class StatusNotices;

// The desktop services of the platform the application runs on: the file
// manager, the Trash and the login-item service. Safe to call from any
// thread; the file-manager request is always made on the GUI thread.
class QtWorkspace : public Workspace {
public:
    // `notices` hears, in a sentence, when a file cannot be revealed (it is
    // gone, or no file manager answers); none: such a failure goes to the log.
    explicit QtWorkspace(StatusNotices* notices = nullptr) : m_notices(notices) {}

    void selectFilesInFileManager(const std::vector<std::string>& paths) override;
    std::optional<WorkspaceError> moveToTrash(const std::string& path) override;
    std::optional<WorkspaceError> unregisterOwnLoginItem() override;
    std::optional<std::string> ownBundlePath() const override;

    // The application bundle that holds a program in this folder
    // (".../Name.app/Contents/MacOS"), or nothing.
    static std::optional<std::string> bundlePathForProgramDirectory(const std::string& directory);

private:
    // The platform's own file-manager call (NSWorkspace on macOS, the
    // freedesktop FileManager1 service elsewhere, falling back to opening the
    // folders). Runs on the GUI thread.
    static void revealInFileManager(const std::vector<std::string>& paths, StatusNotices* notices);
    // SMAppService on macOS; elsewhere there is no such service.
    static std::optional<WorkspaceError> unregisterMainAppService();

    StatusNotices* m_notices = nullptr;
};

} // namespace daemonary
