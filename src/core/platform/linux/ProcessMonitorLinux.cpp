#include "platform/FileSystem.h"
#include "platform/ProcessMonitor.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <dirent.h>
#include <optional>
#include <string_view>

namespace daemonary {

namespace {

// /proc files report a size of 0, so they are read with a plain limit rather
// than through readFile's size check.
std::optional<std::string> readProcFile(const std::string& path) {
    return readFile(path, 64 * 1024);
}

std::optional<std::int32_t> parsePid(std::string_view name) {
    std::int32_t pid = 0;
    const auto result = std::from_chars(name.data(), name.data() + name.size(), pid);
    if (result.ec != std::errc{} || result.ptr != name.data() + name.size() || pid <= 0) {
        return std::nullopt;
    }
    return pid;
}

// The command name sits between the first "(" and the last ")": the name
// itself may contain parentheses and spaces.
std::optional<std::string> commandName(std::string_view stat) {
    const auto open = stat.find('(');
    const auto close = stat.rfind(')');
    if (open == std::string_view::npos || close == std::string_view::npos || close < open) {
        return std::nullopt;
    }
    return std::string(stat.substr(open + 1, close - open - 1));
}

// The state letter follows the command name. A zombie has exited and only
// waits to be reaped (where nobody reaps orphans it stays forever), so it is
// not a running process.
bool hasExited(std::string_view stat) {
    const auto close = stat.rfind(')');
    if (close == std::string_view::npos || close + 2 >= stat.size()) {
        return false;
    }
    const char state = stat[close + 2];
    return state == 'Z' || state == 'X' || state == 'x';
}

// A kernel thread (PF_KTHREAD in the flags, the ninth field) is no program at
// all; a Mac's process table has no such entries, so their names ("watchdogd",
// "kthreadd") must not pass for a job's.
bool isKernelThread(std::string_view stat) {
    constexpr unsigned long kKernelThreadFlag = 0x00200000;
    const auto close = stat.rfind(')');
    if (close == std::string_view::npos) {
        return false;
    }
    std::string_view rest = stat.substr(close + 1);
    // state, ppid, pgrp, session, tty_nr, tpgid come before the flags.
    for (int field = 0; field < 6; ++field) {
        rest.remove_prefix(std::min(rest.find_first_not_of(' '), rest.size()));
        rest.remove_prefix(std::min(rest.find(' '), rest.size()));
    }
    rest.remove_prefix(std::min(rest.find_first_not_of(' '), rest.size()));
    unsigned long flags = 0;
    const auto result = std::from_chars(rest.data(), rest.data() + rest.size(), flags);
    return result.ec == std::errc{} && (flags & kKernelThreadFlag) != 0;
}

// "Uid:\treal\teffective\tsaved\tfs"
std::optional<std::uint32_t> effectiveUid(std::string_view status) {
    std::size_t lineStart = 0;
    while (lineStart < status.size()) {
        std::size_t lineEnd = status.find('\n', lineStart);
        if (lineEnd == std::string_view::npos) {
            lineEnd = status.size();
        }
        std::string_view line = status.substr(lineStart, lineEnd - lineStart);
        if (line.starts_with("Uid:")) {
            line.remove_prefix(4);
            std::uint32_t values[2] = {0, 0};
            for (std::uint32_t& value : values) {
                while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) {
                    line.remove_prefix(1);
                }
                const auto result = std::from_chars(line.data(), line.data() + line.size(), value);
                if (result.ec != std::errc{}) {
                    return std::nullopt;
                }
                line.remove_prefix(static_cast<std::size_t>(result.ptr - line.data()));
            }
            return values[1];
        }
        lineStart = lineEnd + 1;
    }
    return std::nullopt;
}

} // namespace

ProcessSnapshot ProcessMonitor::allProcesses() const {
    ProcessSnapshot snapshot;
    DIR* proc = ::opendir("/proc");
    if (!proc) {
        return snapshot;
    }
    while (const dirent* entry = ::readdir(proc)) {
        const auto pid = parsePid(entry->d_name);
        if (!pid) {
            continue;
        }
        const std::string base = "/proc/" + std::string(entry->d_name);
        // A process may exit between the listing and these reads; it is then
        // simply not part of the snapshot.
        const auto stat = readProcFile(base + "/stat");
        const auto status = readProcFile(base + "/status");
        if (!stat || !status || hasExited(*stat) || isKernelThread(*stat)) {
            continue;
        }
        auto name = commandName(*stat);
        const auto uid = effectiveUid(*status);
        if (!name || !uid) {
            continue;
        }
        snapshot.insert_or_assign(*pid, ProcessInfo{*pid, std::move(*name), *uid});
    }
    ::closedir(proc);
    return snapshot;
}

} // namespace daemonary
