#pragma once

#include "model/BackgroundItem.h"

#include <cstddef>
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
// order; `url` still the tool's text. Takes both published shapes (indented
// and aligned or not, "#1" or "#1:", flags with or without commas, values in
// decimal or hex) and ignores unknown fields and lines it cannot read. A
// record begins at a "#N" line, or where a field it already has comes again.
// At most kMaxBackgroundRecords records are read.
std::vector<BackgroundItem> parseDumpBtm(std::string_view text);

// The Mac path a record's URL names: an absolute file URL, percent-escapes
// decoded, or a path relative to the parent app's folder. Nothing for any
// other scheme, a bad escape, a NUL, a relative URL without a parent, or a
// ".." component (a URL must not climb out of where it claims to be).
std::optional<std::string> pathFromBtmUrl(std::string_view url,
                                          std::optional<std::string_view> parentPath);

// "4.com.example.Helper" -> "com.example.Helper": SMAppService identifiers
// carry a number before the bundle identifier.
std::string_view withoutNumberPrefix(std::string_view identifier);

// Background Task Management records with their URLs resolved to Mac paths
// and looked up by path and by label.
class BackgroundTaskTable {
public:
    BackgroundTaskTable() = default;
    // Resolves every URL (a relative one through its parent record); a record
    // whose URL is refused is dropped and named in problems().
    explicit BackgroundTaskTable(std::vector<BackgroundItem> records);

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
    std::vector<BackgroundItem> m_records;
    std::vector<std::string> m_problems;
    std::unordered_map<std::string, std::size_t> m_byIdentifier;
    std::unordered_map<std::string, std::size_t> m_jobsByPath;
    std::unordered_map<std::string, std::size_t> m_jobsByLabel;
};

} // namespace daemonary
