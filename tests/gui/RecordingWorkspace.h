#pragma once

#include "actions/Workspace.h"

#include <QObject>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

namespace daemonary {

// A workspace whose Trash is a test folder: moveToTrash really moves the file
// there, so a test sees it leave its place. Reveal requests are recorded.
// Removal runs off the GUI thread, hence the lock.
class RecordingWorkspace : public Workspace {
public:
    explicit RecordingWorkspace(std::filesystem::path trash) : m_trash(std::move(trash)) {}

    void selectFilesInFileManager(const std::vector<std::string>& paths) override {
        const std::lock_guard lock(m_mutex);
        m_revealed.push_back(paths);
    }

    std::optional<WorkspaceError> moveToTrash(const std::string& path) override {
        const std::lock_guard lock(m_mutex);
        std::error_code error;
        std::filesystem::create_directories(m_trash, error);
        std::filesystem::rename(path, m_trash / std::filesystem::path(path).filename(), error);
        if (error) {
            return WorkspaceError{error.message()};
        }
        m_trashed.push_back(path);
        return std::nullopt;
    }

    std::optional<WorkspaceError> unregisterOwnLoginItem() override {
        return WorkspaceError{"unavailable"};
    }

    std::optional<std::string> ownBundlePath() const override { return std::nullopt; }

    std::vector<std::vector<std::string>> revealed() const {
        const std::lock_guard lock(m_mutex);
        return m_revealed;
    }
    std::vector<std::string> trashed() const {
        const std::lock_guard lock(m_mutex);
        return m_trashed;
    }

private:
    std::filesystem::path m_trash;
    mutable std::mutex m_mutex;
    std::vector<std::vector<std::string>> m_revealed;
    std::vector<std::string> m_trashed;
};

// Stands in for the service table's refresh signal and counts its flips.
class RefreshCounter : public QObject {
    Q_OBJECT

public:
    int flips() const { return m_flips; }
    void flip() {
        ++m_flips;
        emit flipped();
    }

signals:
    void flipped();

private:
    int m_flips = 0;
};

} // namespace daemonary
