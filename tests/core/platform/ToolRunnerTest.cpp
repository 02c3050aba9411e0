#include "platform/ToolRunner.h"

#include "text/Text.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <set>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace daemonary {
namespace {

namespace fs = std::filesystem;

class ToolRunnerTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "daemonary-tool-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        m_dir = pattern;
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(m_dir, ignored);
        // Every child must have been reaped by the call that started it.
        errno = 0;
        EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
        EXPECT_EQ(errno, ECHILD);
    }

    std::string script(const std::string& name, const std::string& body) {
        const fs::path path = m_dir / name;
        std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
        fs::permissions(path, fs::perms::owner_all);
        return path.string();
    }

    fs::path m_dir;
};

TEST_F(ToolRunnerTest, CapturesBothStreamsAndExitStatus) {
    const auto tool = script("tool", "printf 'out:%s|' \"$@\"; printf err >&2; exit 3");
    const ToolResult result = runTool(tool, {"a b", "", "$HOME", "*"}, true, true);
    EXPECT_FALSE(result.launchError);
    // Arguments arrive unchanged: no shell splitting, globbing or expansion.
    EXPECT_EQ(result.standardOutput, "out:a b|out:|out:$HOME|out:*|");
    EXPECT_EQ(result.standardError, "err");
    EXPECT_EQ(result.exitStatus, 3);
}

TEST_F(ToolRunnerTest, UncapturedStreamStaysEmpty) {
    const auto tool = script("tool", "echo visible; echo hidden >&2");
    const ToolResult onlyOut = runTool(tool, {}, true, false);
    EXPECT_EQ(onlyOut.standardOutput, "visible\n");
    EXPECT_EQ(onlyOut.standardError, "");
    const ToolResult onlyErr = runTool(tool, {}, false, true);
    EXPECT_EQ(onlyErr.standardOutput, "");
    EXPECT_EQ(onlyErr.standardError, "hidden\n");
    const ToolResult neither = runTool(script("quiet", "exit 0"), {}, false, false);
    EXPECT_FALSE(neither.launchError);
    EXPECT_EQ(neither.exitStatus, 0);
}

TEST_F(ToolRunnerTest, LargeErrorOutputDoesNotBlockCapturedOutput) {
    // 1 MiB to standard error, far more than a pipe holds, then a line on
    // standard output: only a reader that drains both streams finishes.
    const auto tool = script("flood", "head -c 1048576 /dev/zero | tr '\\0' x >&2; echo done; "
                                      "head -c 1048576 /dev/zero | tr '\\0' y");
    const ToolResult result = runTool(tool, {}, true, true);
    EXPECT_EQ(result.standardError.size(), 1048576u);
    EXPECT_EQ(result.standardError.find_first_not_of('x'), std::string::npos);
    ASSERT_EQ(result.standardOutput.size(), 5u + 1048576u);
    EXPECT_EQ(result.standardOutput.substr(0, 5), "done\n");
    EXPECT_EQ(result.exitStatus, 0);
}

TEST_F(ToolRunnerTest, LaunchFailuresCarryTheError) {
    const ToolResult missing = runTool((m_dir / "missing").string(), {}, true, true);
    ASSERT_TRUE(missing.launchError);
    EXPECT_EQ(missing.launchError->code, ENOENT);
    EXPECT_FALSE(missing.launchError->description.empty());
    EXPECT_EQ(missing.standardOutput, "");
    EXPECT_EQ(missing.exitStatus, 0);

    const auto notExecutable = m_dir / "plain";
    std::ofstream(notExecutable) << "#!/bin/sh\necho hi\n";
    const ToolResult denied = runTool(notExecutable.string(), {}, true, false);
    ASSERT_TRUE(denied.launchError);
    EXPECT_EQ(denied.launchError->code, EACCES);

    // Relative paths are never resolved against a search path or the cwd.
    const ToolResult relative = runTool("sh", {"-c", "exit 0"}, false, false);
    ASSERT_TRUE(relative.launchError);
}

