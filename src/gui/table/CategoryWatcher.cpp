#include "table/CategoryWatcher.h"

#include "platform/Log.h"

#include <QDir>
#include <QFileInfo>
#include <algorithm>

namespace daemonary {

namespace {

// The folder itself when it exists, else its nearest existing parent.
QString nearestExisting(const QString& folder) {
    QString path = QDir::cleanPath(folder);
    while (!QFileInfo(path).isDir()) {
        const QString parent = QFileInfo(path).path();
        if (parent == path) {
            return {};
        }
        path = parent;
    }
    return path;
}

} // namespace

CategoryWatcher::CategoryWatcher(DirectoriesOf directoriesOf, std::shared_ptr<Clock> clock,
                                 QObject* parent)
    : QObject(parent), m_directoriesOf(std::move(directoriesOf)),
      m_clock(clock ? std::move(clock) : Clock::system()) {
    qRegisterMetaType<daemonary::LaunchScope>();
    connect(&m_watcher, &QFileSystemWatcher::directoryChanged, this,
            &CategoryWatcher::directoryChanged);
}

void CategoryWatcher::watch(const std::vector<LaunchScope>& scopes) {
    m_folders.clear();
    for (const LaunchScope scope : scopes) {
        QStringList folders;
        for (const std::string& folder : m_directoriesOf(scope)) {
            folders << QDir::cleanPath(QString::fromStdString(folder));
        }
        m_folders[scope] = folders;
    }
    rearm();
}

QStringList CategoryWatcher::watchedPaths() const {
    return m_watcher.directories();
}

void CategoryWatcher::rearm() {
    std::set<QString> wanted;
    m_existingFolders.clear();
    for (const auto& [scope, folders] : m_folders) {
        for (const QString& folder : folders) {
            const QString path = nearestExisting(folder);
            if (path.isEmpty()) {
                continue;
            }
            if (path == folder) {
                m_existingFolders.insert(folder);
            }
            wanted.insert(path);
        }
    }
    QStringList stale;
    for (const QString& path : m_watcher.directories()) {
        if (wanted.erase(path) == 0) {
            stale << path;
        }
    }
    if (!stale.isEmpty()) {
        m_watcher.removePaths(stale);
    }
    if (!wanted.empty()) {
        const QStringList add(wanted.begin(), wanted.end());
        const QStringList failed = m_watcher.addPaths(add);
        for (const QString& path : failed) {
            Log::line("CategoryWatcher: cannot watch " + path.toStdString());
        }
    }
}

void CategoryWatcher::directoryChanged(const QString& path) {
    std::set<LaunchScope> affected;
    // A change inside a watched folder that still exists: the common case,
    // and the only one a burst of new files causes.
    // The watcher drops a folder that was deleted or moved, so asking it
    // costs no file-system call on the GUI thread.
    const bool ownFolder = m_existingFolders.count(path) > 0;
    if (ownFolder && m_watcher.directories().contains(path)) {
        for (const auto& [scope, folders] : m_folders) {
            if (folders.contains(path)) {
                affected.insert(scope);
            }
        }
    } else {
        // A folder went away or a parent changed: a folder waited for may
        // have appeared. Whatever changed existence affects its categories.
        const std::set<QString> before = m_existingFolders;
        rearm();
        for (const auto& [scope, folders] : m_folders) {
            for (const QString& folder : folders) {
                if ((before.count(folder) > 0) != (m_existingFolders.count(folder) > 0)) {
                    affected.insert(scope);
                }
            }
        }
    }
    if (affected.empty()) {
        return;
    }
    m_lastChange = m_clock->now();
    if (m_pending.empty()) {
        m_firstChange = m_lastChange;
    }
    for (const LaunchScope scope : affected) {
        m_pending.insert(scope);
        emit changeNoticed(scope);
    }
    if (!m_checkScheduled) {
        scheduleQuietCheck(kQuietPeriod);
    }
}

void CategoryWatcher::scheduleQuietCheck(std::chrono::milliseconds delay) {
    m_checkScheduled = true;
    m_clock->runAfter(delay, this, [this] { quietCheck(); });
}

void CategoryWatcher::quietCheck() {
    m_checkScheduled = false;
    const auto now = m_clock->now();
    const auto quiet = now - m_lastChange;
    const auto waited = now - m_firstChange;
    if (quiet < kQuietPeriod && waited < kLongestWait) {
        // Changes went on meanwhile: wait for the rest of the period after the
        // last one, but no longer than the longest wait allows. One check is
        // ever outstanding, however many changes come.
        const auto delay = std::min<std::chrono::steady_clock::duration>(kQuietPeriod - quiet,
                                                                         kLongestWait - waited);
        scheduleQuietCheck(std::chrono::ceil<std::chrono::milliseconds>(delay));
        return;
    }
    const std::set<LaunchScope> scopes = std::move(m_pending);
    m_pending.clear();
    for (const LaunchScope scope : scopes) {
        emit changed(scope);
    }
}

} // namespace daemonary
