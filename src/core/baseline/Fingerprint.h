#pragma once

#include <cstdint>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

namespace daemonary {

// What identifies a file's version without reading it. Size and modification
// time can be put back after a rewrite; the inode and the status change time
// cannot without privileges the rewrite would not need.
struct FileStamp {
    std::uint64_t size = 0;
    std::int64_t modified = 0; // seconds since 1970-01-01 00:00:00 UTC
    // Absent in stamps older versions recorded.
    std::optional<std::uint64_t> inode;
    std::optional<std::int64_t> changedNanoseconds; // status change time since 1970

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
    // The program the record runs: a launchd record's executable, a bundle's
    // main executable. The path is where it was read (under the host root);
    // the stamp is absent when nothing regular is there.
    std::optional<std::string> executable;
    std::optional<FileStamp> executableStamp;
    // The program's bytes, when it is no larger than the limit the snapshot
    // names; over it, the stamp alone stands for the program.
    std::optional<std::string> programSha256;
    // The program's CDHashes by architecture, read from its signature (its
    // headers only, so a program over the limit has them too); empty for
    // unsigned code and in snapshots that did not record them.
    std::map<std::string, std::string> cdHashes;
    // file: the definition parsed; bundle: the information file parsed. Kept
    // so that a change can be named key by key; absent when the file is not
    // a property list or its JSON form is over kMaxDefinitionJsonBytes. Keys
    // are sorted, so that equal definitions compare equal whatever their order.
    std::optional<nlohmann::json> definition;

    static constexpr std::size_t kMaxDefinitionJsonBytes = 32 * 1024;
    // Definitions nest a few levels; deeper ones are not kept, which keeps
    // the snapshot document under its own nesting limit.
    static constexpr std::size_t kMaxDefinitionNesting = 16;

    bool operator==(const Fingerprint&) const = default;
};

std::string_view toText(Fingerprint::Kind kind);
std::optional<Fingerprint::Kind> fingerprintKindFromText(std::string_view text);

} // namespace daemonary
