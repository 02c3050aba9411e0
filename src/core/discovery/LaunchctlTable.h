#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace daemonary {

struct LaunchctlEntry {
    std::string label;
    std::optional<std::int32_t> pid;
    std::int64_t status = 0; // last exit status; stored, never decided on
    bool operator==(const LaunchctlEntry&) const = default;
};

// The launchd job table from one `launchctl list`, keyed by label. Entries keep
// the tool's line order so that every pass over the table is stable; a label
// seen again replaces the value but keeps its first position.
class LaunchctlTable {
public:
    void insert(std::string label, std::optional<std::int32_t> pid, std::int64_t status);

    const LaunchctlEntry* find(std::string_view label) const;
    std::optional<std::size_t> position(std::string_view label) const;

    const std::vector<LaunchctlEntry>& entries() const { return m_entries; }
    std::size_t size() const { return m_entries.size(); }
    bool empty() const { return m_entries.empty(); }

private:
    std::vector<LaunchctlEntry> m_entries;
    std::unordered_map<std::string, std::size_t> m_positions;
};

// The decoded output of `launchctl list`: tab-separated "PID", "Status" and
// "Label" fields, "-" for no PID. The column heading is not a job and is
// skipped; lines with fewer than three fields are skipped too.
LaunchctlTable parseLaunchctlList(std::string_view text);

} // namespace daemonary