TEST_F(ToolRunnerTest, SignalledChildReportsTheSignalNumber) {
    // What the platform's process API reports as the termination status of a
    // child ended by an uncaught signal; an exit code stays the exit code.
    for (const int signalNumber : {SIGTERM, SIGKILL, SIGHUP}) {
        const auto tool = script("victim" + std::to_string(signalNumber),
                                 "kill -" + std::to_string(signalNumber) + " $$");
        EXPECT_EQ(runTool(tool, {}, true, true).exitStatus, signalNumber);
    }
    EXPECT_EQ(runTool(script("exits", "exit 143"), {}, true, true).exitStatus, 143);
}

// "gone" when no such process exists, else its state letter (Z for zombie).
char processState(const std::string& pid) {
    std::ifstream stat("/proc/" + pid + "/stat");
    std::string text;
    if (!std::getline(stat, text)) {
        return 'X';
    }
    const auto close = text.rfind(')');
    return close == std::string::npos || close + 2 >= text.size() ? '?' : text[close + 2];
}

TEST_F(ToolRunnerTest, ChildThatNeverEndsIsKilledAndReapedAtTheLimit) {
    struct Case {
        const char* name;
        std::string body;
    };
    // Each prints its pid and its grandchild's, some output, then never ends:
    // with its pipes open, and with them closed (nothing left to drain).
    const std::vector<Case> cases = {
        {"sleeper", "sleep 1000 & echo $$ $!; echo partial >&2; wait"},
        {"closer", "sleep 1000 & echo $$ $!; echo partial >&2; exec >&- 2>&-; wait"},
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        ToolOptions options;
        options.captureOutput = true;
        options.captureError = true;
        options.timeLimit = std::chrono::milliseconds(300);
        const ToolResult result = runTool(script(testCase.name, testCase.body), {}, options);
        EXPECT_FALSE(result.launchError);
        EXPECT_TRUE(result.timedOut);
        EXPECT_EQ(result.standardError, "partial\n"); // drained up to the kill
        std::istringstream pids(result.standardOutput);
        std::string child;
        std::string grandchild;
        ASSERT_TRUE(pids >> child >> grandchild) << result.standardOutput;
        // The child is reaped, not left as a zombie; its group went with it
        // (the grandchild may linger as a zombie until init collects it).
        EXPECT_EQ(processState(child), 'X');
        // The signal reaches it at once but dying takes the kernel a moment.
        char grandchildState = processState(grandchild);
        const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (grandchildState != 'X' && grandchildState != 'Z' &&
               std::chrono::steady_clock::now() < giveUp) {
            std::this_thread::yield();
            grandchildState = processState(grandchild);
        }
        EXPECT_TRUE(grandchildState == 'X' || grandchildState == 'Z') << grandchildState;
    }
}

TEST_F(ToolRunnerTest, LimitedRunThatEndsInTimeIsAnOrdinaryResult) {
    ToolOptions options;
    options.captureOutput = true;
    options.timeLimit = std::chrono::seconds(30);
    const ToolResult result = runTool(script("quick", "echo done; exit 4"), {}, options);
    EXPECT_FALSE(result.timedOut);
    EXPECT_EQ(result.standardOutput, "done\n");
    EXPECT_EQ(result.exitStatus, 4);
}

TEST_F(ToolRunnerTest, CancelEndsARunAsATimeoutWould) {
    std::atomic<bool> cancel = false;
    ToolOptions options;
    options.captureOutput = true;
    options.cancel = &cancel;
    std::thread canceller([&] {
        // Cancelled once the child has shown it runs.
        while (!fs::exists(m_dir / "running")) {
            std::this_thread::yield();
        }
        cancel = true;
    });
    const auto tool =
        script("waiter", "touch '" + (m_dir / "running").string() + "'; exec sleep 1000");
    const ToolResult result = runTool(tool, {}, options);
    canceller.join();
    EXPECT_TRUE(result.timedOut);
}

TEST_F(ToolRunnerTest, CaptureLimitIsPerCall) {
    ToolOptions options;
    options.captureError = true;
    options.maxCapturedBytes = 1000;
    const ToolResult result = runTool(script("chatty", "head -c 5000 /dev/zero >&2"), {}, options);
    ASSERT_TRUE(result.launchError);
    EXPECT_EQ(result.launchError->code, EFBIG);
    EXPECT_TRUE(result.standardError.empty());
}

