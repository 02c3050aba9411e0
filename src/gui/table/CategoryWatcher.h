#pragma once

#include "model/LaunchItem.h"
#include "table/AppState.h" // LaunchScope as a signal argument
#include "table/Clock.h"

#include <QFileSystemWatcher>
#include <QObject>
#include <QString>
#include <QStringList>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace daemonary {

// Watches the folders each category is read from and says which categories
// need a reload once changes have stopped for a quiet period, so a burst of
// thousands of new files is one reload per category, not thousands. A folder
// that does not exist yet is waited for through its nearest existing parent.
// Jobs that start or stop change no file; the refresh key stays for them.
class CategoryWatcher : public QObject {
    Q_OBJECT

public:
    using DirectoriesOf = std::function<std::vector<std::string>(LaunchScope)>;

    static constexpr std::chrono::milliseconds kQuietPeriod{500};
    // A folder written to without pause still reloads this often: a tool
    // rewriting a file every few hundred milliseconds must not hide the
    // changes it makes meanwhile.
    static constexpr std::chrono::milliseconds kLongestWait{2000};

    explicit CategoryWatcher(DirectoriesOf directoriesOf,
                             std::shared_ptr<Clock> clock = Clock::system(),
                             QObject* parent = nullptr);

    // Starts watching the folders of these categories (and stops watching any
    // others).
    void watch(const std::vector<LaunchScope>& scopes);
    // The paths now watched: the folders, or for a missing one its parent.
    QStringList watchedPaths() const;

signals:
    // Something changed in a folder of the category; its quiet period runs.
    void changeNoticed(daemonary::LaunchScope scope);
    // The category's folders have been quiet for kQuietPeriod since a change,
    // or kLongestWait has passed since the first change not yet reported.
    void changed(daemonary::LaunchScope scope);

private:
    void directoryChanged(const QString& path);
    void rearm();
    void scheduleQuietCheck(std::chrono::milliseconds delay);
    void quietCheck();

    DirectoriesOf m_directoriesOf;
    std::shared_ptr<Clock> m_clock;
    QFileSystemWatcher m_watcher;
    std::map<LaunchScope, QStringList> m_folders;
    std::set<QString> m_existingFolders;
    std::set<LaunchScope> m_pending;
    Clock::TimePoint m_lastChange{};
    Clock::TimePoint m_firstChange{};
    bool m_checkScheduled = false;
};

} // namespace daemonary
