#include "offline/MacDisk.h"

#include "../signing/SigningFixtures.h"
#include "MacTreeSupport.h"
#include "discovery/BackgroundTasks.h"
#include "discovery/KernelServiceManager.h"
#include "discovery/LoginItemManager.h"
#include "insight/SignerChecker.h"
#include "listing/Listing.h"
#include "platform/ToolRunner.h"

#include <algorithm>
#include <cerrno>
#include <gtest/gtest.h>

namespace daemonary {
namespace {

namespace fs = std::filesystem;
using test::MacTree;
using test::makeDirectory;
using test::writeFile;

// Throws, failing the test, when the tree is refused.
MacDisk openDisk(const MacTree& tree) {
    return std::get<MacDisk>(MacDisk::open(tree.root()));
}

TEST(MacDiskTest, LoginAccountsComeFromTheLocalDirectoryAndHostileRecordsAreSkipped) {
    MacTree tree;
    tree.addUser("bob", "502");
    tree.addUser("alice", "501", true);
    tree.addUserRecord("root.plist", MacTree::userRecordXml("root", "0", "/var/root"));
    tree.addUserRecord("_spotlight.plist",
                       MacTree::userRecordXml("_spotlight", "89", "/var/empty"));
    // A home whose ".." leads to root's, one that links out of the disk, one
    // that is not there, a second record for a name already taken, and
    // a file that is no property list.
    tree.addUserRecord("mallory.plist",
                       MacTree::userRecordXml("mallory", "503", "/Users/../private/var/root"));
    fs::create_directory_symlink(tree.outside(), tree / "/Users/eve");
    tree.addUserRecord("eve.plist", MacTree::userRecordXml("eve", "504", "/Users/eve"));
    tree.addUserRecord("ghost.plist", MacTree::userRecordXml("ghost", "505", "/Users/ghost"));
    tree.addUserRecord("zz-bob.plist", MacTree::userRecordXml("bob", "506", "/Users/alice"));
    tree.addUserRecord("broken.plist", "\x00\x01garbage");
    makeDirectory(tree / "/Users/Shared");

    const MacDisk disk = openDisk(tree);
    const std::vector<MacUser> expected{{"alice", 501, "/Users/alice"}, {"bob", 502, "/Users/bob"}};
    EXPECT_EQ(disk.users(), expected);
}

TEST(MacDiskTest, WithoutAnyRecordTheFoldersUnderUsersAreTheAccounts) {
    MacTree tree;
    for (const char* name : {"carol", "Shared", ".hidden"}) {
        makeDirectory(tree / ("/Users/" + std::string(name)));
    }
    fs::create_directory_symlink(tree.outside(), tree / "/Users/linked");
    writeFile(tree / "/Users/file", "not a home");

    const MacDisk disk = openDisk(tree);
    const std::vector<MacUser> expected{{"carol", std::nullopt, "/Users/carol"}};
    EXPECT_EQ(disk.users(), expected);
    EXPECT_EQ(disk.layout(&disk.users().front()).homeDirectory(), tree.root() + "/Users/carol");
}

TEST(MacDiskTest, ALibraryThatLinksOutOfTheFolderDoesNotMakeItAMac) {
    test::TemporaryHost plain;
    fs::create_directory_symlink(fs::temp_directory_path(), plain.root() + "/Library");
    EXPECT_TRUE(std::holds_alternative<MacDiskError>(MacDisk::open(plain.root())));
    EXPECT_TRUE(std::holds_alternative<MacDiskError>(MacDisk::open(plain.root() + "/absent")));
}

TEST(MacDiskTest, AnUnreadableDomainIsUnknownAndNeverAnotherUsersOrTheSystems) {
    MacTree tree;
    tree.addUser("alice", "501");
    tree.addUser("carol", "503");
    tree.writeDisabled("", {{"com.example.shared", true}});
    writeFile(tree / "/private/var/db/com.apple.xpc.launchd/disabled.503.plist", "garbage");
    DisabledServices disabled = openDisk(tree).disabled();
    disabled.user = DisabledOverrides{{{"com.example.shared", true}}, {}};
    LaunchItem agent;
    agent.label = "com.example.shared";
    agent.type = ServiceType::launchAgent;
    agent.user = "carol";
    EXPECT_EQ(disabled.isDisabled(agent), std::nullopt);
    // Without its file, alice switched nothing off.
    agent.user = "alice";
    EXPECT_EQ(disabled.isDisabled(agent), false);

    // Without launchd's folder nothing is known; a file linking out is not read.
    fs::remove_all(tree / "/private/var/db/com.apple.xpc.launchd");
    EXPECT_FALSE(openDisk(tree).disabled().system);
    EXPECT_TRUE(openDisk(tree).disabled().users.empty());
    makeDirectory(tree / "/private/var/db/com.apple.xpc.launchd");
    writeFile(tree.outside() + "/disabled.plist",
              test::plistXml("<dict><key>com.example.daemon</key><true/></dict>"));
    fs::create_symlink(tree.outside() + "/disabled.plist",
                       tree / "/private/var/db/com.apple.xpc.launchd/disabled.plist");
    EXPECT_FALSE(openDisk(tree).disabled().system);
}

TEST(MacDiskTest, EveryToolRunThroughADisksLayoutIsRefusedBeforeAnythingStarts) {
    MacTree tree;
    tree.addUser("alice", "501");
    const std::string log = tree.outside() + "/ran";
    tree.installTraps(tree.outside(), log);
    tree.installProgram(test::esbuildArm64(), "/usr/local/bin/esbuild");
    tree.addDefinition("/Library/LaunchDaemons", "com.example.esbuild", "/usr/local/bin/esbuild");
    makeDirectory(tree / "/Library/Extensions/Driver.kext/Contents");
    const MacDisk disk = openDisk(tree);
    const HostLayout layout = disk.layout(&disk.users().front());

    const ToolResult refused =
        runTool(layout.launchctl(), {"list"}, layout.toolOptions(true, true));
    ASSERT_TRUE(refused.launchError);
    EXPECT_EQ(refused.launchError->code, EPERM);
    // Every component that runs a tool, as a live load would call it.
    EXPECT_TRUE(KernelServiceManager(layout).loadedExtensionIndices().empty());
    // Refused is not "no sfltool on this system", which would call everything allowed.
    EXPECT_FALSE(BackgroundTasks(layout).loadTable().known());
    EXPECT_TRUE(LoginItemManager::fetchLoginItems(layout).empty());
    const Signer signer = SignerChecker(layout).check("/usr/local/bin/esbuild");
    EXPECT_EQ(signer.kind, SignerKind::adHoc);
    EXPECT_TRUE(signer.readFromFile);

    const Listing listing = Listing::load(
        disk, ListingRequest{{allScopes().begin(), allScopes().end()}, true, true, true});
    EXPECT_EQ(listing.diskRoot, disk.root());
    ASSERT_TRUE(listing.signers);
    EXPECT_EQ(listing.signers->at("/usr/local/bin/esbuild").kind, SignerKind::adHoc);
    EXPECT_FALSE(fs::exists(log)) << test::readText(log);
}

TEST(MacDiskTest, RecordsCarryTheMacsPathsTheirUserAndNoRunningOrAllowedState) {
    MacTree tree;
    tree.addUser("alice", "501");
    tree.addUser("bob", "502");
    tree.addDefinition("/Users/alice/Library/LaunchAgents", "com.example.agent",
                       "/Users/alice/bin/agent");
    // A helper of an app every user shares and one of an app in alice's home.
    for (const std::string app :
         {"/Applications/Shared.app", "/Users/alice/Applications/Own.app"}) {
        makeDirectory(tree / (app + "/Contents/Library/LoginItems/Helper.app/Contents"));
    }
    makeDirectory(tree / "/Users/bob/Library/PrivilegedHelperTools");
    writeFile(tree / "/Users/bob/Library/PrivilegedHelperTools/com.example.tool", "tool", true);
    // An agent that links out of the disk is neither listed nor read.
    writeFile(tree.outside() + "/evil.plist",
              test::definitionXml("com.example.outside", "/usr/bin/true"));
    fs::create_symlink(tree.outside() + "/evil.plist",
                       tree / "/Users/bob/Library/LaunchAgents/evil.plist");
    const MacDisk disk = openDisk(tree);

    const DiscoveredCategory user = disk.loadCategory(LaunchScope::user);
    ASSERT_EQ(user.items.size(), 1u);
    const LaunchItem& agent = user.items.front();
    EXPECT_EQ(agent.user, "alice");
    EXPECT_EQ(agent.path, "/Users/alice/Library/LaunchAgents/com.example.agent.plist");
    EXPECT_EQ(agent.status, ServiceStatus::unknown);
    EXPECT_FALSE(agent.pid);
    EXPECT_EQ(agent.allowedInBackground, std::nullopt);
    ASSERT_EQ(user.problems.size(), 1u);
    EXPECT_EQ(user.problems.front().path, "/Users/bob/Library/LaunchAgents/evil.plist");

    const std::vector<LaunchItem> background = disk.loadCategory(LaunchScope::background).items;
    ASSERT_EQ(background.size(), 2u);
    EXPECT_EQ(background[0].path,
              "/Applications/Shared.app/Contents/Library/LoginItems/Helper.app");
    EXPECT_FALSE(background[0].user);
    EXPECT_EQ(background[0].parentApp, "/Applications/Shared.app");
    EXPECT_EQ(background[1].user, "alice");
    EXPECT_EQ(background[1].parentApp, "/Users/alice/Applications/Own.app");

    const std::vector<LaunchItem> helpers =
        disk.loadCategory(LaunchScope::privilegedHelperTools).items;
    ASSERT_EQ(helpers.size(), 1u);
    EXPECT_EQ(helpers.front().user, "bob");
    EXPECT_EQ(helpers.front().path, "/Users/bob/Library/PrivilegedHelperTools/com.example.tool");
    EXPECT_TRUE(disk.loadCategory(LaunchScope::mach).items.empty());
}

} // namespace
} // namespace daemonary
