#pragma once

#include "plist/PropertyList.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace daemonary {

class HostLayout;

inline constexpr std::size_t kLogTailLines = 50;
inline constexpr std::size_t kLogTailBytes = 64 * 1024;

// A log file a definition names.
struct LogFile {
    // "StandardOutPath", "StandardErrorPath", or both when they name one file.
    std::vector<std::string> keys;
    // The path as the definition gives it.
    std::string path;
    // Where it is read: under the host root, "~" expanded. Empty when the
    // path cannot be used (see problem).
    std::string location;
    // Why the path cannot be used: a value of the wrong type, a relative path.
    std::optional<std::string> problem;

    bool operator==(const LogFile&) const = default;
};

enum class LogState { present, missing, notRegularFile, unreadable, invalidPath };

// The end of one log, ready to show: every line valid UTF-8 without control
// characters but tab.
struct LogTail {
    LogState state = LogState::missing;
    std::uint64_t size = 0;
    std::int64_t modifiedSeconds = 0; // since 1970-01-01 00:00:00 UTC
    std::vector<std::string> lines;
    bool cut = false; // the file holds more than the lines shown

    bool operator==(const LogTail&) const = default;
};

struct LogReport {
    LogFile file;
    LogTail tail;
};

// The definition's StandardOutPath and StandardErrorPath. Absolute Mac paths
// are taken under the host root; "~" and "~/..." name the home folder for a
// user's agents only (launchd expands nothing else). Two keys naming the same
// path give one file.
std::vector<LogFile> logFilesOf(const PlistDictionary& definition, const HostLayout& layout,
                                bool userAgent);

// The last maxLines lines of a file, from at most its last maxBytes; a FIFO,
// a device or a link to one is never opened.
LogTail readLogTail(const std::string& location, std::size_t maxLines = kLogTailLines,
                    std::size_t maxBytes = kLogTailBytes);

// Every log of a definition with its tail; two paths that are one file (a
// link, say) are shown once. Blocking.
std::vector<LogReport> readLogs(const PlistDictionary& definition, const HostLayout& layout,
                                bool userAgent);

// The last maxLines lines of bytes, CRLF or LF ended. Bytes that do not start
// at the file's beginning lose their first, partial line (unless nothing
// follows it). Each line made showable by displayableText.
std::vector<std::string> lastLines(std::string_view bytes, bool fromStart, std::size_t maxLines);

// "No log file yet", "Not a regular file, not read", ...; empty when present.
std::string logStateText(const LogTail& tail, const LogFile& file);

} // namespace daemonary
