#pragma once

#include "model/LaunchItem.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace daemonary {

// Size and modification time of a file that is not hashed.
struct FileStamp {
    std::uint64_t size = 0;
    std::int64_t modified = 0; // seconds since 1970-01-01 00:00:00 UTC

    bool operator==(const FileStamp&) const = default;
};

// What a record's files looked like when a snapshot was taken.
struct Fingerprint {
    enum class Kind {
        none,       // the record names no file
        file,       // a regular file, hashed
        largeFile,  // a regular file over the reading limit: size and time instead
        bundle,     // a folder: its information file hashed, its executable stamped
        missing,    // the path names nothing
        unreadable, // the path names something that cannot be read
    };

    Kind kind = Kind::none;
    // file: the bytes; bundle: the information file, when it has one.
    std::optional<std::string> sha256;
    // largeFile: the file itself.
    std::optional<FileStamp> stamp;
    // bundle: the executable and its stamp, when one is found.
    std::optional<std::string> executable;
    std::optional<FileStamp> executableStamp;

    // Reads the record's path with the same guards as definitions: regular
    // files only, never blocking, nothing over kMaxReadableFileBytes hashed.
    // Executables are never hashed: they can be hundreds of megabytes.
    static Fingerprint of(const LaunchItem& item);

    bool operator==(const Fingerprint&) const = default;
};

std::string_view toText(Fingerprint::Kind kind);
std::optional<Fingerprint::Kind> fingerprintKindFromText(std::string_view text);

} // namespace daemonary
