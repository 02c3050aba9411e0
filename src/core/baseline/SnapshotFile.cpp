#include "baseline/SnapshotFile.h"

#include "platform/FileSystem.h"

#include <cerrno>
#include <cstring>
#include <sys/stat.h>

namespace daemonary {

std::variant<Snapshot, SnapshotError> SnapshotFile::read(const std::string& path) {
    const auto fail = [&path](const std::string& reason,
                              SnapshotError::Kind kind = SnapshotError::Kind::unreadable) {
        return SnapshotError{path + ": " + reason, kind};
    };
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        return fail(std::strerror(errno));
    }
    if (!S_ISREG(info.st_mode)) {
        return fail("not a regular file");
    }
    // Refused by size before a byte is read.
    if (info.st_size < 0 || static_cast<std::uint64_t>(info.st_size) > Snapshot::kMaxFileBytes) {
        return fail("too large for a snapshot (" + std::to_string(info.st_size) +
                    " bytes; at most " + std::to_string(Snapshot::kMaxFileBytes) + ")");
    }
    const auto bytes = readFile(path, Snapshot::kMaxFileBytes);
    if (!bytes) {
        return fail("cannot be read");
    }
    auto parsed = Snapshot::fromJsonText(*bytes);
    if (auto* error = std::get_if<SnapshotError>(&parsed)) {
        return fail(error->message, error->kind);
    }
    return parsed;
}

std::optional<SnapshotError> SnapshotFile::write(const std::string& path, const Snapshot& snapshot,
                                                 RenameFunction rename) {
    if (auto error = writeFileAtomically(path, snapshot.toJsonText(), rename)) {
        return SnapshotError{std::move(*error)};
    }
    return std::nullopt;
}

} // namespace daemonary
