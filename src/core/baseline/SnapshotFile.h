#pragma once

#include "baseline/Snapshot.h"
#include "platform/FileSystem.h"

#include <optional>
#include <string>
#include <variant>

namespace daemonary {

// Snapshots on disk. Reading treats the file as hostile: anything that is not
// a regular file, is larger than Snapshot::kMaxFileBytes, nests too deeply or
// is not a well-formed snapshot is an error naming the file and the fault.
// The file is only ever read.
class SnapshotFile {
public:
    static std::variant<Snapshot, SnapshotError> read(const std::string& path);
    // Atomic: a crash or a full disk leaves the old file or the whole new one.
    static std::optional<SnapshotError> write(const std::string& path, const Snapshot& snapshot,
                                              RenameFunction rename = nullptr);
};

} // namespace daemonary
