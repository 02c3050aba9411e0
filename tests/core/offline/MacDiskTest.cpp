#include "offline/MacDisk.h"

#include "MacTreeSupport.h"

#include <gtest/gtest.h>

namespace daemonary {
namespace {

namespace fs = std::filesystem;
using test::MacTree;
using test::makeDirectory;
using test::plistXml;
using test::writeFile;

// Throws, failing the test, when the tree is refused.
MacDisk openDisk(const MacTree& tree) {
    return std::get<MacDisk>(MacDisk::open(tree.root()));
}

// Every home is there, so only what a record says can refuse it.
TEST(MacDiskTest, LoginAccountsComeFromTheLocalDirectoryAndHostileRecordsAreSkipped) {
    MacTree tree;
    tree.addUser("bob", "502");
    tree.addUser("alice", "501", true);
    fs::create_directory_symlink(tree.outside(), tree / "/Users/eve");
    int file = 0;
    const auto record = [&](const std::string& name, const char* uid, const std::string& home) {
        makeDirectory(tree / ("/" + home));
        tree.addUserRecord("z" + std::to_string(++file) + ".plist",
                           MacTree::userRecord(name, uid, home));
    };
    // Root, service accounts, guest, and a name that is no path component.
    for (const std::string name : {"root", "_svc", "Guest", "a/b"}) {
        record(name, name == "Guest" ? "201" : "600", "/Users/" + name);
    }
    // Homes that only look as if they were under /Users, are everyone's, lead
    // out of the disk or are taken.
    for (const char* home :
         {"/Users/../private/var/root", "/Users/./", "/Users//x", "/Users/m/..", "/Users",
          "/UsersX/m", "Users/m", "/Users/Shared", "/Users/eve", "/Users/alice"}) {
        record("mallory", "503", home);
    }
    record("bob", "506", "/Users/bob2");
    // Uids that are no plain number in range are left out.
    record("carol", "99999999999", "/Users/staff/carol/");
    record("dave", "-501", "/Users/dave");
    // Names that are no array of strings, and what is no record at all.
    for (const std::string name :
         {"<string>x</string>", "<array><integer>7</integer></array>", "<array/>"}) {
        tree.addUserRecord(
            "y" + std::to_string(++file) + ".plist",
            plistXml("<dict><key>name</key>" + name +
                     "<key>home</key><array><string>/Users/x</string></array></dict>"));
    }
    tree.addUserRecord("broken.plist", "garbage");
    EXPECT_EQ(openDisk(tree).users(), (std::vector<MacUser>{{"alice", 501, "/Users/alice"},
                                                            {"bob", 502, "/Users/bob"},
                                                            {"carol", {}, "/Users/staff/carol"},
                                                            {"dave", {}, "/Users/dave"}}));
}

TEST(MacDiskTest, WithoutRecordsTheFoldersUnderUsersAreTheAccountsAndAPlainFolderNoMac) {
    MacTree tree;
    for (const char* name : {"carol", "Shared", ".hidden"}) {
        makeDirectory(tree / ("/Users/" + std::string(name)));
    }
    writeFile(tree / "/Users/file", "not a home");
    EXPECT_EQ(openDisk(tree).users(), (std::vector<MacUser>{{"carol", {}, "/Users/carol"}}));
    // A Library that links out of the folder does not make it a Mac.
    fs::create_directory_symlink(fs::temp_directory_path(), tree.outside() + "/Library");
    for (const std::string& plain : {tree.outside(), tree / "/absent"}) {
        EXPECT_TRUE(std::holds_alternative<MacDiskError>(MacDisk::open(plain))) << plain;
    }
}

TEST(MacDiskTest, AnUnreadableDomainIsUnknownAndNeverAnotherUsersOrTheSystems) {
    MacTree tree;
    tree.addUser("alice", "501");
    tree.addUser("carol", "503");
    // Only booleans count; login items are keyed by bundle identifier in the same file.
    tree.writeDisabled("", "<key>com.example.shared</key><true/><key>com.example.text</key>"
                           "<string>true</string><key>a</key><integer>1</integer>");
    writeFile(tree / "/private/var/db/com.apple.xpc.launchd/disabled.503.plist", "garbage");
    DisabledServices disabled = openDisk(tree).disabled();
    const std::map<std::string, bool, std::less<>> shared{{"com.example.shared", true}};
    EXPECT_EQ(disabled.system, (DisabledOverrides{shared, shared}));
    disabled.user = DisabledOverrides{shared, {}};
    LaunchItem agent;
    agent.label = "com.example.shared";
    agent.type = ServiceType::launchAgent;
    agent.user = "carol";
    EXPECT_EQ(disabled.isDisabled(agent), std::nullopt);
    agent.user = "alice"; // without her file she switched nothing off
    EXPECT_EQ(disabled.isDisabled(agent), false);

    // Without launchd's folder nothing is known; a file linking out is not read.
    fs::remove_all(tree / "/private/var/db/com.apple.xpc.launchd");
    EXPECT_FALSE(openDisk(tree).disabled().system);
    EXPECT_TRUE(openDisk(tree).disabled().users.empty());
    tree.writeDisabled("", "<key>com.example.daemon</key><true/>");
    fs::rename(tree / "/private/var/db/com.apple.xpc.launchd", tree.outside() + "/launchd");
    fs::create_directory_symlink(tree.outside() + "/launchd",
                                 tree / "/private/var/db/com.apple.xpc.launchd");
    EXPECT_FALSE(openDisk(tree).disabled().system);
}

} // namespace
} // namespace daemonary