// Pipe descriptors above the standard three that this process would pass to
// any child (ones it already had without close-on-exec, e.g. from a runner).
std::set<std::string> inheritablePipes() {
    std::set<std::string> pipes;
    for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
        const int fd = std::atoi(entry.path().filename().c_str());
        std::error_code error;
        const auto target = fs::read_symlink(entry.path(), error).string();
        if (fd > 2 && target.starts_with("pipe:") && (::fcntl(fd, F_GETFD) & FD_CLOEXEC) == 0) {
            pipes.insert(target);
        }
    }
    return pipes;
}

TEST_F(ToolRunnerTest, ChildSeesNoPipesButItsOwnStreams) {
    // Every pipe end is close-on-exec: a child must not hold the read ends of
    // its own pipes, nor the pipes of calls running at the same time on other
    // threads (those would keep another call from ever seeing end of file).
    const auto tool = script("fds", "for f in /proc/$$/fd/*; do "
                                    "n=${f##*/}; [ \"$n\" -gt 2 ] && readlink \"$f\"; done; true");
    const auto allowed = inheritablePipes();
    auto check = [&] {
        for (int i = 0; i < 10; ++i) {
            const ToolResult result = runTool(tool, {}, true, true);
            ASSERT_FALSE(result.launchError);
            std::istringstream lines(result.standardOutput);
            for (std::string line; std::getline(lines, line);) {
                if (line.starts_with("pipe:")) {
                    EXPECT_TRUE(allowed.count(line)) << "inherited " << line;
                }
            }
        }
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back(check);
    }
    for (auto& thread : threads) {
        thread.join();
    }
}

TEST_F(ToolRunnerTest, AToolThatAsksReadsNothingFromOurInput) {
    // A tool asking for a password must never read what the user types into
    // this program: our own standard input holds an answer it must not see.
    int answer[2];
    ASSERT_EQ(::pipe(answer), 0);
    ASSERT_EQ(::write(answer[1], "secret\n", 7), 7);
    ::close(answer[1]);
    const int saved = ::dup(STDIN_FILENO);
    ASSERT_GE(::dup2(answer[0], STDIN_FILENO), 0);
    ::close(answer[0]);
    const auto tool = script("asks", "read -r word; printf '[%s]' \"$word\"");
    ToolOptions options;
    options.captureOutput = true;
    options.timeLimit = std::chrono::seconds(30);
    const ToolResult result = runTool(tool, {}, options);
    ::dup2(saved, STDIN_FILENO);
    ::close(saved);
    EXPECT_FALSE(result.timedOut);
    EXPECT_EQ(result.standardOutput, "[]");
}

TEST(DecodeUtf8Test, AcceptsValidText) {
    EXPECT_EQ(decodeUtf8(""), std::optional<std::string>(""));
    EXPECT_EQ(decodeUtf8("plain"), "plain");
    const std::string mixed = "\x7f \xc2\x80 \xdf\xbf \xe0\xa0\x80 \xed\x9f\xbf \xee\x80\x80 "
                              "\xef\xbf\xbf \xf0\x90\x80\x80 \xf4\x8f\xbf\xbf";
    EXPECT_EQ(decodeUtf8(mixed), mixed);
    EXPECT_EQ(decodeUtf8(std::string("a\0b", 3)), std::string("a\0b", 3));
}

TEST(DecodeUtf8Test, RejectsInvalidSequences) {
    for (const char* bad : {
             "\x80",             // lone continuation
             "\xc0\xaf",         // overlong "/"
             "\xc1\xbf",         // overlong
             "\xe0\x80\xaf",     // overlong
             "\xf0\x80\x80\xaf", // overlong
             "\xed\xa0\x80",     // surrogate
             "\xed\xbf\xbf",     // surrogate
             "\xf4\x90\x80\x80", // above U+10FFFF
             "\xf8\x88\x80\x80\x80", "\xff",
             "ok\xc3",       // truncated at the end
             "\xe2\x82",     // truncated
             "\xe2\x28\xa1", // bad continuation
         }) {
        EXPECT_EQ(decodeUtf8(bad), std::nullopt) << ::testing::PrintToString(std::string(bad));
    }
}

} // namespace
} // namespace daemonary
