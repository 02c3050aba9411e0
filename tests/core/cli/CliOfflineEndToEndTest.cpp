// The command-line tool pointed at a Mac's disk built by the test: two users,
// disabled overrides in both domains, real signed programs, and trap tools in
// the disk and on PATH that record any run.

#include "../offline/MacTreeSupport.h"
#include "../signing/SigningFixtures.h"
#include "platform/ToolRunner.h"

#include <cstdlib>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace daemonary {
namespace {

namespace fs = std::filesystem;
using test::MacTree;
using ::testing::HasSubstr;

constexpr const char* kCli = DAEMONARY_CLI_PATH;

struct CliRun {
    int status = -1;
    std::string out;
    std::string err;
};

class CliOfflineEndToEndTest : public ::testing::Test {
protected:
    void SetUp() override {
        ranLog = tree.outside() + "/ran";
        traps = tree.outside() + "/path";
        test::makeDirectory(traps);
        tree.installTraps(traps, ranLog);
        // The traps come first on the search path: a tool found by name runs one.
        const char* path = std::getenv("PATH");
        previousPath = path ? path : "";
        ::setenv("PATH", (traps + ":" + previousPath).c_str(), 1);

        tree.addUser("alice", "501", true);
        tree.addUser("bob", "502");
        tree.addUserRecord("_spotlight.plist",
                           MacTree::userRecordXml("_spotlight", "89", "/var/empty"));
        tree.writeDisabled("", {{"com.example.off", true}, {"com.sentry.daemon", false}});
        tree.writeDisabled("501", {{"com.example.shared", true}});
        tree.writeDisabled("502", {{"com.example.bob-only", true}});

        tree.installProgram(test::sentryUniversal(), "/usr/local/bin/sentry-cli");
        tree.addDefinition("/Library/LaunchDaemons", "com.sentry.daemon",
                           "/usr/local/bin/sentry-cli");
        tree.addDefinition("/Library/LaunchDaemons", "com.example.off", "/usr/libexec/gone");
        tree.installProgram(test::esbuildArm64(), "/Users/alice/bin/esbuild");
        tree.addDefinition("/Users/alice/Library/LaunchAgents", "com.example.shared",
                           "/Users/alice/bin/esbuild");
        tree.installProgram(test::esbuildX64(), "/Users/bob/bin/esbuild");
        tree.addDefinition("/Users/bob/Library/LaunchAgents", "com.example.shared",
                           "/Users/bob/bin/esbuild");
        // An agent that links out of the disk, and a folder that does.
        test::writeFile(tree.outside() + "/evil.plist",
                        test::definitionXml("com.example.outside", "/usr/bin/true"));
        fs::create_symlink(tree.outside() + "/evil.plist",
                           tree / "/Users/bob/Library/LaunchAgents/evil.plist");
        fs::create_directory_symlink(tree.outside(), tree / "/Applications");
        before = tree.contents();
    }

    void TearDown() override {
        ::setenv("PATH", previousPath.c_str(), 1);
        EXPECT_FALSE(fs::exists(ranLog)) << "a tool ran:\n" << test::readText(ranLog);
        EXPECT_EQ(tree.contents(), before) << "something under the disk changed";
    }

    static CliRun cli(const std::vector<std::string>& arguments) {
        const ToolResult result = runTool(kCli, arguments, true, true);
        return {result.exitStatus, result.standardOutput, result.standardError};
    }

