#include "discovery/LoginItemManager.h"

#include "DiscoveryTestSupport.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace daemonary {
namespace {

using test::labelsOf;
using test::LogCapture;
using test::TemporaryHost;
using test::writeFakeTool;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

TEST(ParseLoginItemOutputTest, NamesFirstThenPathsTrimmed) {
    LogCapture log;
    const std::vector<LaunchItem> items = LoginItemManager::parseLoginItemOutput(
        "Example, Other Thing, /Applications/Example.app, /Applications/Other Thing.app\n");
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[0].label, "Example");
    EXPECT_EQ(items[0].path, "/Applications/Example.app");
    EXPECT_EQ(items[1].label, "Other Thing");
    EXPECT_EQ(items[1].path, "/Applications/Other Thing.app");
    for (const LaunchItem& item : items) {
        EXPECT_EQ(item.executablePath, std::nullopt);
        EXPECT_EQ(item.status, ServiceStatus::unknown);
        EXPECT_EQ(item.scope, LaunchScope::user);
        EXPECT_EQ(item.type, ServiceType::loginItem);
    }
    EXPECT_THAT(log.lines(), IsEmpty());
}

TEST(ParseLoginItemOutputTest, EmptyPairsAreSkipped) {
    LogCapture log;
    // One separator and a line end: two parts that trim to nothing.
    EXPECT_THAT(LoginItemManager::parseLoginItemOutput(", \n"), IsEmpty());
    EXPECT_THAT(labelsOf(LoginItemManager::parseLoginItemOutput(" , B, /a, /b")), ElementsAre("B"));
    EXPECT_THAT(log.lines(), IsEmpty());
}

TEST(ParseLoginItemOutputTest, OddPartCountIsRejectedWhole) {
    LogCapture log;
    EXPECT_THAT(LoginItemManager::parseLoginItemOutput(""), IsEmpty());
    // A name holding ", " shifts the split.
    EXPECT_THAT(LoginItemManager::parseLoginItemOutput("Hello, World, /Applications/H.app"),
                IsEmpty());
    EXPECT_THAT(log.lines(), ElementsAre("LoginItemManager: Unexpected output format count 1",
                                         "LoginItemManager: Unexpected output format count 3"));
    // An even count pairs names with the wrong paths: the format has no quoting.
    const auto shifted = LoginItemManager::parseLoginItemOutput("A, B, C, /a, /b, /c, /d, /e");
    ASSERT_EQ(shifted.size(), 4u);
    EXPECT_EQ(shifted[0].path, "/b");
    EXPECT_EQ(shifted[3].label, "/a");
}

class FetchLoginItemsTest : public ::testing::Test {
protected:
    std::string tool() const { return host / "/usr/bin/osascript"; }
    TemporaryHost host;
    LogCapture log;
};

TEST_F(FetchLoginItemsTest, RunsWarmUpThenListing) {
    writeFakeTool(tool(), "Example, /Applications/Example.app\n");
    const std::vector<LaunchItem> items = LoginItemManager::fetchLoginItems(host.layout());

    EXPECT_THAT(labelsOf(items), ElementsAre("Example"));
    EXPECT_EQ(test::readText(tool() + ".args"),
              "-e\nlaunch application \"System Events\"\n"
              "-e\ntell application \"System Events\" to get {name, path} of every login item\n");
    EXPECT_THAT(log.lines(), ElementsAre("Fetching login items...", "Found 1 login items"));
}

TEST_F(FetchLoginItemsTest, EachItemCarriesItsApplicationsBundleIdentifier) {
    test::writeFile(host / "/Applications/Notes.app/Contents/Info.plist",
                    "<plist version=\"1.0\"><dict><key>CFBundleIdentifier</key>"
                    "<string>com.example.notes</string></dict></plist>");
    test::writeFile(host / "/Applications/Bare.app/Contents/Info.plist",
                    "<plist version=\"1.0\"><dict/></plist>");
    test::writeFile(host / "/Applications/Broken.app/Contents/Info.plist", "<plist");
    writeFakeTool(tool(),
                  "Notes, Bare, Broken, Gone, /Applications/Notes.app, "
                  "/Applications/Bare.app, /Applications/Broken.app, /Applications/Gone.app\n");
    const std::vector<LaunchItem> items = LoginItemManager::fetchLoginItems(host.layout());
    ASSERT_EQ(items.size(), 4u);
    EXPECT_EQ(items[0].bundleIdentifier, "com.example.notes");
    for (std::size_t i = 1; i < items.size(); ++i) {
        EXPECT_EQ(items[i].bundleIdentifier, std::nullopt) << items[i].label;
    }
}

TEST_F(FetchLoginItemsTest, FailingListingLogsTheToolsMessage) {
    writeFakeTool(tool(), "Ignored, /x\n", "execution error: Not authorized. (-1743)\n", 1);
    EXPECT_THAT(LoginItemManager::fetchLoginItems(host.layout()), IsEmpty());
    EXPECT_THAT(log.lines(),
                ElementsAre("Fetching login items...",
                            "LoginItemManager error (status 1): execution error: Not authorized. "
                            "(-1743)"));
}

TEST_F(FetchLoginItemsTest, UndecodableTextIsReported) {
    writeFakeTool(tool(), "caf\xC3, /x\n", "\xFF", 2);
    EXPECT_THAT(LoginItemManager::fetchLoginItems(host.layout()), IsEmpty());
    writeFakeTool(tool(), "caf\xC3, /x\n");
    EXPECT_THAT(LoginItemManager::fetchLoginItems(host.layout()), IsEmpty());
    EXPECT_THAT(log.lines(), ElementsAre("Fetching login items...",
                                         "LoginItemManager error (status 2): Unknown error",
                                         "Fetching login items...",
                                         "LoginItemManager: No output from osascript"));
}

TEST_F(FetchLoginItemsTest, EmptyOutputAndMissingTool) {
    writeFakeTool(tool(), "");
    EXPECT_THAT(LoginItemManager::fetchLoginItems(host.layout()), IsEmpty());
    EXPECT_THAT(log.lines(), ElementsAre("Fetching login items...",
                                         "LoginItemManager: Unexpected output format count 1",
                                         "Found 0 login items"));

    const TemporaryHost empty;
    const LogCapture missing;
    EXPECT_THAT(LoginItemManager::fetchLoginItems(empty.layout()), IsEmpty());
    EXPECT_THAT(missing.lines(),
                ElementsAre("Fetching login items...",
                            "Failed to run osascript for login items: No such file or directory"));
}

} // namespace
} // namespace daemonary
