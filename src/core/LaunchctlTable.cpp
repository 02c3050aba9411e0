#include "LaunchctlTable.h"

#include "TextParsing.h"

#include <utility>

namespace daemonary {

void LaunchctlTable::insert(std::string label, std::optional<std::int32_t> pid,
                            std::int64_t status) {
    if (const auto found = m_positions.find(label); found != m_positions.end()) {
        LaunchctlEntry& entry = m_entries[found->second];
        entry.pid = pid;
        entry.status = status;
        return;
    }
    m_positions.emplace(label, m_entries.size());
    m_entries.push_back(LaunchctlEntry{std::move(label), pid, status});
}

const LaunchctlEntry* LaunchctlTable::find(std::string_view label) const {
    const auto index = position(label);
    return index ? &m_entries[*index] : nullptr;
}

std::optional<std::size_t> LaunchctlTable::position(std::string_view label) const {
    // The map is keyed by std::string; a temporary keeps this portable to
    // standard libraries without heterogeneous unordered lookup.
    const auto found = m_positions.find(std::string(label));
    if (found == m_positions.end()) {
        return std::nullopt;
    }
    return found->second;
}

namespace {

std::vector<std::string_view> splitAtTabs(std::string_view line) {
    std::vector<std::string_view> fields;
    std::size_t start = 0;
    for (;;) {
        const std::size_t tab = line.find('\t', start);
        if (tab == std::string_view::npos) {
            fields.push_back(line.substr(start));
            return fields;
        }
        fields.push_back(line.substr(start, tab - start));
        start = tab + 1;
    }
}

bool isHeading(const std::vector<std::string_view>& fields) {
    return fields[0] == "PID" && fields[2] == "Label";
}

} // namespace

LaunchctlTable parseLaunchctlList(std::string_view text) {
    LaunchctlTable table;
    for (const std::string_view line : splitLines(text)) {
        const std::vector<std::string_view> fields = splitAtTabs(line);
        if (fields.size() < 3 || isHeading(fields)) {
            continue;
        }
        std::optional<std::int32_t> pid;
        if (fields[0] != "-") {
            pid = parseDecimalInt32(fields[0]);
        }
        const std::int64_t status = parseDecimalInt64(fields[1]).value_or(0);
        table.insert(std::string(fields[2]), pid, status);
    }
    return table;
}

} // namespace daemonary
