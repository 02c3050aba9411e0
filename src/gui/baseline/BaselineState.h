#pragma once

#include "baseline/FingerprintReader.h"
#include "baseline/Snapshot.h"
#include "baseline/SnapshotDiff.h"
#include "model/LaunchItem.h"
#include "table/AppState.h" // LaunchScope as a signal argument

#include <QDateTime>
#include <QHash>
#include <QObject>
#include <QString>
#include <QThreadPool>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace daemonary {

class AppState;

// How a record stands against the baseline.
enum class ChangeMark { none, added, modified, removed };

// The saved baseline and how each loaded category differs from it. Lives on
// the GUI thread; reading, writing and fingerprinting run on a pool of its own
// (never Qt's global pool) and come back here.
class BaselineState : public QObject {
    Q_OBJECT

public:
    struct RecordStanding {
        ChangeMark mark = ChangeMark::none;
        std::vector<RecordChange> changes; // modified only
    };

    struct ScopeChanges {
        QHash<QString, RecordStanding> byRecord; // keyed by recordKey()
        std::vector<SnapshotRecord> removed;     // in diff order
        int count() const { return static_cast<int>(byRecord.size() + removed.size()); }
    };

    // `filePath`: where the baseline is kept (one file, replaced whole);
    // `layout`: where the programs records name lie on this machine.
    BaselineState(AppState& appState, QString filePath,
                  HostLayout layout = HostLayout::fromEnvironment(), QObject* parent = nullptr);
    ~BaselineState() override;

    // The baseline file in the application's data folder.
    static QString defaultFilePath();

    const QString& filePath() const { return m_filePath; }
    bool hasBaseline() const { return m_baseline.has_value(); }
    const std::optional<Snapshot>& baseline() const { return m_baseline; }
    // When the baseline was taken, in local time; invalid without one.
    QDateTime takenAt() const;
    // "7 Dec 2026, 14:05" in the user's locale.
    QString dateText() const;
    // The last problem reading or writing the file, if any.
    const QString& problem() const { return m_problem; }
    bool busy() const { return m_pending > 0; }

    // Reads the file in the background. A missing file is no baseline; a
    // damaged one is a problem, and the file is kept as it is.
    void load();
    // Snapshots the loaded categories (the job table left out) and replaces
    // the file with it.
    void save();
    // Removes the file and the marks.
    void forget();

    // Where the files of the records lie on this machine: the host's, or a
    // Mac's disk while the window shows one, whose root is then taken off
    // the programs' paths in every snapshot, so that a disk compares with
    // a baseline taken elsewhere (another copy, the Mac itself). Changes
    // are computed again when the records that follow are stored.
    const HostLayout& layout() const { return m_layout; }
    // A Mac's disk the records were read from: its root and its users.
    struct Disk {
        std::string root;
        std::vector<std::string> users;
    };
    void setLayout(HostLayout layout, std::optional<Disk> disk = std::nullopt);

    // Identity of a record across snapshots: category, type, label and path.
    static QString recordKey(const LaunchItem& item);

    const ScopeChanges* changes(LaunchScope scope) const;
    RecordStanding standing(const LaunchItem& item) const;
    int changeCount(LaunchScope scope) const;
    // "New since 7 Dec 2026, 14:05", "Changed since 7 Dec 2026, 14:05:" and
    // what changed, a line each, "Removed since 7 Dec 2026, 14:05. The
    // baseline had: ...", or nothing.
    QString note(const LaunchItem& item, ChangeMark mark) const;
    // "3 changes since the baseline of 7 Dec 2026, 14:05"; nothing without
    // changes.
    QString changeSummary(LaunchScope scope) const;

signals:
    void baselineChanged();
    void changesChanged(daemonary::LaunchScope scope);
    // A file could not be read or written; the message names it and the fault.
    void problemOccurred(const QString& message);
    // A save finished (successfully or not; see problem()).
    void saveFinished(bool saved);
    void idle();

private:
    void setBaseline(std::optional<Snapshot> baseline);
    void recompute(LaunchScope scope);
    void recomputeAll();
    void report(const QString& message);
    void started();
    void finished();

    AppState& m_appState;
    QString m_filePath;
    HostLayout m_layout;
    std::optional<Disk> m_disk;
    // Shared with the pool's work; remembers program digests between loads.
    std::shared_ptr<FingerprintReader> m_reader;
    QThreadPool m_pool;
    std::optional<Snapshot> m_baseline;
    std::shared_ptr<const Snapshot> m_sharedBaseline; // the same, for the workers
    std::map<LaunchScope, ScopeChanges> m_changes;
    std::map<LaunchScope, std::uint64_t> m_generation;
    std::uint64_t m_baselineGeneration = 0;
    QString m_problem;
    int m_pending = 0;
};

} // namespace daemonary
