#include "discovery/LaunchctlTable.h"

#include "text/TextParsing.h"

#include <array>
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

// The first three tab-separated fields of a line; fields beyond them are
// ignored, so they are not split at all. Nothing when there are fewer.
std::optional<std::array<std::string_view, 3>> firstThreeFields(std::string_view line) {
    std::array<std::string_view, 3> fields;
    for (std::size_t i = 0; i < 2; ++i) {
        const std::size_t tab = line.find('\t');
        if (tab == std::string_view::npos) {
            return std::nullopt;
        }
        fields[i] = line.substr(0, tab);
        line.remove_prefix(tab + 1);
    }
    fields[2] = line.substr(0, line.find('\t'));
    return fields;
}

bool isHeading(const std::array<std::string_view, 3>& fields) {
    return fields[0] == "PID" && fields[2] == "Label";
}

} // namespace

LaunchctlTable parseLaunchctlList(std::string_view text) {
    LaunchctlTable table;
    std::string_view line;
    while (nextLine(text, line)) {
        const auto fields = firstThreeFields(line);
        if (!fields || isHeading(*fields)) {
            continue;
        }
        std::optional<std::int32_t> pid;
        if ((*fields)[0] != "-") {
            pid = parseDecimalInt32((*fields)[0]);
        }
        const std::int64_t status = parseDecimalInt64((*fields)[1]).value_or(0);
        table.insert(std::string((*fields)[2]), pid, status);
    }
    return table;
}

} // namespace daemonary
