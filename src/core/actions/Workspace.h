#pragma once

#include <optional>
#include <string>
#include <vector>

namespace daemonary {

// Why a workspace operation failed, in the platform's own words.
struct WorkspaceError {
    std::string text;
};

// The desktop services that reveal and removal need. The application
// implements it with the platform's file manager, Trash and login-item
// service; tests record the calls. Called on the thread that runs the action.
class Workspace {
public:
    virtual ~Workspace() = default;

    // Opens file-manager windows with these files selected.
    virtual void selectFilesInFileManager(const std::vector<std::string>& paths) = 0;
    // Moves a file or folder to the Trash. Nothing on success.
    virtual std::optional<WorkspaceError> moveToTrash(const std::string& path) = 0;
    // Unregisters this application's own login-item registration with the
    // platform's login-item service. Nothing on success.
    virtual std::optional<WorkspaceError> unregisterOwnLoginItem() = 0;
    // The path of this application's own bundle, when it runs from one.
    virtual std::optional<std::string> ownBundlePath() const = 0;
};

} // namespace daemonary
