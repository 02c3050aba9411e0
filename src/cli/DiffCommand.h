#pragma once

#include "baseline/Snapshot.h"
#include "baseline/SnapshotDiff.h"

#include <iosfwd>
#include <string>
#include <string_view>
#include <vector>

namespace daemonary {

inline constexpr std::string_view kDiffCommandUsage =
    "diff [--root DIR] BASELINE [NEW] [--scope NAME]... [--json]";
inline constexpr std::string_view kDiffCommandSummary =
    "Compare the present (a Mac's disk, or the snapshot NEW) with a saved snapshot.";
inline constexpr std::string_view kDiffCommandDetails =
    "diff options:\n"
    "  --scope NAME  a category as for list; may be repeated. Default: the categories\n"
    "                the snapshots share, but Mach unless it is named.\n"
    "  --root DIR    compare the Mac whose disk is mounted or copied at DIR, running\n"
    "                nothing, with BASELINE (taken from another disk or a live Mac of\n"
    "                the same build); running and allowed states are not compared.\n"
    "  --json        {\"baseline\": {...}, \"added\": [...], \"removed\": [...],\n"
    "                \"modified\": [{\"before\", \"after\", \"changes\": [{\"key\",\n"
    "                \"before\", \"after\", \"definitionKey\", \"description\"}]}],\n"
    "                \"addedProblems\": [...], \"removedProblems\": [...]}\n"
    "Table lines: + added, - removed, ~ modified (what changed below it); +! a definition\n"
    "that could not be read, -! one that no longer fails so (fixed, or gone).\n"
    "Exit status: 0 no differences, 1 differences, 2 trouble (as diff(1)).\n";

// "+ System  label  path" lines, each modified record followed by its changes.
void writeDiffTable(std::ostream& out, const Snapshot& baseline, const SnapshotDiff& diff);
std::string diffJson(const Snapshot& baseline, const Snapshot& current, const SnapshotDiff& diff);

int runDiffCommand(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err);

} // namespace daemonary
