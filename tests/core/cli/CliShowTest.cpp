// `daemonary-cli show`: its options, the JSON document and the text report,
// and one run of the built tool against a small host.

#include "Cli.h"
#include "DiscoveryTestSupport.h"
#include "ShowCommand.h"
#include "platform/HostLayout.h"
#include "platform/ToolRunner.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sstream>

namespace daemonary {
namespace {

using test::plistXml;
using test::TemporaryHost;
using test::writeFakeTool;
using test::writeFile;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;

TEST(ShowOptionsTest, LabelScopesAndJson) {
    auto parsed = parseShowOptions({"--json", "com.example.a", "--scope", "User"});
    ASSERT_TRUE(std::holds_alternative<ShowOptions>(parsed));
    const ShowOptions& options = std::get<ShowOptions>(parsed);
    EXPECT_EQ(options.label, "com.example.a");
    EXPECT_TRUE(options.json);
    EXPECT_THAT(options.scopes, ElementsAre(LaunchScope::user));

    parsed = parseShowOptions({"--", "--odd"});
    ASSERT_TRUE(std::holds_alternative<ShowOptions>(parsed));
    EXPECT_EQ(std::get<ShowOptions>(parsed).label, "--odd");
    EXPECT_EQ(std::get<ShowOptions>(parsed).scopes.size(), 8u);

    for (const std::vector<std::string>& bad : std::vector<std::vector<std::string>>{
             {}, {"a", "b"}, {"a", "--scope"}, {"a", "--scope", "nowhere"}, {"--signers", "a"}}) {
        EXPECT_TRUE(std::holds_alternative<ShowUsageError>(parseShowOptions(bad)));
        std::ostringstream out;
        std::ostringstream err;
        std::vector<std::string> arguments = {"show"};
        arguments.insert(arguments.end(), bad.begin(), bad.end());
        EXPECT_EQ(runCli(arguments, out, err), kCliUsageError);
        EXPECT_THAT(err.str(), HasSubstr("Usage: daemonary-cli show LABEL"));
        EXPECT_EQ(out.str(), "");
    }
}

class ShowReportTest : public ::testing::Test {
protected:
    HostLayout layout() const { return HostLayout(host.root(), host / "/Users/demo"); }

    LaunchItem record(const std::string& definition) const {
        const std::string path = host / "/Library/LaunchDaemons/com.example.job.plist";
        writeFile(path, definition);
        LaunchItem item;
        item.label = "com.example.job";
        item.path = path;
        item.executablePath = "/usr/local/bin/job";
        item.scope = LaunchScope::system;
        item.type = ServiceType::launchDaemon;
        item.status = ServiceStatus::inactive;
        return item;
    }

