#pragma once

#include "baseline/Fingerprint.h"
#include "baseline/FingerprintReader.h"
#include "model/DefinitionProblem.h"
#include "model/LaunchItem.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace daemonary {

struct SnapshotRecord {
    LaunchItem item;
    Fingerprint fingerprint;

    bool operator==(const SnapshotRecord&) const = default;
};

struct SnapshotError {
    // What a person is told, apart from the details in the message.
    enum class Kind {
        unusable,   // well-formed, but not what a snapshot holds
        notJson,    // not a snapshot at all
        cutShort,   // ends before the document does
        newer,      // a format this version does not read
        unreadable, // the file itself: missing, not a file, too large
    };
    std::string message;
    Kind kind = Kind::unusable;
};

// The records of some categories at one moment, each with the fingerprint of
// its files, and the facts of where and when they were taken.
struct Snapshot {
    // 2: programs are fingerprinted ("programHashLimit", a fingerprint's
    // "programSha256"), stamps carry inode and change time, and definitions
    // are kept parsed. Format 1 documents are still read.
    static constexpr int kFormat = 2;
    static constexpr int kOldestFormat = 1;
    // A snapshot of any real Mac fits many times over; anything larger is
    // refused before it is parsed.
    static constexpr std::size_t kMaxFileBytes = 64 * 1024 * 1024;
    // The format nests six levels around a definition, which nests at most
    // Fingerprint::kMaxDefinitionNesting; deeper input is refused before parsing.
    static constexpr std::size_t kMaxNesting = 32;

    int format = kFormat;
    std::string takenAt; // UTC, ISO 8601: "2026-12-07T13:00:00Z"
    std::string hostName;
    std::string userName;
    // Programs up to this many bytes were hashed, larger ones stamped; absent
    // in format 1, which fingerprinted no programs.
    std::optional<std::uint64_t> programHashLimit;
    // Read from a Mac's disk on another machine: nothing was running and
    // nothing said what may run in the background, so those states are
    // unknown; every user's records are in, each naming its user.
    bool offline = false;
    // The login names whose homes an offline snapshot covers, in name order.
    std::vector<std::string> users;
    // The folder the Mac's files were read under on the machine that took
    // the snapshot (a disk's, or a simulated host's); absent for a Mac read
    // from its own root.
    std::optional<std::string> root;
    std::vector<LaunchScope> scopes;     // sidebar order, no repeats
    std::vector<SnapshotRecord> records; // grouped by category, in gathering order
    // Definitions in the covered categories' folders that could not be read.
    std::vector<DefinitionProblem> problems;

    using Categories = std::vector<std::pair<LaunchScope, std::vector<LaunchItem>>>;

    // Fingerprints every record (reading files) with the facts of this host
    // and moment. Definitions whose bytes the reference snapshot (the one to
    // be compared with) holds parsed are taken from it, not parsed again.
    static Snapshot take(const Categories& categories, FingerprintReader& reader,
                         const Snapshot* reference = nullptr);
    // The same with given facts; fingerprints are read on a few threads.
    static Snapshot take(const Categories& categories, FingerprintReader& reader,
                         std::string takenAt, std::string hostName, std::string userName,
                         const Snapshot* reference = nullptr);

    // The categories a snapshot or diff covers unless others are named: all
    // of them but the job table, which changes with every application launch.
    static std::vector<LaunchScope> defaultScopes();

    // Marks a snapshot taken from the disk at root as offline, and names the
    // programs it fingerprinted as the Mac does, so that trees read at
    // different places compare.
    void markReadFromDisk(std::string diskRoot, std::vector<std::string> userNames);
    // Paths as the Mac names them: what lies under root is taken without it
    // (a simulated host's records carry paths under its root). Without a
    // root, the snapshot as it is.
    Snapshot withMacPaths() const;

    bool covers(LaunchScope scope) const;
    std::vector<const SnapshotRecord*> recordsOf(LaunchScope scope) const;

    // The document: the facts, then "categories" keyed by category name, each
    // record in its JSON form with a "fingerprint" object added, then
    // "problems" when there are any (absent means none).
    std::string toJsonText() const;
    // One record's part of the document.
    static nlohmann::ordered_json recordJson(const SnapshotRecord& record);
    // Parses a document; the error says what is wrong, not where it came from.
    static std::variant<Snapshot, SnapshotError> fromJsonText(std::string_view text);

    bool operator==(const Snapshot&) const = default;
};

} // namespace daemonary
