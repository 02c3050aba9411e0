#pragma once

// A Mac's disk built by a test in a temporary folder: local directory user
// records, launchd's disabled files, definitions, programs, and trap tools
// that record any run.

#include "../DiscoveryTestSupport.h"
#include "../PlistTestSupport.h"

#include <filesystem>
#include <map>
#include <string>
#include <string_view>

namespace daemonary::test {

class MacTree {
public:
    MacTree() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "daemonary-disk-XXXXXX").string();
        if (::mkdtemp(pattern.data()) != nullptr) {
            m_folder = pattern;
        }
        makeDirectory(root() + "/System/Library/LaunchDaemons");
        makeDirectory(root() + "/Library/LaunchDaemons");
        makeDirectory(root() + "/private/var/db/com.apple.xpc.launchd");
        makeDirectory(outside());
    }
    ~MacTree() {
        std::error_code ignored;
        std::filesystem::remove_all(m_folder, ignored);
    }
    MacTree(const MacTree&) = delete;
    MacTree& operator=(const MacTree&) = delete;

    std::string root() const { return m_folder + "/disk"; }
    // A folder beside the disk, for links that lead out of it.
    std::string outside() const { return m_folder + "/outside"; }
    // A Mac path on the disk.
    std::string operator/(std::string_view macPath) const { return root() + std::string(macPath); }

    static std::string userRecordXml(std::string_view name, std::string_view uid,
                                     std::string_view home) {
        const auto strings = [](std::string_view value) {
            return "<array><string>" + std::string(value) + "</string></array>";
        };
        return plistXml("<dict><key>name</key>" + strings(name) + "<key>uid</key>" + strings(uid) +
                        "<key>home</key>" + strings(home) + "<key>shell</key>" +
                        strings("/bin/zsh") + "</dict>");
    }
    // The same as a binary list, as macOS writes them.
    static std::string userRecordBinary(const std::string& name, const std::string& uid,
                                        const std::string& home) {
        BinaryPlistBuilder builder;
        const auto nameKey = builder.addString("name");
        const auto uidKey = builder.addString("uid");
        const auto homeKey = builder.addString("home");
        const auto names = builder.addArray({builder.addString(name)});
        const auto uids = builder.addArray({builder.addString(uid)});
        const auto homes = builder.addArray({builder.addString(home)});
        return builder.build(
            builder.addDictionary({nameKey, uidKey, homeKey}, {names, uids, homes}));
    }

    void addUserRecord(std::string_view file, std::string_view bytes) const {
        writeFile(root() + "/private/var/db/dslocal/nodes/Default/users/" + std::string(file),
                  bytes);
    }
    // A login account with its record and its home.
    void addUser(const std::string& name, const std::string& uid, bool binary = false) const {
        addUserRecord(name + ".plist", binary ? userRecordBinary(name, uid, "/Users/" + name)
                                              : userRecordXml(name, uid, "/Users/" + name));
        makeDirectory(root() + "/Users/" + name + "/Library/LaunchAgents");
    }

    // launchd's disabled file of a domain: "" for the system's, else a uid.
    void writeDisabled(const std::string& uid, const std::map<std::string, bool>& labels) const {
        std::string body = "<dict>";
        for (const auto& [label, disabled] : labels) {
            body += "<key>" + label + "</key>" + (disabled ? "<true/>" : "<false/>");
        }
        writeFile(root() + "/private/var/db/com.apple.xpc.launchd/disabled" +
                      (uid.empty() ? "" : "." + uid) + ".plist",
                  plistXml(body + "</dict>"));
    }

    void addDefinition(std::string_view folder, std::string_view label,
                       std::string_view program) const {
        writeFile(root() + std::string(folder) + "/" + std::string(label) + ".plist",
                  definitionXml(label, program));
    }

    // A copy of a real program at a Mac path.
    void installProgram(const std::string& from, std::string_view macPath) const {
        makeDirectory(std::filesystem::path(root() + std::string(macPath)).parent_path());
        std::filesystem::copy_file(from, root() + std::string(macPath),
                                   std::filesystem::copy_options::overwrite_existing);
    }

    // A program that appends its name and arguments to `log` when run.
    static void writeTrap(const std::string& path, const std::string& log) {
        writeFile(path, "#!/bin/sh\necho \"$0 $*\" >> '" + log + "'\n", true);
    }
    // Every tool a live load would run, inside the disk and in `folder`.
    void installTraps(const std::string& folder, const std::string& log) const {
        writeTrap(root() + "/bin/launchctl", log);
        for (const char* tool : {"codesign", "sfltool", "kmutil", "osascript"}) {
            writeTrap(root() + "/usr/bin/" + tool, log);
            writeTrap(folder + "/" + tool, log);
        }
        writeTrap(folder + "/launchctl", log);
    }

    // Every entry under the disk with its size and modification time, links
    // as links: any write under it shows.
    std::map<std::string, std::string> contents() const {
        std::map<std::string, std::string> entries;
        namespace fs = std::filesystem;
        for (const auto& entry : fs::recursive_directory_iterator(root())) {
            struct stat status {};
            ::lstat(entry.path().c_str(), &status);
            entries[entry.path().string()] =
                std::to_string(status.st_size) + " " + std::to_string(status.st_mtim.tv_sec) + "." +
                std::to_string(status.st_mtim.tv_nsec) + " " + std::to_string(status.st_mode);
        }
        return entries;
    }

private:
    std::string m_folder;
};

} // namespace daemonary::test
