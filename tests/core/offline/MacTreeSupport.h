#pragma once

// A Mac's disk built by a test in a temporary folder, with a folder beside it
// for links that lead out, and trap tools that record any run.

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
        for (const char* folder : {"/System/Library/LaunchDaemons", "/Library/LaunchDaemons",
                                   "/private/var/db/com.apple.xpc.launchd"}) {
            makeDirectory(root() + folder);
        }
        makeDirectory(outside());
    }

    std::string root() const { return m_folder.root() + "/disk"; }
    std::string outside() const { return m_folder.root() + "/outside"; }
    // A Mac path on the disk.
    std::string operator/(std::string_view macPath) const { return root() + std::string(macPath); }

    // A local directory record: every key an array of strings; binary, as
    // macOS writes them, or XML.
    static std::string userRecord(const std::string& name, const std::string& uid,
                                  const std::string& home, bool binary = false) {
        BinaryPlistBuilder builder;
        std::vector<std::uint32_t> keys, values;
        std::string xml = "<dict>";
        for (const auto& [key, value] : {std::pair{"name", name}, {"uid", uid}, {"home", home}}) {
            keys.push_back(builder.addString(key));
            values.push_back(builder.addArray({builder.addString(value)}));
            xml +=
                std::string("<key>") + key + "</key><array><string>" + value + "</string></array>";
        }
        return binary ? builder.build(builder.addDictionary(keys, values))
                      : plistXml(xml + "</dict>");
    }
    void addUserRecord(std::string_view file, std::string_view bytes) const {
        writeFile(root() + "/private/var/db/dslocal/nodes/Default/users/" + std::string(file),
                  bytes);
    }
    // A login account with its record and its home.
    void addUser(const std::string& name, const std::string& uid, bool binary = false) const {
        addUserRecord(name + ".plist", userRecord(name, uid, "/Users/" + name, binary));
        makeDirectory(root() + "/Users/" + name + "/Library/LaunchAgents");
    }

    // launchd's disabled file of a domain ("" for the system's, else a uid)
    // with the dictionary's contents.
    void writeDisabled(const std::string& uid, std::string_view body) const {
        writeFile(root() + "/private/var/db/com.apple.xpc.launchd/disabled" +
                      (uid.empty() ? "" : "." + uid) + ".plist",
                  plistXml("<dict>" + std::string(body) + "</dict>"));
    }

    void addDefinition(std::string_view folder, std::string_view label,
                       std::string_view program) const {
        writeFile(root() + std::string(folder) + "/" + std::string(label) + ".plist",
                  definitionXml(label, program));
    }

    // A program that appends its name and arguments to `log` when run.
    static void writeTrap(const std::string& path, const std::string& log) {
        writeFile(path, "#!/bin/sh\necho \"$0 $*\" >> '" + log + "'\n", true);
    }
    // Every tool a live load would run, inside the disk and in `folder`.
    void installTraps(const std::string& folder, const std::string& log) const {
        for (const char* tool : {"launchctl", "codesign", "sfltool", "kmutil", "osascript"}) {
            writeTrap(root() + (tool == std::string("launchctl") ? "/bin/" : "/usr/bin/") + tool,
                      log);
            writeTrap(folder + "/" + tool, log);
        }
    }

    // Every entry under the disk with its size, modification time and mode,
    // links as links: any write under it shows.
    std::map<std::string, std::string> contents() const {
        std::map<std::string, std::string> entries;
        for (const auto& entry : std::filesystem::recursive_directory_iterator(root())) {
            struct stat status {};
            ::lstat(entry.path().c_str(), &status);
            entries[entry.path().string()] =
                std::to_string(status.st_size) + " " + std::to_string(status.st_mtim.tv_sec) + "." +
                std::to_string(status.st_mtim.tv_nsec) + " " + std::to_string(status.st_mode);
        }
        return entries;
    }

private:
    TemporaryHost m_folder;
};

} // namespace daemonary::test
