#include "Cli.h"
#include "DiscoveryTestSupport.h"
#include "ListCommand.h"
#include "MetadataManager.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sstream>

namespace daemonary {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

std::vector<LaunchScope> scopesOf(const std::vector<std::string>& arguments) {
    auto parsed = parseListOptions(arguments);
    const auto* options = std::get_if<ListOptions>(&parsed);
    return options ? options->scopes : std::vector<LaunchScope>{};
}

TEST(CliListOptionsTest, ScopesComeInSidebarOrderOnce) {
    EXPECT_EQ(scopesOf({}).size(), 7u);
    EXPECT_EQ(scopesOf({"--scope", "all"}), scopesOf({}));
    EXPECT_THAT(
        scopesOf({"--scope", "Others", "--json", "--scope=Privileged", "--scope", "Others",
                  "--scope", "macOS"}),
        ElementsAre(LaunchScope::privilegedHelperTools, LaunchScope::macos, LaunchScope::others));
    auto parsed = parseListOptions({"--json", "--defaults"});
    ASSERT_TRUE(std::holds_alternative<ListOptions>(parsed));
    EXPECT_TRUE(std::get<ListOptions>(parsed).json);
    EXPECT_TRUE(std::get<ListOptions>(parsed).defaults);
}

TEST(CliListOptionsTest, UsageErrorsExitTwoAndNameTheValidScopes) {
    for (const std::vector<std::string>& arguments :
         {std::vector<std::string>{"list", "--scope", "macos"},
          std::vector<std::string>{"list", "--scope"}, std::vector<std::string>{"list", "--all"},
          std::vector<std::string>{"frobnicate"}, std::vector<std::string>{}}) {
        std::ostringstream out;
        std::ostringstream err;
        EXPECT_EQ(runCli(arguments, out, err), 2);
        EXPECT_EQ(out.str(), "");
        EXPECT_THAT(err.str(), HasSubstr("Usage: daemonary-cli"));
    }
    std::ostringstream out;
    std::ostringstream err;
    runCli({"list", "--scope", "privilegedHelperTools"}, out, err);
    EXPECT_THAT(err.str(), HasSubstr("unknown scope \"privilegedHelperTools\"; valid names: "
                                     "Privileged, System, User, macOS, Mach, Kernel, Others, all"));

    std::ostringstream help;
    EXPECT_EQ(runCli({"--help"}, help, err), 0);
    EXPECT_THAT(help.str(), HasSubstr("list [--scope NAME]... [--json] [--defaults]"));
}

LaunchItem sample(std::string label, std::optional<std::string> path, LaunchScope scope) {
    LaunchItem item;
    item.label = std::move(label);
    item.path = std::move(path);
    item.status = ServiceStatus::active;
    item.scope = scope;
    item.type = ServiceType::other;
    return item;
}

TEST(CliListOutputTest, JsonKeepsRecordsAndStaysValidForAnyBytes) {
    test::TemporaryHost folder;
    test::writeFile(folder / "/mach.plist", test::plistXml("<array><string>m</string></array>"));
    const test::LogCapture log; // the other two lists are missing
    const MetadataManager metadata(folder.root());

    LaunchItem kext = sample("K.kext", "/Library/Extensions/K\xFF.kext", LaunchScope::kernel);
    kext.index = 3;
    const std::vector<std::pair<LaunchScope, std::vector<LaunchItem>>> categories = {
        {LaunchScope::mach, {sample("m", std::nullopt, LaunchScope::mach)}},
        {LaunchScope::kernel, {kext}},
    };

    const auto plain = nlohmann::ordered_json::parse(listJson(categories, nullptr));
    ASSERT_EQ(plain.size(), 2u);
    EXPECT_EQ(plain.begin().key(), "Mach");
    EXPECT_EQ(plain["Mach"][0],
              (nlohmann::ordered_json{
                  {"label", "m"}, {"status", "Active"}, {"scope", "Mach"}, {"type", "Other"}}));
    EXPECT_EQ(plain["Kernel"][0]["index"], 3);
    EXPECT_EQ(plain["Kernel"][0]["path"], "/Library/Extensions/K\xEF\xBF\xBD.kext");

    const auto withDefaults = nlohmann::json::parse(listJson(categories, &metadata));
    EXPECT_EQ(withDefaults["Mach"][0]["systemDefault"], true);
    EXPECT_EQ(withDefaults["Kernel"][0]["systemDefault"], false);
}

TEST(CliListOutputTest, TableColumnsLineUp) {
    LaunchItem running = sample("com.example.long.label", "/p/a", LaunchScope::system);
    running.pid = 12345;
    LaunchItem stopped = sample("short", std::nullopt, LaunchScope::system);
    stopped.status = ServiceStatus::inactive;

    std::ostringstream out;
    writeListTable(out, LaunchScope::system, {running, stopped}, nullptr);
    std::istringstream lines(out.str());
    std::vector<std::string> rows;
    for (std::string line; std::getline(lines, line);) {
        rows.push_back(line);
    }
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_EQ(rows[0], "System (2)");
    EXPECT_EQ(rows[1], "LABEL                   PID    STATUS    PATH");
    EXPECT_EQ(rows[2], "com.example.long.label  12345  Active    /p/a");
    EXPECT_EQ(rows[3], "short                       -  Inactive  -");
}

} // namespace
} // namespace daemonary