    TemporaryHost host;
};

TEST_F(ShowReportTest, JsonHasEveryPartInOrder) {
    writeFile(host / "/Library/Logs/job.log", "started\nfinished\n");
    const ShowReport report = makeShowReport(
        record(plistXml("<dict><key>Label</key><string>com.example.job</string>"
                        "<key>RunAtLoad</key><true/>"
                        "<key>ProgramArguments</key><array><string>/usr/local/bin/job</string>"
                        "<string>two words</string></array>"
                        "<key>StandardOutPath</key><string>/Library/Logs/job.log</string>"
                        "<key>StandardErrorPath</key><string>/Library/Logs/job.err</string>"
                        "</dict>")),
        layout());
    const nlohmann::ordered_json document = showJson(report);

    std::vector<std::string> keys;
    for (const auto& [key, value] : document.items()) {
        keys.push_back(key);
    }
    EXPECT_THAT(keys, ElementsAre("record", "definition", "triggers", "logs", "signer"));
    EXPECT_EQ(document["record"]["label"], "com.example.job");
    EXPECT_EQ(document["definition"]["RunAtLoad"], true);
    // The program is not on the host, which needs no codesign run to say.
    EXPECT_EQ(document["signer"].dump(),
              R"json({"kind":"missing","signer":"Missing","path":"/usr/local/bin/job"})json");

    ASSERT_EQ(document["triggers"].size(), 2u);
    EXPECT_EQ(document["triggers"][0].dump(),
              R"json({"kind":"RunAtLoad","text":"Runs when it is loaded (at boot or login)",)json"
              R"json("value":true})json");
    EXPECT_EQ(document["triggers"][1]["text"], "Command: /usr/local/bin/job 'two words'");

    ASSERT_EQ(document["logs"].size(), 2u);
    EXPECT_EQ(document["logs"][0]["state"], "present");
    EXPECT_EQ(document["logs"][0]["size"], 17);
    EXPECT_EQ(document["logs"][0]["lines"], nlohmann::ordered_json({"started", "finished"}));
    EXPECT_EQ(document["logs"][1]["state"], "missing");
    EXPECT_EQ(document["logs"][1]["message"], "No log file yet");
}

TEST_F(ShowReportTest, TextCannotCarryEscapeSequences) {
    writeFile(host / "/Library/Logs/job.log", "\x1b]0;owned\x07 done\n");
    const ShowReport report = makeShowReport(
        record(plistXml("<dict><key>Label</key><string>com.example.job</string>"
                        "<key>UserName</key><string>\x1b[2Jroot</string>"
                        "<key>StandardOutPath</key><string>/Library/Logs/job.log</string>"
                        "<key>KeepAlive</key><false/></dict>")),
        layout());
    std::ostringstream out;
    writeShowText(out, report);
    const std::string text = out.str();
    EXPECT_THAT(text, Not(HasSubstr("\x1b")));
    EXPECT_THAT(text, Not(HasSubstr("\x07")));
    EXPECT_THAT(text, HasSubstr("Runs as user \xE2\x90\x9B[2Jroot"));
    EXPECT_THAT(text, HasSubstr("| \xE2\x90\x9B]0;owned\xE2\x90\x87 done"));
    EXPECT_THAT(text, HasSubstr("  KeepAlive: false\n"));
}

TEST_F(ShowReportTest, RecordWithoutADefinition) {
    LaunchItem item;
    item.label = "Skyline";
    item.path = host / "/Applications/Skyline.app";
    test::makeDirectory(*item.path);
    item.scope = LaunchScope::user;
    const ShowReport report = makeShowReport(item, layout());
    EXPECT_FALSE(report.definition);
    EXPECT_TRUE(showJson(report)["definition"].is_null());
    std::ostringstream out;
    writeShowText(out, report);
    EXPECT_THAT(out.str(), HasSubstr("Why it runs\n  No definition to read\n"));
    EXPECT_THAT(out.str(), HasSubstr("Logs\n  None named in the definition\n"));
}

TEST(ShowTimeTest, UtcText) {
    EXPECT_EQ(utcTimeText(0), "1970-01-01T00:00:00Z");
    EXPECT_EQ(utcTimeText(1700000000), "2023-11-14T22:13:20Z");
}

// The built tool, on a host with one daemon and a launchctl that lists
// nothing: the first match is shown, a missing label exits 2.
TEST(CliShowEndToEndTest, ShowsTheFirstMatchAndExitsTwoForNone) {
    TemporaryHost host;
    writeFakeTool(host / "/bin/launchctl", "PID\tStatus\tLabel\n");
    writeFile(host / "/Library/LaunchDaemons/com.example.tick.plist",
              plistXml("<dict><key>Label</key><string>com.example.tick</string>"
                       "<key>Program</key><string>/usr/local/bin/tick</string>"
                       "<key>StartInterval</key><integer>3600</integer></dict>"));
    auto run = [&](std::vector<std::string> arguments) {
        std::vector<std::string> command = {"DAEMONARY_HOST_ROOT=" + host.root(),
                                            "HOME=" + (host / "/Users/demo"),
                                            DAEMONARY_BINARY_DIR "/bin/daemonary-cli", "show"};
        command.insert(command.end(), arguments.begin(), arguments.end());
        return runTool("/usr/bin/env", command, true, true);
    };

    const ToolResult json = run({"com.example.tick", "--scope", "System", "--json"});
    ASSERT_EQ(json.exitStatus, 0) << json.standardError;
    const auto document = nlohmann::ordered_json::parse(json.standardOutput);
    EXPECT_EQ(document["record"]["scope"], "System");
    EXPECT_EQ(document["triggers"][0]["text"], "Runs every 1 h");
    EXPECT_EQ(document["triggers"][0]["value"], 3600);

    const ToolResult text = run({"com.example.tick", "--scope", "System"});
    ASSERT_EQ(text.exitStatus, 0) << text.standardError;
    EXPECT_THAT(text.standardOutput, HasSubstr("com.example.tick (System)\n"));
    EXPECT_THAT(text.standardOutput, HasSubstr("\nWhy it runs\n  Runs every 1 h\n"));

    // Disabled as launchd says, the way `list` says it.
    writeFile(host / "/bin/launchctl",
              "#!/bin/sh\n"
              "if [ \"$1\" = print-disabled ]; then\n"
              "  printf 'disabled services = {\\n\\t\"com.example.tick\" => disabled\\n}\\n'\n"
              "else\n"
              "  printf 'PID\\tStatus\\tLabel\\n'\n"
              "fi\n",
              true);
    const ToolResult disabledJson = run({"com.example.tick", "--scope", "System", "--json"});
    ASSERT_EQ(disabledJson.exitStatus, 0) << disabledJson.standardError;
    EXPECT_EQ(nlohmann::ordered_json::parse(disabledJson.standardOutput)["record"]["disabled"],
              true);
    EXPECT_FALSE(document["record"].contains("disabled"));
    const ToolResult disabledText = run({"com.example.tick", "--scope", "System"});
    EXPECT_THAT(disabledText.standardOutput, HasSubstr("\n  Disabled:    yes"));
    EXPECT_THAT(text.standardOutput, Not(HasSubstr("Disabled:")));

    const ToolResult missing = run({"com.example.none", "--scope", "System"});
    EXPECT_EQ(missing.exitStatus, 2);
    EXPECT_EQ(missing.standardOutput, "");
    EXPECT_THAT(missing.standardError,
                HasSubstr("no service labelled \"com.example.none\" in System\n"));
}

} // namespace
} // namespace daemonary
