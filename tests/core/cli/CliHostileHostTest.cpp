// What a host's files and tools can do to the command line: labels that try
// to rewrite the terminal, and tools that never answer.
#include "Cli.h"
#include "DiffCommand.h"
#include "DiscoveryTestSupport.h"
#include "ListCommand.h"
#include "baseline/Snapshot.h"
#include "baseline/SnapshotDiff.h"
#include "platform/Log.h"
#include "platform/ToolRunner.h"

#include <chrono>
#include <csignal>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <spawn.h>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace daemonary {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

constexpr std::string_view kEraseLine = "\x1b[2K\r";

bool holdsTerminalControls(std::string_view text) {
    return std::any_of(text.begin(), text.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return (byte < 0x20 && c != '\n') || byte == 0x7f;
    });
}

TEST(CliHostileTextTest, AnEscapeInALabelCannotEraseItsLineInListOrDiff) {
    LaunchItem evil;
    evil.label = "com.evil" + std::string(kEraseLine) + "com.apple.fine";
    evil.path = "/Library/LaunchAgents/x" + std::string(kEraseLine) + ".plist";
    evil.scope = LaunchScope::user;
    evil.status = ServiceStatus::active;
    evil.pid = 42;

    std::ostringstream list;
    writeListTable(list, LaunchScope::user, {evil}, nullptr);
    EXPECT_FALSE(holdsTerminalControls(list.str())) << list.str();
    EXPECT_THAT(list.str(), HasSubstr("User: 1 item, 1 running\n"));

    const LoadedCategories before{{LaunchScope::user, {}}};
    const LoadedCategories after{{LaunchScope::user, {evil}}};
    const Snapshot baseline =
        Snapshot::take(before, "2026-12-07T13:00:00Z", "host" + std::string(kEraseLine), "me");
    const Snapshot current = Snapshot::take(after, "2026-12-07T14:00:00Z", "host", "me");
    const SnapshotDiff diff = SnapshotDiff::between(baseline, current, {LaunchScope::user});
    std::ostringstream table;
    writeDiffTable(table, baseline, diff);
    EXPECT_FALSE(holdsTerminalControls(table.str())) << table.str();
    EXPECT_THAT(table.str(), HasSubstr("\n+ User  com.evil"));

    // JSON stays JSON: the bytes are escaped the way JSON escapes them.
    const std::string json = diffJson(baseline, current, diff);
    EXPECT_FALSE(holdsTerminalControls(json));
    EXPECT_THAT(json, HasSubstr("com.evil\\u001b[2K\\rcom.apple.fine"));
    EXPECT_EQ(nlohmann::json::parse(json)["added"][0]["label"], evil.label);
    const std::string listed = listJson(after, nullptr);
    EXPECT_EQ(nlohmann::json::parse(listed)["User"][0]["label"], evil.label);

    // Nor in a log line.
    EXPECT_FALSE(holdsTerminalControls(Log::singleLine("Failed to read " + *evil.path)));
}

// A host whose tools are missing but for the one that never answers; it and
// the sleeper it starts append their process ids to <root>/stuck-pids.
class CliStuckToolTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(host.root().empty());
        test::writeFile(host / "/Library/LaunchDaemons/com.example.daemon.plist",
                        test::definitionXml("com.example.daemon"));
        test::writeFile(host.home() + "/Library/LaunchAgents/com.example.agent.plist",
                        test::definitionXml("com.example.agent"));
        test::makeDirectory(host / "/Library/Extensions/Example.kext/Contents");
    }

    void makeStuck(const std::string& tool) const {
        test::writeFile(host / tool,
                        "#!/bin/sh\necho $$ >> '" + pids() + "'\nsleep 100000 &\necho $! >> '" +
                            pids() + "'\nwait\n",
                        true);
    }

    std::string pids() const { return host.root() + "/stuck-pids"; }

    std::vector<pid_t> stuckProcesses() const {
        std::vector<pid_t> found;
        std::istringstream lines(test::readText(pids()));
        for (std::string line; std::getline(lines, line);) {
            found.push_back(static_cast<pid_t>(std::stoi(line)));
        }
        return found;
    }

    std::vector<std::string> environment(std::string_view timeoutMilliseconds) const {
        return {"DAEMONARY_HOST_ROOT=" + host.root(), "HOME=" + host.home(),
                "DAEMONARY_TOOL_TIMEOUT_MS=" + std::string(timeoutMilliseconds)};
    }

    test::TemporaryHost host;
};

