#pragma once

#include "model/BackgroundItem.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace daemonary {

// A Mac keeps hundreds of records; output that holds more is not one the
// tool printed, and reading on would only fill memory.
inline constexpr std::size_t kMaxBackgroundRecords = 20'000;

// The records of one `sfltool dumpbtm`, as printed: every UID block, in
// order, each record with its block's UID; `url` and `executablePath` still
// the tool's text. Reads `Key: value` lines after trimming, whatever the
// indentation, in both published shapes and in excerpts ("#1", "#17:" or no
// numbers, flags with or without commas, values in decimal or hex, no UID
// header) and ignores unknown fields and lines it cannot read. A record
// begins at a "#N" line, a UID header, or where a field it already has comes
// again. At most kMaxBackgroundRecords records are read.
std::vector<BackgroundItem> parseDumpBtm(std::string_view text);

// The Mac path a record's URL names: an absolute file URL, percent-escapes
// decoded, or a path relative to the parent app's folder. Nothing for any
// other scheme, a bad escape, a NUL, a relative URL without a parent, or a
// ".." component (a URL must not climb out of where it claims to be).
std::optional<std::string> pathFromBtmUrl(std::string_view url,
                                          std::optional<std::string_view> parentPath);

// The same for an `Executable Path`: an absolute path, or one relative to
// the parent app's folder; no escapes are decoded.
std::optional<std::string> pathFromBtmPath(std::string_view path,
                                           std::optional<std::string_view> parentPath);

// "4.com.example.Helper" -> "com.example.Helper": SMAppService identifiers
// carry a number before the bundle identifier.
std::string_view withoutNumberPrefix(std::string_view identifier);

// What an Identifier or Parent Identifier names, for labels and joins: the
// bundle identifier without its number, or for a code requirement (as macOS
// 13 prints app records) the `identifier "..."` inside it.
std::string plainIdentifier(std::string_view identifier);

// Background Task Management records of one user with their URLs and
// executable paths resolved to Mac paths, looked up by path and by label.
class BackgroundTaskTable {
public:
    // No answer from the tool: whether anything is allowed in the background
    // is unknown.
    BackgroundTaskTable() = default;
    // Keeps the records that speak for userUid: those of its own UID block,
    // of the system's (negative UIDs) and those printed without a UID header;
    // where several name the same job, the user's own comes first, then the
    // system's. Resolves every URL and executable path (a relative one
    // through its parent record). A record whose URL is refused is dropped
    // and named in problems(); one whose parent is not in the dump is kept
    // with the paths it cannot resolve left out; a refused executable path is
    // left out and named.
    BackgroundTaskTable(std::vector<BackgroundItem> records, std::int64_t userUid);

    // Whether the tool answered: only then do records say what is allowed.
    bool known() const { return m_known; }
    const std::vector<BackgroundItem>& records() const { return m_records; }
    const std::vector<std::string>& problems() const { return m_problems; }
    bool empty() const { return m_records.empty(); }

    // The login item, agent or daemon record for a definition or helper at
    // macPath, else the one whose identifier (without its number) or bundle
    // identifier is the label. Returns its position in records().
    std::optional<std::size_t> findJob(std::string_view macPath, std::string_view label) const;
    // The app record a record's Parent Identifier names.
    const BackgroundItem* parentOf(const BackgroundItem& record) const;

private:
    bool m_known = false;
    std::vector<BackgroundItem> m_records;
    std::vector<std::string> m_problems;
    std::unordered_map<std::string, std::size_t> m_byIdentifier;
    std::unordered_map<std::string, std::size_t> m_jobsByPath;
    std::unordered_map<std::string, std::size_t> m_jobsByLabel;
};

} // namespace daemonary
