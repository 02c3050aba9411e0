#include "insight/LogTail.h"

#include "insight/TriggerFacts.h"
#include "platform/FileSystem.h"
#include "platform/HostLayout.h"
#include "text/Text.h"

#include <cstdio>
#include <sys/stat.h>
#include <variant>

namespace daemonary {

namespace {

struct FileIdentity {
    dev_t device;
    ino_t inode;
    bool operator==(const FileIdentity&) const = default;
};

std::optional<FileIdentity> identityOf(const std::string& location) {
    struct stat info {};
    if (location.empty() || ::stat(location.c_str(), &info) != 0) {
        return std::nullopt;
    }
    return FileIdentity{info.st_dev, info.st_ino};
}

} // namespace

std::vector<std::string> lastLines(std::string_view bytes, bool fromStart, std::size_t maxLines) {
    if (!fromStart) {
        // The read began inside a line, which is dropped unless it is all
        // there is to show (one line longer than the whole read).
        const auto newline = bytes.find('\n');
        if (newline != std::string_view::npos && newline + 1 < bytes.size()) {
            bytes.remove_prefix(newline + 1);
        }
    }
    if (bytes.ends_with('\n')) {
        bytes.remove_suffix(1);
    }
    std::vector<std::string_view> found;
    // Walk back from the end: only the last lines are wanted.
    while (found.size() < maxLines && !bytes.empty()) {
        const auto newline = bytes.rfind('\n');
        const std::string_view line =
            newline == std::string_view::npos ? bytes : bytes.substr(newline + 1);
        found.push_back(line);
        if (newline == std::string_view::npos) {
            bytes = {};
        } else {
            bytes = bytes.substr(0, newline);
        }
    }
    std::vector<std::string> lines;
    lines.reserve(found.size());
    for (auto it = found.rbegin(); it != found.rend(); ++it) {
        std::string_view line = *it;
        if (line.ends_with('\r')) {
            line.remove_suffix(1);
        }
        lines.push_back(displayableText(line));
    }
    return lines;
}

std::vector<LogFile> logFilesOf(const PlistDictionary& definition, const HostLayout& layout,
                                bool userAgent) {
    std::vector<LogFile> files;
    for (const char* key : {"StandardOutPath", "StandardErrorPath"}) {
        const auto found = definition.find(key);
        if (found == definition.end()) {
            continue;
        }
        LogFile file;
        file.keys.emplace_back(key);
        const std::string* path = found->second.string();
        if (path == nullptr) {
            file.problem = std::string(key) + " cannot be read: expected a string, found " +
                           plistTypeName(found->second);
        } else {
            file.path = *path;
            std::optional<std::string> location;
            if (path->starts_with('/')) {
                location = layout.insideHost(layout.system(*path));
            } else if (userAgent && (*path == "~" || path->starts_with("~/"))) {
                location = layout.insideHost(layout.home(std::string_view(*path).substr(1)));
            } else {
                file.problem = "Not an absolute path: " + *path;
            }
            if (location) {
                file.location = std::move(*location);
            } else if (!file.problem) {
                file.problem = "Leads out of the host: " + *path;
            }
        }
        bool merged = false;
        for (LogFile& earlier : files) {
            if (!file.problem && !earlier.problem && earlier.location == file.location) {
                earlier.keys.push_back(file.keys.front());
                merged = true;
            }
        }
        if (!merged) {
            files.push_back(std::move(file));
        }
    }
    return files;
}

LogTail readLogTail(const std::string& location, std::size_t maxLines, std::size_t maxBytes) {
    LogTail tail;
    const auto read = readFileTail(location, maxBytes);
    if (const auto* error = std::get_if<FileTailError>(&read)) {
        switch (*error) {
        case FileTailError::missing:
            tail.state = LogState::missing;
            break;
        case FileTailError::notRegularFile:
            tail.state = LogState::notRegularFile;
            break;
        case FileTailError::unreadable:
            tail.state = LogState::unreadable;
            break;
        }
        return tail;
    }
    const FileTail& file = std::get<FileTail>(read);
    tail.state = LogState::present;
    tail.size = file.size;
    tail.modifiedSeconds = file.modifiedSeconds;
    tail.lines = lastLines(file.bytes, file.fromStart, maxLines + 1);
    tail.cut = !file.fromStart || tail.lines.size() > maxLines;
    if (tail.lines.size() > maxLines) {
        tail.lines.erase(tail.lines.begin());
    }
    return tail;
}

std::vector<LogReport> readLogs(const PlistDictionary& definition, const HostLayout& layout,
                                bool userAgent) {
    std::vector<LogReport> reports;
    std::vector<std::optional<FileIdentity>> identities;
    for (LogFile& file : logFilesOf(definition, layout, userAgent)) {
        const std::optional<FileIdentity> identity = identityOf(file.location);
        bool merged = false;
        for (std::size_t i = 0; identity && i < reports.size(); ++i) {
            if (identities[i] == identity) {
                reports[i].file.keys.insert(reports[i].file.keys.end(), file.keys.begin(),
                                            file.keys.end());
                merged = true;
            }
        }
        if (merged) {
            continue;
        }
        LogReport report;
        if (file.problem) {
            report.tail.state = LogState::invalidPath;
        } else {
            report.tail = readLogTail(file.location);
        }
        report.file = std::move(file);
        reports.push_back(std::move(report));
        identities.push_back(identity);
    }
    return reports;
}

std::string logStateText(const LogTail& tail, const LogFile& file) {
    switch (tail.state) {
    case LogState::present:
        return {};
    case LogState::missing:
        return "No log file yet";
    case LogState::notRegularFile:
        return "Not a regular file, not read";
    case LogState::unreadable:
        return "Cannot be read";
    case LogState::invalidPath:
        return file.problem.value_or("Cannot be read");
    }
    return {};
}

} // namespace daemonary
