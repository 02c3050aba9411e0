#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace daemonary::test {

// A fresh folder per test, removed with everything in it afterwards.
class TemporaryFolder {
public:
    TemporaryFolder() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "daemonary-actions-XXXXXX").string();
        if (::mkdtemp(pattern.data()) != nullptr) {
            m_path = pattern;
        }
    }
    ~TemporaryFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(m_path, ignored);
    }
    TemporaryFolder(const TemporaryFolder&) = delete;
    TemporaryFolder& operator=(const TemporaryFolder&) = delete;

    const std::string& path() const { return m_path; }
    std::string operator/(const std::string& relative) const { return m_path + "/" + relative; }

private:
    std::string m_path;
};

inline void writeFile(const std::string& path, const std::string& contents,
                      bool executable = false) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << contents;
    }
    if (executable) {
        ::chmod(path.c_str(), 0755);
    }
}

inline std::optional<std::string> readWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline std::vector<std::string> readLines(const std::string& path) {
    std::vector<std::string> lines;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

// The text as one single-quoted shell word.
inline std::string shellQuoted(const std::string& text) {
    std::string quoted = "'";
    for (const char c : text) {
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted.push_back(c);
        }
    }
    return quoted + "'";
}

// How the fake launchctl answers one subcommand.
struct FakeFailure {
    int status;
    std::string standardError;
};

// A launchctl that appends each call's arguments, joined by spaces, as one line
// to `callLog`, and answers the listed subcommands with their failure, or
// with their output on success (`launchctl list` prints its table).
inline void installRecordingLaunchctl(const std::string& path, const std::string& callLog,
                                      const std::map<std::string, FakeFailure>& failures = {},
                                      const std::map<std::string, std::string>& outputs = {}) {
    std::string script =
        "#!/bin/sh\nprintf '%s\\n' \"$*\" >> " + shellQuoted(callLog) + "\ncase \"$1\" in\n";
    for (const auto& [subcommand, failure] : failures) {
        script += "  " + subcommand + ") printf '%s' " + shellQuoted(failure.standardError) +
                  " >&2; exit " + std::to_string(failure.status) + " ;;\n";
    }
    for (const auto& [subcommand, output] : outputs) {
        script += "  " + subcommand + ") printf '%s' " + shellQuoted(output) + "; exit 0 ;;\n";
    }
    script += "esac\nexit 0\n";
    writeFile(path, script, true);
}

} // namespace daemonary::test
