#include "discovery/PluginDirectories.h"

#include "DiscoveryTestSupport.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace daemonary {
namespace {

using test::labelsOf;
using test::LogCapture;
using test::TemporaryHost;
using test::writeFile;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

TEST(PluginDirectoriesTest, HelperToolsFromEveryHelperFolder) {
    const TemporaryHost host;
    const LogCapture log;
    writeFile(host / "/Library/PrivilegedHelperTools/com.example.helper", "x");
    writeFile(host / "/Library/PrivilegedHelperTools/.DS_Store", "x");
    test::makeDirectory(host / "/Library/PrivilegedHelperTools/com.example.folder");
    writeFile(host.home() + "/Library/PrivilegedHelperTools/com.example.mine", "x");
    // "/Library/Privileged Helper Tools" does not exist: nothing, silently.

    const std::vector<LaunchItem> items =
        PluginDirectories::loadPrivilegedHelperTools(host.layout());
    ASSERT_THAT(labelsOf(items),
                ElementsAre("com.example.folder", "com.example.helper", "com.example.mine"));
    const LaunchItem& helper = items[1];
    EXPECT_EQ(helper.path, host / "/Library/PrivilegedHelperTools/com.example.helper");
    EXPECT_EQ(helper.executablePath, helper.path);
    EXPECT_EQ(helper.status, ServiceStatus::unknown);
    EXPECT_EQ(helper.scope, LaunchScope::privilegedHelperTools);
    EXPECT_EQ(helper.type, ServiceType::other);
    EXPECT_EQ(items[2].path, host.home() + "/Library/PrivilegedHelperTools/com.example.mine");
    EXPECT_THAT(log.lines(), IsEmpty());
}

TEST(PluginDirectoriesTest, PluginsLabelledWithTheirCategoryInTableOrder) {
    const TemporaryHost host;
    const LogCapture log;
    writeFile(host / "/System/Library/CoreServices/SecurityAgentPlugins/Auth.bundle", "x");
    writeFile(host.home() + "/Library/PreferencePanes/Example.prefPane", "x");
    writeFile(host / "/Library/Spotlight/Same.mdimporter", "x");
    writeFile(host.home() + "/Library/Spotlight/Same.mdimporter", "x");
    writeFile(host.home() + "/Library/Spotlight/.DS_Store", "x");
    writeFile(host / "/Library/Contextual Menu Items/Menu.plugin", "x");

    const std::vector<LaunchItem> items = PluginDirectories::loadOtherItems(host.layout());
    ASSERT_THAT(labelsOf(items), ElementsAre("Menu.plugin (Contextual Menu Items)",
                                             "Same.mdimporter (Spotlight Plug-ins)",
                                             "Same.mdimporter (Spotlight Plug-ins)",
                                             "Example.prefPane (Preference Panes)",
                                             "Auth.bundle (Security Agent Plugins)"));
    // Same name in the system and the user folder: two records, two ids.
    EXPECT_NE(items[1].id(), items[2].id());
    EXPECT_EQ(items[2].path, host.home() + "/Library/Spotlight/Same.mdimporter");
    const LaunchItem& pane = items[3];
    EXPECT_EQ(pane.executablePath, std::nullopt);
    EXPECT_EQ(pane.scope, LaunchScope::others);
    EXPECT_EQ(pane.type, ServiceType::other);
    EXPECT_THAT(log.lines(), IsEmpty());
}

TEST(PluginDirectoriesTest, EveryFixedFolderLiesUnderTheHostRoot) {
    const HostLayout layout("/host", "/host/Users/me");
    for (const std::string& directory : PluginDirectories::privilegedHelperDirectories(layout)) {
        EXPECT_TRUE(directory.starts_with("/host/")) << directory;
    }
    std::vector<std::string> names;
    for (const auto& category : PluginDirectories::pluginDirectories(layout)) {
        names.push_back(category.name);
        for (const std::string& directory : category.directories) {
            EXPECT_TRUE(directory.starts_with("/host/")) << directory;
        }
    }
    EXPECT_EQ(names.size(), 10u);
    EXPECT_EQ(names.front(), "Contextual Menu Items");
    EXPECT_EQ(names.back(), "Security Agent Plugins");
}

} // namespace
} // namespace daemonary
