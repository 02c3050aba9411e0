#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace daemonary {

// One file as stat saw it, to tell whether it is still the file it was. A
// rewrite in place can keep the size and set the modification time back,
// but not the change time; a file swapped in by a rename has another inode.
struct FileIdentity {
    std::int64_t size = 0;
    std::int64_t modified = 0; // nanoseconds since the epoch
    std::int64_t inode = 0;
    std::int64_t changed = 0; // nanoseconds since the epoch

    bool operator==(const FileIdentity&) const = default;
};

// Follows symbolic links; nothing when the path cannot be stat'ed.
std::optional<FileIdentity> fileIdentity(const std::string& path);

} // namespace daemonary