    MacTree tree;
    std::string ranLog;
    std::string traps;
    std::string previousPath;
    std::map<std::string, std::string> before;
};

const nlohmann::json* record(const nlohmann::json& category, std::string_view label,
                             std::string_view user = {}) {
    for (const nlohmann::json& item : category) {
        if (item.value("label", "") == label && (user.empty() || item.value("user", "") == user)) {
            return &item;
        }
    }
    return nullptr;
}

TEST_F(CliOfflineEndToEndTest, ListsEveryUsersRecordsWithDisabledStatesAndSignersRunningNothing) {
    const CliRun run = cli({"list", "--json", "--signers", "--problems", "--root", tree.root()});
    ASSERT_EQ(run.status, 0) << run.err;
    nlohmann::json listing = nlohmann::json::parse(run.out);

    nlohmann::json& user = listing["User"];
    ASSERT_EQ(user.size(), 2u) << user.dump(2);
    const nlohmann::json* alice = record(user, "com.example.shared", "alice");
    const nlohmann::json* bob = record(user, "com.example.shared", "bob");
    ASSERT_TRUE(alice && bob);
    EXPECT_EQ(alice->value("disabled", false), true);
    EXPECT_FALSE(bob->contains("disabled"));
    EXPECT_EQ(alice->value("path", ""),
              "/Users/alice/Library/LaunchAgents/com.example.shared.plist");
    EXPECT_EQ(alice->value("signer", ""), "Ad hoc");
    EXPECT_EQ(alice->value("signerSource", ""), "file");
    EXPECT_EQ(bob->value("signer", ""), "Unsigned");
    EXPECT_EQ(run.out.find("com.example.outside"), std::string::npos);

    nlohmann::json& system = listing["System"];
    const nlohmann::json* sentry = record(system, "com.sentry.daemon");
    const nlohmann::json* off = record(system, "com.example.off");
    ASSERT_TRUE(sentry && off);
    EXPECT_EQ(sentry->value("team", ""), "97JCY7859U");
    EXPECT_THAT(sentry->value("signer", ""), HasSubstr("Developer ID"));
    EXPECT_FALSE(sentry->contains("disabled"));
    EXPECT_EQ(off->value("disabled", false), true);
    EXPECT_FALSE(sentry->contains("user"));

    for (const auto& [category, items] : listing.items()) {
        if (category == "problems") {
            continue;
        }
        for (const nlohmann::json& item : items) {
            EXPECT_EQ(item.value("status", ""), "Unknown") << item.dump();
            EXPECT_FALSE(item.contains("pid")) << item.dump();
            EXPECT_TRUE(item.contains("allowedInBackground") &&
                        item["allowedInBackground"].is_null())
                << item.dump();
        }
    }
    EXPECT_TRUE(listing["Mach"].empty());
    EXPECT_THAT(listing["problems"].dump(),
                HasSubstr("/Users/bob/Library/LaunchAgents/evil.plist"));
}

TEST_F(CliOfflineEndToEndTest, ShowSaysTheRecordWasReadFromADiskAndWhoseItIs) {
    const CliRun run =
        cli({"show", "com.example.shared", "--scope", "User", "--root", tree.root()});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_THAT(run.out, HasSubstr("User:        alice"));
    EXPECT_THAT(run.out, HasSubstr("Status:      Unknown (read from a disk, nothing was run)"));
    EXPECT_THAT(run.out, HasSubstr("Disabled:    yes"));
    EXPECT_THAT(run.out, HasSubstr("Ad hoc"));
    EXPECT_THAT(run.out, HasSubstr("read from the file"));

    const CliRun json = cli({"show", "com.sentry.daemon", "--json", "--root=" + tree.root()});
    ASSERT_EQ(json.status, 0) << json.err;
    nlohmann::json document = nlohmann::json::parse(json.out);
    EXPECT_EQ(document["offline"], true);
    EXPECT_EQ(document["signer"]["team"], "97JCY7859U");
    EXPECT_EQ(document["signer"]["source"], "file");
    EXPECT_EQ(document["signer"]["path"], "/usr/local/bin/sentry-cli");
}

TEST_F(CliOfflineEndToEndTest, VerifyReadsMacPathsOnTheDiskAndRefusesOnesThatLeaveIt) {
    const CliRun run = cli(
        {"verify", "--root", tree.root(), "/Users/alice/bin/esbuild", "/usr/local/bin/sentry-cli"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_THAT(run.out, HasSubstr("/Users/alice/bin/esbuild: Ad hoc"));
    EXPECT_THAT(run.out, HasSubstr("/usr/local/bin/sentry-cli: Developer ID"));

    test::writeFile(tree.outside() + "/secret", "outside");
    const CliRun leaving =
        cli({"verify", "--root", tree.root(), "/Applications/secret", "/Users/alice/bin/esbuild"});
    EXPECT_EQ(leaving.status, 1);
    EXPECT_THAT(leaving.err, HasSubstr("/Applications/secret leads out of"));
    EXPECT_EQ(leaving.out.find("secret"), std::string::npos);
    EXPECT_THAT(leaving.out, HasSubstr("esbuild: Ad hoc"));
}

TEST_F(CliOfflineEndToEndTest, TheTableNamesEachRecordsUserAndClaimsNothingRuns) {
    const CliRun run = cli({"list", "--scope", "User", "--root", tree.root()});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_THAT(run.out, HasSubstr("User: 2 items, read from a disk, nothing was run\n"));
    EXPECT_THAT(run.out, ::testing::ContainsRegex("Disabled +- +Unknown +alice +yes"));
    EXPECT_THAT(run.out, ::testing::ContainsRegex("com.example.shared +- +Unknown +bob +no"));
}

TEST_F(CliOfflineEndToEndTest, AFolderThatIsNoMacIsRefusedInOneLine) {
    const std::string plain = tree.outside();
    for (const std::string command : {"list", "show", "verify"}) {
        std::vector<std::string> arguments{command, "--root", plain};
        if (command != "list") {
            arguments.push_back("x");
        }
        const CliRun run = cli(arguments);
        EXPECT_EQ(run.status, 2) << command;
        EXPECT_EQ(run.err, "daemonary-cli: " + plain +
                               " does not look like a Mac's disk (no System/Library or Library)\n")
            << command;
    }
    EXPECT_EQ(cli({"list", "--root"}).status, 2);
    EXPECT_EQ(cli({"list", "--root", tree.root(), "--root", tree.root()}).status, 2);
}

} // namespace
} // namespace daemonary