// Gone or a zombie no one has reaped yet: either way it runs no more.
bool hasEnded(pid_t pid) {
    const std::string stat = test::readText("/proc/" + std::to_string(pid) + "/stat");
    const auto close = stat.rfind(')');
    return close == std::string::npos || close + 2 >= stat.size() || stat[close + 2] == 'Z';
}

bool allEnd(const std::vector<pid_t>& pids) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < deadline) {
        if (std::all_of(pids.begin(), pids.end(), hasEnded)) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

TEST_F(CliStuckToolTest, EachStuckToolCostsItsLimitAndTheCategoryGoesOn) {
    struct Case {
        std::string tool;
        std::string scope;
        std::string listed; // what the category still shows
        std::string logged; // the one line per stuck run
        bool verbose;
    };
    const std::vector<Case> cases = {
        {"/bin/launchctl", "System", "com.example.daemon",
         "launchctl list did not answer within 400 ms and was stopped", false},
        {"/usr/bin/osascript", "User", "com.example.agent",
         "osascript did not answer within 400 ms and was stopped", true},
        {"/usr/bin/kmutil", "Kernel", "Example",
         "kmutil showloaded did not answer within 400 ms and was stopped", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.tool);
        std::filesystem::remove(pids());
        makeStuck(c.tool);
        std::vector<std::string> arguments = environment("400");
        arguments.insert(arguments.end(),
                         {DAEMONARY_BINARY_DIR "/bin/daemonary-cli", "list", "--scope", c.scope});
        if (c.verbose) {
            arguments.push_back("-v");
        }
        const auto started = std::chrono::steady_clock::now();
        // A listing that hangs fails the test instead of stalling the suite.
        ToolOptions bounded;
        bounded.captureOutput = bounded.captureError = true;
        bounded.timeLimit = std::chrono::seconds(60);
        const ToolResult run = runTool("/usr/bin/env", arguments, bounded);
        ASSERT_FALSE(run.timedOut);
        // Well under the 10 s default: the limit given was the one applied.
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(8));
        EXPECT_EQ(run.exitStatus, 0) << run.standardError;
        EXPECT_THAT(run.standardOutput, HasSubstr(c.scope + ": 1 item, 0 running\n"));
        EXPECT_THAT(run.standardOutput, HasSubstr(c.listed));
        EXPECT_THAT(run.standardError, HasSubstr(c.logged + "\n"));
        EXPECT_EQ(run.standardError.find(c.logged), run.standardError.rfind(c.logged));
        // Chatter only when asked for.
        EXPECT_EQ(run.standardError.find("Scanning directory") != std::string::npos, c.verbose);
        // The tool and what it started were killed, not left behind.
        EXPECT_GE(stuckProcesses().size(), 2u);
        EXPECT_TRUE(allEnd(stuckProcesses()));
        std::filesystem::remove(host / c.tool);
    }
}

TEST_F(CliStuckToolTest, InterruptingTheListingEndsTheStuckTools) {
    makeStuck("/bin/launchctl");
    // A limit far beyond the test: only the interrupt can end the tools.
    std::vector<std::string> words = environment("600000");
    words.insert(words.end(),
                 {DAEMONARY_BINARY_DIR "/bin/daemonary-cli", "list", "--scope", "System"});
    std::vector<char*> argv{const_cast<char*>("/usr/bin/env")};
    for (std::string& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    pid_t cli = -1;
    ASSERT_EQ(::posix_spawn(&cli, "/usr/bin/env", nullptr, nullptr, argv.data(), environ), 0);

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (stuckProcesses().size() < 2 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    const std::vector<pid_t> stuck = stuckProcesses();
    ASSERT_GE(stuck.size(), 2u);

    ASSERT_EQ(::kill(cli, SIGINT), 0);
    int status = 0;
    pid_t waited = 0;
    while ((waited = ::waitpid(cli, &status, WNOHANG)) == 0 &&
           std::chrono::steady_clock::now() < deadline + std::chrono::seconds(30)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (waited == 0) {
        ::kill(cli, SIGKILL);
        ::waitpid(cli, &status, 0);
        FAIL() << "the listing did not end on SIGINT";
    }
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT);
    EXPECT_TRUE(allEnd(stuck));
    for (const pid_t pid : stuck) {
        ::kill(pid, SIGKILL); // never left behind, even when the test fails
    }
}

} // namespace
} // namespace daemonary
