// What a host's files and tools can do to the command line: labels that try
// to rewrite the terminal, and tools that never answer.
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

    std::ostringstream list;
    writeListTable(list, LaunchScope::user, {evil}, nullptr);
    const LoadedCategories before{{LaunchScope::user, {}}};
    const LoadedCategories after{{LaunchScope::user, {evil}}};
    FingerprintReader reader(HostLayout::fromEnvironment());
    const Snapshot baseline = Snapshot::take(before, reader, "2026-12-07T13:00:00Z",
                                             "host" + std::string(kEraseLine), "me");
    const Snapshot current = Snapshot::take(after, reader, "2026-12-07T14:00:00Z", "host", "me");
    const SnapshotDiff diff = SnapshotDiff::between(baseline, current, {LaunchScope::user});
    std::ostringstream table;
    writeDiffTable(table, baseline, diff);
    // JSON stays JSON: the bytes are escaped the way JSON escapes them.
    const std::string json = diffJson(baseline, current, diff);
    for (const std::string& text :
         {list.str(), table.str(), json, Log::singleLine("Failed to read " + *evil.path)}) {
        EXPECT_FALSE(holdsTerminalControls(text)) << text;
    }
    EXPECT_THAT(table.str(), HasSubstr("\n+ User  com.evil"));
    EXPECT_EQ(nlohmann::json::parse(json)["added"][0]["label"], evil.label);
}

// Waits (with a bound far beyond need) until the condition holds.
template <typename Condition> bool eventually(Condition condition) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

// Gone, or a zombie no one has reaped yet: either way it runs no more.
bool hasEnded(pid_t pid) {
    const std::string stat = test::readText("/proc/" + std::to_string(pid) + "/stat");
    const auto close = stat.rfind(')');
    return close == std::string::npos || close + 2 >= stat.size() || stat[close + 2] == 'Z';
}

// A host whose tools are missing but for the one that never answers; it and
// the sleeper it starts append their process ids to <root>/stuck-pids.
class CliStuckToolTest : public ::testing::Test {
protected:
    void makeStuck(const std::string& tool) const {
        test::writeFile(host / "/Library/LaunchDaemons/com.example.daemon.plist",
                        test::definitionXml("com.example.daemon"));
        test::writeFile(host.home() + "/Library/LaunchAgents/com.example.agent.plist",
                        test::definitionXml("com.example.agent"));
        test::makeDirectory(host / "/Library/Extensions/Example.kext");
        std::filesystem::remove(pids());
        test::writeFile(host / tool,
                        "#!/bin/sh\necho $$ >> " + pids() + "\nsleep 100000 &\necho $! >> " +
                            pids() + "\nwait\n",
                        true);
    }

    std::string pids() const { return host.root() + "/stuck-pids"; }

    std::vector<pid_t> stuckProcesses() const {
        std::vector<pid_t> found;
        std::istringstream lines(test::readText(pids()));
        for (pid_t pid = 0; lines >> pid;) {
            found.push_back(pid);
        }
        return found;
    }

    bool stuckProcessesEnd() const {
        const std::vector<pid_t> stuck = stuckProcesses();
        return stuck.size() >= 2 &&
               eventually([&] { return std::all_of(stuck.begin(), stuck.end(), hasEnded); });
    }

    std::vector<std::string> command(std::string_view timeoutMilliseconds,
                                     const std::string& scope) const {
        return {"DAEMONARY_HOST_ROOT=" + host.root(),
                "HOME=" + host.home(),
                "DAEMONARY_TOOL_TIMEOUT_MS=" + std::string(timeoutMilliseconds),
                DAEMONARY_BINARY_DIR "/bin/daemonary-cli",
                "list",
                "--scope",
                scope};
    }

    test::TemporaryHost host;
};

TEST_F(CliStuckToolTest, EachStuckToolCostsItsLimitAndTheCategoryGoesOn) {
    struct Case {
        std::string tool;
        std::string scope;
        std::string listed; // what the category still shows
        std::string logged; // the one line per stuck run
        bool verbose;
    };
    const std::vector<Case> cases = {
        {"/bin/launchctl", "System", "com.example.daemon", "launchctl list did not answer", false},
        {"/usr/bin/osascript", "User", "com.example.agent", "osascript did not answer", true},
        {"/usr/bin/kmutil", "Kernel", "Example.kext", "kmutil showloaded did not answer", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.tool);
        makeStuck(c.tool);
        std::vector<std::string> arguments = command("400", c.scope);
        if (c.verbose) {
            arguments.push_back("-v");
        }
        // A listing that hangs fails the test instead of stalling the suite.
        ToolOptions bounded;
        bounded.captureOutput = bounded.captureError = true;
        bounded.timeLimit = std::chrono::seconds(60);
        const auto started = std::chrono::steady_clock::now();
        const ToolResult run = runTool("/usr/bin/env", arguments, bounded);
        // Well under the 10 s default: the limit given was the one applied.
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(8));
        EXPECT_EQ(run.exitStatus, 0) << run.standardError;
        EXPECT_THAT(run.standardOutput, HasSubstr(c.scope + ": 1 item, 0 running\n"));
        EXPECT_THAT(run.standardOutput, HasSubstr(c.listed));
        const std::string logged = c.logged + " within 400 ms and was stopped\n";
        EXPECT_THAT(run.standardError, HasSubstr(logged));
        EXPECT_EQ(run.standardError.find(logged), run.standardError.rfind(logged));
        // Chatter only when asked for.
        EXPECT_EQ(run.standardError.find("Scanning directory") != std::string::npos, c.verbose);
        // The tool and what it started were killed, not left behind.
        EXPECT_TRUE(stuckProcessesEnd());
        std::filesystem::remove(host / c.tool);
    }
}

TEST_F(CliStuckToolTest, InterruptingTheListingEndsTheStuckTools) {
    makeStuck("/bin/launchctl");
    // A limit far beyond the test: only the interrupt can end the tools.
    std::vector<std::string> words = command("600000", "System");
    std::vector<char*> argv{const_cast<char*>("/usr/bin/env")};
    for (std::string& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    pid_t cli = -1;
    ASSERT_EQ(::posix_spawn(&cli, "/usr/bin/env", nullptr, nullptr, argv.data(), environ), 0);
    ASSERT_TRUE(eventually([&] { return stuckProcesses().size() >= 2; }));

    ASSERT_EQ(::kill(cli, SIGINT), 0);
    int status = 0;
    if (!eventually([&] { return ::waitpid(cli, &status, WNOHANG) == cli; })) {
        ::kill(cli, SIGKILL);
        ::waitpid(cli, &status, 0);
        FAIL() << "the listing did not end on SIGINT";
    }
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT);
    EXPECT_TRUE(stuckProcessesEnd());
    for (const pid_t pid : stuckProcesses()) {
        ::kill(pid, SIGKILL); // never left behind, even when the test fails
    }
}

} // namespace
} // namespace daemonary
