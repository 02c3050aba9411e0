#pragma once

#include "model/LaunchItem.h"
#include "platform/HostLayout.h"
#include "platform/Log.h"
#include "platform/ProcessMonitor.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace daemonary::test {

// A temporary host root per test with the user's home at <root>/Users/tester,
// removed with everything in it afterwards.
class TemporaryHost {
public:
    TemporaryHost() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "daemonary-discovery-XXXXXX").string();
        if (::mkdtemp(pattern.data()) != nullptr) {
            m_root = pattern;
        }
        std::filesystem::create_directories(home());
    }
    ~TemporaryHost() {
        std::error_code ignored;
        std::filesystem::remove_all(m_root, ignored);
    }
    TemporaryHost(const TemporaryHost&) = delete;
    TemporaryHost& operator=(const TemporaryHost&) = delete;

    const std::string& root() const { return m_root; }
    std::string home() const { return m_root + "/Users/tester"; }
    HostLayout layout() const { return HostLayout(m_root, home()); }
    // A fixed absolute path ("/Library/LaunchAgents") inside the root.
    std::string operator/(std::string_view absolute) const {
        return m_root + std::string(absolute);
    }

private:
    std::string m_root;
};

inline void writeFile(const std::string& path, std::string_view contents, bool executable = false) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << contents;
    }
    if (executable) {
        ::chmod(path.c_str(), 0755);
    }
}

inline void makeDirectory(const std::string& path) {
    std::filesystem::create_directories(path);
}

// A stand-in for a system tool: prints exact bytes on standard output and
// standard error, appends its arguments (one a line) to <path>.args, and exits
// with the given status. Texts are kept in files beside it so that any byte,
// invalid UTF-8 included, comes out unchanged.
inline void writeFakeTool(const std::string& path, std::string_view standardOutput,
                          std::string_view standardError = {}, int exitStatus = 0) {
    writeFile(path + ".out", standardOutput);
    writeFile(path + ".err", standardError);
    writeFile(path,
              "#!/bin/sh\n"
              "printf '%s\\n' \"$@\" >> '" +
                  path +
                  ".args'\n"
                  "cat '" +
                  path +
                  ".out'\n"
                  "cat '" +
                  path +
                  ".err' >&2\n"
                  "exit " +
                  std::to_string(exitStatus) + "\n",
              true);
}

inline std::string readText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// An XML property list with the given body as its top-level object.
inline std::string plistXml(std::string_view body) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
           "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
           "<plist version=\"1.0\">\n" +
           std::string(body) + "\n</plist>\n";
}

inline std::string definitionXml(std::string_view label, std::string_view program = {}) {
    std::string body = "<dict><key>Label</key><string>" + std::string(label) + "</string>";
    if (!program.empty()) {
        body += "<key>Program</key><string>" + std::string(program) + "</string>";
    }
    return plistXml(body + "</dict>");
}

// Collects the lines written through Log for the lifetime of the object.
class LogCapture {
public:
    LogCapture() {
        Log::setSink([this](std::string_view line) {
            std::lock_guard lock(m_mutex);
            m_lines.emplace_back(line);
        });
    }
    ~LogCapture() { Log::setSink({}); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<std::string> lines() const {
        std::lock_guard lock(m_mutex);
        return m_lines;
    }

private:
    mutable std::mutex m_mutex;
    std::vector<std::string> m_lines;
};

class FixedProcessSource final : public ProcessSource {
public:
    explicit FixedProcessSource(ProcessSnapshot snapshot) : m_snapshot(std::move(snapshot)) {}
    ProcessSnapshot allProcesses() const override { return m_snapshot; }

private:
    ProcessSnapshot m_snapshot;
};

inline ProcessSnapshot
snapshotOf(std::initializer_list<std::pair<std::int32_t, std::string>> list) {
    ProcessSnapshot snapshot;
    for (const auto& [pid, name] : list) {
        // The tests' own processes: another person's are never matched.
        snapshot[pid] = ProcessInfo{pid, name, static_cast<std::uint32_t>(::getuid())};
    }
    return snapshot;
}

inline std::vector<std::string> labelsOf(const std::vector<LaunchItem>& items) {
    std::vector<std::string> labels;
    for (const LaunchItem& item : items) {
        labels.push_back(item.label);
    }
    return labels;
}

} // namespace daemonary::test
