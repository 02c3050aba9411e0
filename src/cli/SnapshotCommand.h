#pragma once

#include <iosfwd>
#include <string>
#include <string_view>
#include <vector>

namespace daemonary {

inline constexpr std::string_view kSnapshotCommandUsage =
    "snapshot [--root DIR] [--scope NAME]... [-o FILE]";
inline constexpr std::string_view kSnapshotCommandSummary =
    "Record the categories' records with a fingerprint of their files, as JSON.";
inline constexpr std::string_view kSnapshotCommandDetails =
    "snapshot options:\n"
    "  --scope NAME  a category as for list; may be repeated. Default: every category\n"
    "                but Mach (the job table changes with every application launch).\n"
    "  -o FILE       write to FILE, replacing it whole or not at all (default: standard\n"
    "                output)\n"
    "  --root DIR    read the Mac whose disk is mounted or copied at DIR, running\n"
    "                nothing: every user's records, programs hashed whatever their size;\n"
    "                FILE may not lie inside DIR\n";

int runSnapshotCommand(const std::vector<std::string>& arguments, std::ostream& out,
                       std::ostream& err);

} // namespace daemonary
