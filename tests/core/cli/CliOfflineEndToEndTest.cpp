// The command-line tool over a Mac's disk built by the test: two users' records
// with their disabled states, signers read from real programs, nothing from
// links out of the disk, and trap tools in it and on PATH that record any run.

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
using ::testing::ContainsRegex;
using ::testing::HasSubstr;

ToolResult cli(const std::vector<std::string>& arguments) {
    return runTool(DAEMONARY_CLI_PATH, arguments, true, true);
}

// Puts the search path back however the test ends.
struct SavedPath {
    const std::string saved = std::getenv("PATH");
    ~SavedPath() { ::setenv("PATH", saved.c_str(), 1); }
};

TEST(CliOfflineEndToEndTest, EveryCommandReadsTheDiskOnlyRunningNothing) {
    test::MacTree tree;
    const std::string ranLog = tree.outside() + "/ran";
    const std::string traps = tree.outside() + "/path";
    const SavedPath path;
    // The traps come first on the search path: a tool found by name runs one.
    test::makeDirectory(traps);
    tree.installTraps(traps, ranLog);
    ::setenv("PATH", (traps + ":" + path.saved).c_str(), 1);

    tree.addUser("alice", "501", true);
    tree.addUser("bob", "502");
    tree.writeDisabled("", "<key>com.example.off</key><true/><key>com.sentry.daemon</key><false/>");
    tree.writeDisabled("501", "<key>com.example.shared</key><true/>");
    for (const auto& [program, from] : {std::pair{"/usr/local/bin/sentry", test::sentryUniversal()},
                                        {"/Users/alice/esbuild", test::esbuildArm64()},
                                        {"/Users/bob/esbuild", test::esbuildX64()}}) {
        test::writeFile(tree / program, test::readBytes(from), true);
    }
    tree.addDefinition("/Library/LaunchDaemons", "com.sentry.daemon", "/usr/local/bin/sentry");
    tree.addDefinition("/Library/LaunchDaemons", "com.example.off", "/usr/libexec/gone");
    for (const std::string user : {"alice", "bob"}) {
        tree.addDefinition("/Users/" + user + "/Library/LaunchAgents", "com.example.shared",
                           "/Users/" + user + "/esbuild");
    }
    // Helpers of an app every user shares and of one in bob's home.
    for (const char* app : {"/Applications/A.app", "/Users/bob/Applications/B.app"}) {
        test::makeDirectory(tree / app + "/Contents/Library/LoginItems/H.app/Contents");
    }
    test::writeFile(tree / "/Users/bob/Library/PrivilegedHelperTools/tool", "", true);
    test::writeFile(tree.outside() + "/evil.plist",
                    test::definitionXml("com.example.outside", "/usr/bin/true"));
    test::writeFile(tree.outside() + "/Driver.kext/Contents/Info.plist", "x");
    fs::create_symlink(tree.outside() + "/evil.plist",
                       tree / "/Users/bob/Library/LaunchAgents/evil.plist");
    fs::create_directory_symlink(tree.outside(), tree / "/Library/LaunchAgents");
    fs::create_directory_symlink(tree.outside(), tree / "/Library/Extensions");
    const auto before = tree.contents();

    const ToolResult run =
        cli({"list", "--json", "--signers", "--problems", "--root", tree.root()});
    ASSERT_EQ(run.exitStatus, 0) << run.standardError;
    const nlohmann::json listing = nlohmann::json::parse(run.standardOutput);
    std::vector<std::string> rows;
    for (const auto& [category, items] : listing.items()) {
        for (const nlohmann::json& item : category == "problems" ? nlohmann::json() : items) {
            EXPECT_TRUE(item["status"] == "Unknown" && !item.contains("pid") &&
                        item.at("allowedInBackground").is_null())
                << item;
            rows.push_back(item.value("user", "-") + " " + item.value("path", "") +
                           (item.value("disabled", false) ? " off " : " ") +
                           item.value("signer", ""));
        }
    }
    const std::string helper = "/Contents/Library/LoginItems/H.app Unsigned";
    EXPECT_EQ(rows,
              (std::vector<std::string>{
                  "- /Applications/A.app" + helper, "bob /Users/bob/Applications/B.app" + helper,
                  "bob /Users/bob/Library/PrivilegedHelperTools/tool Unsigned",
                  "- /Library/LaunchDaemons/com.example.off.plist off Missing",
                  "- /Library/LaunchDaemons/com.sentry.daemon.plist Developer ID: GetSentry "
                  "LLC (97JCY7859U)",
                  "alice /Users/alice/Library/LaunchAgents/com.example.shared.plist off Ad hoc",
                  "bob /Users/bob/Library/LaunchAgents/com.example.shared.plist Unsigned"}));
    ASSERT_EQ(listing["problems"].size(), 1u);
    EXPECT_EQ(listing["problems"][0]["path"], "/Users/bob/Library/LaunchAgents/evil.plist");
    EXPECT_EQ(run.standardOutput.find("com.example.outside"), std::string::npos);

    // Show and verify read the disk's programs by the Mac's paths, never one a
    // link takes out of it; a folder that is no Mac's is refused in one line.
    const auto show = nlohmann::json::parse(
        cli({"show", "com.sentry.daemon", "--json", "--root=" + tree.root()}).standardOutput);
    EXPECT_EQ(show["signer"]["path"], "/usr/local/bin/sentry");
    EXPECT_THAT(cli({"list", "--scope", "User", "--root", tree.root()}).standardOutput,
                HasSubstr("User: 2 items, read from a disk, nothing was run"));
    test::writeFile(tree.outside() + "/secret", "outside");
    const ToolResult verify = cli({"verify", "--root", tree.root(), "/Library/LaunchAgents/secret",
                                   "/Users/alice/esbuild", "/usr/local/bin/sentry"});
    EXPECT_EQ(verify.exitStatus, 1);
    EXPECT_THAT(verify.standardError, HasSubstr("/Library/LaunchAgents/secret leads out of"));
    EXPECT_EQ(verify.standardOutput.find("secret"), std::string::npos);
    EXPECT_THAT(verify.standardOutput, HasSubstr("/Users/alice/esbuild: Ad hoc"));
    EXPECT_THAT(verify.standardOutput, HasSubstr("/usr/local/bin/sentry: Developer ID"));

    const std::string plain = tree.outside();
    for (const std::vector<std::string>& arguments : std::vector<std::vector<std::string>>{
             {"list", "--root", plain},
             {"show", "--root", plain, "x"},
             {"verify", "--root", plain, "x"},
             {"list", "--root"},
             {"list", "--root", tree.root(), "--root", tree.root()}}) {
        const ToolResult refused = cli(arguments);
        EXPECT_EQ(refused.exitStatus, 2);
        EXPECT_THAT(refused.standardError,
                    ContainsRegex(arguments.size() > 2 && arguments[2] == plain
                                      ? "^[^\n]* does not look like a Mac's disk[^\n]*\n$"
                                      : "--root (needs|may be given once)"));
    }
    EXPECT_FALSE(fs::exists(ranLog)) << "a tool ran:\n" << test::readText(ranLog);
    EXPECT_EQ(tree.contents(), before) << "something under the disk changed";
}

} // namespace
} // namespace daemonary
