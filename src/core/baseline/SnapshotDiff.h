#pragma once

#include "baseline/Snapshot.h"

#include <string>
#include <vector>

namespace daemonary {

// One way a record differs from its baseline. `field` is one of
// "executablePath", "contents", "size", "modified", "kind", "infoPlist",
// "executable", "executableSize", "executableModified", "allowedInBackground";
// the values are their plain texts (empty when absent).
struct RecordChange {
    std::string field;
    std::string before;
    std::string after;

    // "executable path /a → /b", "contents changed", ...
    std::string description() const;
    bool operator==(const RecordChange&) const = default;
};

struct ModifiedRecord {
    SnapshotRecord before;
    SnapshotRecord after;
    std::vector<RecordChange> changes;

    bool operator==(const ModifiedRecord&) const = default;
};

// What changed from one snapshot to another. Records are the same when their
// category, type, label and path are (the label alone without a path); status
// and process id are not differences, they change all the time.
struct SnapshotDiff {
    std::vector<SnapshotRecord> added;
    std::vector<SnapshotRecord> removed;
    std::vector<ModifiedRecord> modified;

    bool empty() const { return added.empty() && removed.empty() && modified.empty(); }
    std::size_t size() const { return added.size() + removed.size() + modified.size(); }

    // Compares the given categories that both snapshots cover. Each list in
    // category order, then label, then path.
    static SnapshotDiff between(const Snapshot& before, const Snapshot& after,
                                const std::vector<LaunchScope>& scopes);
    // The changes between two records of the same identity; none when equal.
    static std::vector<RecordChange> changesBetween(const SnapshotRecord& before,
                                                    const SnapshotRecord& after);

    bool operator==(const SnapshotDiff&) const = default;
};

} // namespace daemonary
