#pragma once

#include "baseline/Snapshot.h"

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace daemonary {

// One way a record differs from its baseline: a key of its definition (or of
// a bundle's information file) whose value changed, or one of the record's
// own facts: "executablePath", "program", "contents", "informationFile",
// "executable", "kind", "allowedInBackground", and for a file too large to hash "size", "modified",
// "inode", "changed". Values are JSON, null where absent.
struct RecordChange {
    std::string key;
    nlohmann::json before;
    nlohmann::json after;
    bool definitionKey = false;

    // "ProgramArguments: added \"--evil\"", "RunAtLoad: false → true",
    // "KeepAlive removed", "program changed: SHA-256 … → …", ...
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
// category, type, label and path are (the label alone without a path), and
// between two disks their user; status and process id are not differences,
// they change all the time.
struct SnapshotDiff {
    std::vector<SnapshotRecord> added;
    std::vector<SnapshotRecord> removed;
    std::vector<ModifiedRecord> modified;
    // Definitions that could not be read now but could (or were not there)
    // before, and the reverse.
    std::vector<DefinitionProblem> addedProblems;
    std::vector<DefinitionProblem> removedProblems;
    // A side whose compared records carry no allowed state (a format 1
    // baseline, or a load where Background Task Management gave no answer):
    // the state is not compared, and with the later side unknown, Background
    // records that came from its records are not reported as removed.
    bool allowedStateUnknownBefore = false;
    bool allowedStateUnknownAfter = false;
    // A side read from a Mac's disk: besides the allowed state, nothing was
    // running there. Its inodes and change times are the copy's, so files
    // compare by content and size and modification time alone.
    bool readFromDiskBefore = false;
    bool readFromDiskAfter = false;

    bool empty() const {
        return added.empty() && removed.empty() && modified.empty() && addedProblems.empty() &&
               removedProblems.empty();
    }
    std::size_t size() const {
        return added.size() + removed.size() + modified.size() + addedProblems.size() +
               removedProblems.size();
    }

    // Compares the given categories that both snapshots cover. Each list in
    // category order, then label, then path. With a side read from a disk,
    // records compare by the paths the Mac names them by, and between two
    // such sides the records of two users are two records.
    static SnapshotDiff between(const Snapshot& before, const Snapshot& after,
                                const std::vector<LaunchScope>& scopes);
    // The changes between two records of the same identity; none when equal.
    // Programs compare by digest when both sides have one, else by stamp;
    // a side that recorded no program (an older snapshot) is not compared,
    // nor is an allowed state that either side does not know.
    static std::vector<RecordChange> changesBetween(const SnapshotRecord& before,
                                                    const SnapshotRecord& after);

    bool operator==(const SnapshotDiff&) const = default;
};

} // namespace daemonary
