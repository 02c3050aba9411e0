#include "discovery/MetadataManager.h"

#include "DiscoveryTestSupport.h"
#include "platform/FileSystem.h"
#include "platform/ResourceLocator.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace daemonary {
namespace {

using test::LogCapture;
using test::plistXml;
using test::TemporaryHost;
using test::writeFile;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::UnorderedElementsAre;

std::string stringArray(std::initializer_list<std::string_view> strings) {
    std::string body = "<array>";
    for (const std::string_view text : strings) {
        body += "<string>" + std::string(text) + "</string>";
    }
    return plistXml(body + "</array>");
}

LaunchItem item(std::string label, LaunchScope scope, std::optional<std::string> path = {}) {
    LaunchItem record;
    record.label = std::move(label);
    record.scope = scope;
    record.path = std::move(path);
    return record;
}

class MetadataManagerTest : public ::testing::Test {
protected:
    MetadataManagerTest() {
        writeFile(folder / "/26.2_launchd.plist",
                  stringArray({"com.apple.plain", "com.apple.file.plist"}));
        writeFile(folder / "/mach.plist", stringArray({"com.apple.mach"}));
        writeFile(folder / "/26.2_other.plist", stringArray({"Auth.bundle", "Spot (x)"}));
    }
    TemporaryHost folder;
    LogCapture log;
};

TEST_F(MetadataManagerTest, SystemDefaultsByScope) {
    const MetadataManager metadata(folder.root());
    EXPECT_THAT(log.lines(), IsEmpty());
    EXPECT_THAT(metadata.machDefaults(), UnorderedElementsAre("com.apple.mach"));

    EXPECT_TRUE(metadata.isSystemDefault(item("com.apple.plain", LaunchScope::macos)));
    // Listed only with ".plist" after it.
    EXPECT_TRUE(metadata.isSystemDefault(item("com.apple.file", LaunchScope::system)));
    EXPECT_FALSE(metadata.isSystemDefault(item("com.apple.Plain", LaunchScope::macos)));
    EXPECT_TRUE(metadata.isSystemDefault(item("com.apple.mach", LaunchScope::mach)));
    EXPECT_FALSE(metadata.isSystemDefault(item("com.apple.plain", LaunchScope::mach)));
    // Others: the name before " (" alone.
    EXPECT_TRUE(metadata.isSystemDefault(
        item("Auth.bundle (Security Agent Plugins)", LaunchScope::others)));
    EXPECT_FALSE(
        metadata.isSystemDefault(item("Spot (x) (Spotlight Plug-ins)", LaunchScope::others)));
    // Kernel: by folder, whatever the identifier.
    EXPECT_TRUE(metadata.isSystemDefault(
        item("X.kext", LaunchScope::kernel, "/host/System/Library/Extensions/X.kext")));
    EXPECT_FALSE(metadata.isSystemDefault(
        item("com.apple.plain", LaunchScope::kernel, "/Library/Extensions/X.kext")));
    EXPECT_FALSE(metadata.isSystemDefault(item("X.kext", LaunchScope::kernel)));
    // Never for user items and helper tools, even when listed.
    EXPECT_FALSE(metadata.isSystemDefault(item("com.apple.plain", LaunchScope::user)));
    EXPECT_FALSE(
        metadata.isSystemDefault(item("com.apple.plain", LaunchScope::privilegedHelperTools)));
}

TEST_F(MetadataManagerTest, ListsThatAreNotArraysOfStringsLoadEmpty) {
    writeFile(folder / "/26.2_launchd.plist",
              plistXml("<dict><key>a</key><string>b</string></dict>"));
    writeFile(folder / "/mach.plist",
              plistXml("<array><string>a</string><integer>1</integer></array>"));
    std::filesystem::remove(folder / "/26.2_other.plist");

    const MetadataManager metadata(folder.root());
    EXPECT_THAT(metadata.launchdDefaults(), IsEmpty());
    EXPECT_THAT(metadata.machDefaults(), IsEmpty());
    EXPECT_THAT(metadata.otherDefaults(), IsEmpty());
    EXPECT_THAT(log.lines(),
                ElementsAre("MetadataManager: Failed to load default plist: 26.2_launchd",
                            "MetadataManager: Failed to load default plist: mach",
                            "MetadataManager: Failed to load default plist: 26.2_other"));
}

TEST_F(MetadataManagerTest, NoResourceFolderNeverReadsTheWorkingDirectory) {
    const std::filesystem::path previous = std::filesystem::current_path();
    std::filesystem::current_path(folder.root());
    const MetadataManager metadata("");
    std::filesystem::current_path(previous);
    EXPECT_THAT(metadata.launchdDefaults(), IsEmpty());
    EXPECT_EQ(log.lines().size(), 3u);
}

TEST(EnclosingBundlePathTest, InnermostBundle) {
    EXPECT_EQ(MetadataManager::enclosingBundlePath("/Applications/Name.app/Contents/MacOS/Name"),
              "/Applications/Name.app");
    EXPECT_EQ(MetadataManager::enclosingBundlePath(
                  "/Applications/A.app/Contents/Library/LoginItems/H.app/Contents/MacOS/H"),
              "/Applications/A.app/Contents/Library/LoginItems/H.app");
    EXPECT_EQ(MetadataManager::enclosingBundlePath("/Library/Spotlight/X.mdimporter/Contents"),
              "/Library/Spotlight/X.mdimporter");
    EXPECT_EQ(MetadataManager::enclosingBundlePath("Relative.bundle/file"), "Relative.bundle");
    EXPECT_EQ(MetadataManager::enclosingBundlePath("/usr/libexec/tool"), std::nullopt);
    EXPECT_EQ(MetadataManager::enclosingBundlePath("/Applications/Name.APP/x"), std::nullopt);
    EXPECT_EQ(MetadataManager::enclosingBundlePath("/"), std::nullopt);
    EXPECT_EQ(MetadataManager::enclosingBundlePath(""), std::nullopt);
    EXPECT_EQ(MetadataManager::enclosingBundlePath("/X.app"), "/X.app");
    // A trailing separator does not hide the bundle itself.
    EXPECT_EQ(MetadataManager::enclosingBundlePath("/Applications/Name.app/"),
              "/Applications/Name.app");
}

TEST(IconFilePathTest, FirstExistingFileThenItsBundle) {
    const TemporaryHost host;
    const std::string program = host / "/Applications/Name.app/Contents/MacOS/Name";
    const std::string definition = host / "/Library/LaunchAgents/a.plist";
    writeFile(program, "x");
    writeFile(definition, "x");

    // Paths already on this machine, as in a record from the real system.
    const HostLayout plain("", "/Users/me");
    LaunchItem record = item("a", LaunchScope::system, definition);
    record.executablePath = program;
    EXPECT_EQ(MetadataManager::iconFilePath(record, plain), host / "/Applications/Name.app");
    record.executablePath = host / "/missing/tool";
    EXPECT_EQ(MetadataManager::iconFilePath(record, plain), definition);
    record.path = host / "/missing/a.plist";
    EXPECT_EQ(MetadataManager::iconFilePath(record, plain), std::nullopt);
}

TEST(IconFilePathTest, MacPathsAreLookedUpUnderTheHostRoot) {
    const TemporaryHost host;
    const HostLayout layout = host.layout();
    writeFile(host / "/Applications/Name.app/Contents/MacOS/Name", "x");
    const std::string definition = host / "/Library/LaunchAgents/a.plist";
    writeFile(definition, "x");

    // The program as the definition names it: a Mac path, found on the host.
    LaunchItem record = item("a", LaunchScope::system, definition);
    record.executablePath = "/Applications/Name.app/Contents/MacOS/Name";
    EXPECT_EQ(MetadataManager::iconFilePath(record, layout), host / "/Applications/Name.app");
    // A login item's path is the application's Mac path.
    record = item("Name", LaunchScope::user, "/Applications/Name.app");
    EXPECT_EQ(MetadataManager::iconFilePath(record, layout), host / "/Applications/Name.app");
    // A Mac path that exists only on this machine, not on the host, is no icon.
    record = item("b", LaunchScope::system, "/missing/b.plist");
    record.executablePath = "/bin/sh";
    EXPECT_EQ(MetadataManager::iconFilePath(record, layout), std::nullopt);
}

TEST(ResourceLocatorTest, BuildTreeInstallTreeAndBundle) {
    const TemporaryHost host;
    test::makeDirectory(host / "/tree/share/daemonary");
    test::makeDirectory(host / "/App.app/Contents/Resources");
    EXPECT_EQ(ResourceLocator::resourceDirectoryFor(host / "/tree/bin/daemonary-cli"),
              host / "/tree/share/daemonary");
    EXPECT_EQ(ResourceLocator::resourceDirectoryFor(host / "/App.app/Contents/MacOS/Daemonary"),
              host / "/App.app/Contents/Resources");
    EXPECT_EQ(ResourceLocator::resourceDirectoryFor(host / "/elsewhere/bin/x"), std::nullopt);

    // This test program itself lives in the build tree's bin folder.
    const auto found = ResourceLocator::resourceDirectory();
    ASSERT_TRUE(found.has_value());
    EXPECT_TRUE(std::filesystem::equivalent(*found, DAEMONARY_BINARY_DIR "/share/daemonary"));
}

} // namespace
} // namespace daemonary
