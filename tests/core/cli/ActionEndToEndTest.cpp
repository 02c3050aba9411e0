// Start, stop and login-item removal against the simulated host, through the
// same tool links and the same command-line tool a user would run.

#include "ActionTestSupport.h"
#include "actions/ServiceActionManager.h"
#include "platform/Log.h"
#include "platform/ToolRunner.h"

#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace daemonary {
namespace {

namespace fs = std::filesystem;
using test::readWholeFile;
using test::TemporaryFolder;
using test::writeFile;

constexpr const char* kHostsim = DAEMONARY_HOSTSIM_PATH;
constexpr const char* kCli = DAEMONARY_CLI_PATH;
constexpr const char* kLabel = "com.example.e2e-agent";
// Short enough for the kernel to keep the whole process name.
constexpr const char* kProgram = "/usr/local/libexec/e2e-agent";

// Sets an environment variable for the lifetime of the object.
class ScopedVariable {
public:
    ScopedVariable(const char* name, const std::string& value) : m_name(name) {
        if (const char* previous = std::getenv(name)) {
            m_previous = previous;
        }
        ::setenv(name, value.c_str(), 1);
    }
    ~ScopedVariable() {
        if (m_previous) {
            ::setenv(m_name, m_previous->c_str(), 1);
        } else {
            ::unsetenv(m_name);
        }
    }
    ScopedVariable(const ScopedVariable&) = delete;
    ScopedVariable& operator=(const ScopedVariable&) = delete;

private:
    const char* m_name;
    std::optional<std::string> m_previous;
};

// Alive, and not merely waiting for its parent to reap it.
bool isLive(std::int32_t pid) {
    const std::string stat = readWholeFile("/proc/" + std::to_string(pid) + "/stat").value_or("");
    const auto close = stat.rfind(')');
    return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] != 'Z' &&
           stat[close + 2] != 'X';
}

class ActionEndToEndTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(root.path().empty());
        // Job processes outlive the tool run that started them. The test
        // adopts them, as launchd would, so that a stopped job is reaped
        // rather than left as a zombie that still carries its name.
        ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
        fs::create_directories(root / "bin");
        fs::create_directories(root / "usr/bin");
        fs::create_symlink(kHostsim, root / "bin/launchctl");
        for (const char* tool : {"kmutil", "osascript", "codesign"}) {
            fs::create_symlink(kHostsim, root / (std::string("usr/bin/") + tool));
        }
        writeFile(root / ".hostsim/state.json", "{}");
    }

    void TearDown() override {
        ScopedVariable hostRoot("DAEMONARY_HOST_ROOT", root.path());
        const ToolResult shutdown = runTool(kHostsim, {"shutdown"}, true, true);
        EXPECT_EQ(shutdown.exitStatus, 0) << shutdown.standardError;
        while (::waitpid(-1, nullptr, WNOHANG) > 0) {
        }
        ::prctl(PR_SET_CHILD_SUBREAPER, 0);
    }

    struct CliRun {
        int status = -1;
        std::string out;
        std::string err;
    };
    CliRun cli(const std::vector<std::string>& arguments) {
        ScopedVariable hostRoot("DAEMONARY_HOST_ROOT", root.path());
        ScopedVariable home("HOME", root / "Users/demo");
        const ToolResult result = runTool(kCli, arguments, true, true);
        EXPECT_FALSE(result.launchError);
        return {result.exitStatus, result.standardOutput, result.standardError};
    }

    // The agent's record as `list --json --scope User` shows it.
    nlohmann::json listedAgent() {
        const CliRun list = cli({"list", "--json", "--scope", "User"});
        EXPECT_EQ(list.status, 0) << list.err;
        const auto document = nlohmann::json::parse(list.out, nullptr, false);
        if (document.is_object() && document.contains("User")) {
            for (const auto& record : document["User"]) {
                if (record.value("label", "") == kLabel) {
                    return record;
                }
            }
        }
        ADD_FAILURE() << "no " << kLabel << " in " << list.out;
        return nlohmann::json::object();
    }

    TemporaryFolder root;
};

TEST_F(ActionEndToEndTest, StartedAgentGetsAProcessAndStopEndsIt) {
    writeFile(root / "Users/demo/Library/LaunchAgents/com.example.e2e-agent.plist",
              std::string("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                          "<plist version=\"1.0\"><dict><key>Label</key><string>") +
                  kLabel + "</string><key>ProgramArguments</key><array><string>" + kProgram +
                  "</string></array></dict></plist>\n");

    nlohmann::json agent = listedAgent();
    EXPECT_FALSE(agent.contains("pid")) << agent;

    CliRun stop = cli({"stop", kLabel, "--scope", "User"});
    EXPECT_EQ(stop.status, 1);
    EXPECT_NE(stop.err.find("is not running"), std::string::npos) << stop.err;

    CliRun start = cli({"start", kLabel, "--scope", "User"});
    ASSERT_EQ(start.status, 0) << start.err;
    EXPECT_EQ(start.out, std::string("Started ") + kLabel + " (User)\n");

    agent = listedAgent();
    ASSERT_TRUE(agent.contains("pid")) << agent;
    EXPECT_EQ(agent["status"], "Active");
    const std::int32_t pid = agent["pid"].get<std::int32_t>();
    EXPECT_TRUE(isLive(pid));
    EXPECT_EQ(readWholeFile("/proc/" + std::to_string(pid) + "/comm"), "e2e-agent\n");

    CliRun again = cli({"start", kLabel});
    EXPECT_EQ(again.status, 1);
    EXPECT_NE(again.err.find("is already running (PID " + std::to_string(pid) + ")"),
              std::string::npos)
        << again.err;

    stop = cli({"toggle", kLabel, "--scope", "User"});
    ASSERT_EQ(stop.status, 0) << stop.err;
    EXPECT_EQ(stop.out,
              std::string("Stopped ") + kLabel + " (User), was PID " + std::to_string(pid) + "\n");
    // Already gone: bootout waits for the process to end.
    EXPECT_EQ(::waitpid(pid, nullptr, WNOHANG), pid);
    agent = listedAgent();
    EXPECT_FALSE(agent.contains("pid")) << agent;
    EXPECT_EQ(agent["status"], "Inactive");

    EXPECT_EQ(cli({"stop", "com.example.nothing"}).status, 2);
}

TEST_F(ActionEndToEndTest, HostileLoginItemPathDeletesThatItemAndRunsNothing) {
    const std::string pwned = root / "pwned";
    const std::string hostile =
        "Applications/x\" & (do shell script \"touch " + pwned + "\") & \".app";
    nlohmann::json state = {{"loginItems",
                             {{{"name", "Hostile"}, {"path", hostile}},
                              {{"name", "X"}, {"path", "Applications/x.app"}},
                              {{"name", "Plain"}, {"path", "Applications/x"}}}}};
    writeFile(root / ".hostsim/state.json", state.dump());

    Log::setSink([](std::string_view) {});
    struct NoWorkspace : Workspace {
        void selectFilesInFileManager(const std::vector<std::string>&) override {}
        std::optional<WorkspaceError> moveToTrash(const std::string&) override {
            return WorkspaceError{"unused"};
        }
        std::optional<WorkspaceError> unregisterOwnLoginItem() override {
            return WorkspaceError{"unused"};
        }
        std::optional<std::string> ownBundlePath() const override { return std::nullopt; }
    } workspace;
    const ServiceActionManager manager(workspace, HostLayout(root.path(), root / "Users/demo"));
    int refreshes = 0;
    LaunchItem item;
    item.label = "Hostile";
    item.path = root / hostile;
    item.scope = LaunchScope::user;
    item.type = ServiceType::loginItem;
    manager.removeService(item, [&refreshes] { ++refreshes; });
    Log::setSink({});

    EXPECT_EQ(refreshes, 1);
    EXPECT_FALSE(fs::exists(pwned));
    const ToolResult listing = runTool(
        root / "usr/bin/osascript",
        {"-e", "tell application \"System Events\" to get {name, path} of every login item"}, true,
        true);
    EXPECT_EQ(listing.standardOutput, "X, Plain, " + (root / "Applications/x.app") + ", " +
                                          (root / "Applications/x") + "\n")
        << listing.standardError;
}

TEST_F(ActionEndToEndTest, DisabledAgentStaysDownAcrossLoginsUntilEnabled) {
    // Its own label and program name: the process table is shared.
    const std::string label = "com.example.e2e-disabled";
    const std::string definition = "Users/demo/Library/LaunchAgents/" + label + ".plist";
    writeFile(root / definition,
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
              "<key>Label</key><string>" +
                  label +
                  "</string><key>ProgramArguments</key><array>"
                  "<string>/usr/local/libexec/e2e-disabled</string></array></dict></plist>\n");
    writeFile(root / "Library/LaunchDaemons/com.example.e2e-daemon.plist",
              "<plist version=\"1.0\"><dict><key>Label</key><string>com.example.e2e-daemon"
              "</string><key>Program</key><string>/usr/sbin/e2e-daemon</string></dict></plist>\n");
    // Loaded and meant to run, as after a login.
    const nlohmann::json state = {{"jobs",
                                   {{{"label", label},
                                     {"path", definition},
                                     {"program", "/usr/local/libexec/e2e-disabled"},
                                     {"running", true}}}}};
    writeFile(root / ".hostsim/state.json", state.dump());
    const auto boot = [this] {
        ScopedVariable hostRoot("DAEMONARY_HOST_ROOT", root.path());
        EXPECT_EQ(runTool(kHostsim, {"shutdown"}, true, true).exitStatus, 0);
        EXPECT_EQ(runTool(kHostsim, {"boot"}, true, true).exitStatus, 0);
    };
    const auto listed = [this, &label] {
        const CliRun list = cli({"list", "--json", "--scope", "User"});
        EXPECT_EQ(list.status, 0) << list.err;
        const auto document = nlohmann::json::parse(list.out);
        for (const auto& record : document["User"]) {
            if (record["label"] == label) {
                return record;
            }
        }
        ADD_FAILURE() << "no " << label << " in " << list.out;
        return nlohmann::json::object();
    };

    boot();
    nlohmann::json agent = listed();
    ASSERT_TRUE(agent.contains("pid")) << agent;
    EXPECT_FALSE(agent.contains("disabled")) << agent;
    const std::int32_t pid = agent["pid"].get<std::int32_t>();

    // Disabling leaves the running process alone and says so.
    CliRun disable = cli({"disable", label, "--scope", "User"});
    ASSERT_EQ(disable.status, 0) << disable.err;
    EXPECT_EQ(disable.out, "Disabled " + label + " (User); it is still running (PID " +
                               std::to_string(pid) + "): \"daemonary-cli stop\" ends it now\n");
    EXPECT_TRUE(isLive(pid));
    agent = listed();
    EXPECT_EQ(agent["disabled"], true) << agent;
    EXPECT_EQ(agent["pid"], pid);

    // Logged in again: it stays down, and starting it says why not.
    boot();
    agent = listed();
    EXPECT_FALSE(agent.contains("pid")) << agent;
    EXPECT_EQ(agent["disabled"], true);
    CliRun start = cli({"start", label, "--scope", "User"});
    EXPECT_EQ(start.status, 1);
    // Refused before launchctl is asked, as the window offers Enable first.
    EXPECT_NE(start.err.find("was not started: It is disabled; enable it first"), std::string::npos)
        << start.err;
    const CliRun table = cli({"list", "--scope", "User"});
    EXPECT_NE(table.out.find("DISABLED"), std::string::npos) << table.out;

    CliRun enable = cli({"enable", label});
    ASSERT_EQ(enable.status, 0) << enable.err;
    EXPECT_EQ(enable.out.rfind("Enabled " + label + " (User)", 0), 0u) << enable.out;
    agent = listed();
    EXPECT_FALSE(agent.contains("disabled")) << agent;
    EXPECT_FALSE(agent.contains("pid")) << agent; // enabling starts nothing
    boot();
    agent = listed();
    ASSERT_TRUE(agent.contains("pid")) << agent;
    EXPECT_TRUE(isLive(agent["pid"].get<std::int32_t>()));

    // Daemons are refused with the command an administrator would run.
    CliRun daemon = cli({"disable", "com.example.e2e-daemon"});
    EXPECT_EQ(daemon.status, 1);
    EXPECT_NE(daemon.err.find("daemonary-cli disable: Failed to disable com.example.e2e-daemon "
                              "(System): Disabling a daemon needs administrator rights: sudo "
                              "launchctl disable system/com.example.e2e-daemon\n"),
              std::string::npos)
        << daemon.err;
    EXPECT_EQ(cli({"enable", "com.example.nothing"}).status, 2);
}

// A process of the tests' own that carries a name of its choosing, as
// anyone can: /bin/sleep run through a link of that name.
class Decoy {
public:
    Decoy(const std::string& folder, const std::string& name) {
        const std::string link = folder + "/" + name;
        fs::create_directories(folder);
        fs::create_symlink("/bin/sleep", link);
        // The pipe closes on exec, so the read returns once the name is set.
        int ready[2];
        if (::pipe2(ready, O_CLOEXEC) != 0) {
            return;
        }
        m_pid = ::fork();
        if (m_pid == 0) {
            ::execl(link.c_str(), name.c_str(), "600", static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(ready[1]);
        char ignored = 0;
        while (::read(ready[0], &ignored, 1) < 0 && errno == EINTR) {
        }
        ::close(ready[0]);
    }
    ~Decoy() {
        if (m_pid > 0) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
    }
    Decoy(const Decoy&) = delete;
    Decoy& operator=(const Decoy&) = delete;
    std::int32_t pid() const { return m_pid; }

private:
    pid_t m_pid = -1;
};

std::string agentDefinition(const std::string& label, const std::string& program,
                            const std::string& extra = {}) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
           "<key>Label</key><string>" +
           label + "</string><key>Program</key><string>" + program + "</string>" + extra +
           "</dict></plist>\n";
}

TEST_F(ActionEndToEndTest, ADecoyNamedLikeTheLabelIsShownAsAGuessAndSurvivesStopAndRemove) {
    const std::string label = "com.example.e2edecoy";
    const std::string definition = "Users/demo/Library/LaunchAgents/" + label + ".plist";
    writeFile(root / definition, agentDefinition(label, "/usr/local/libexec/e2e-real"));
    Decoy decoy(root / "decoy", "e2edecoy");
    ASSERT_GT(decoy.pid(), 0);
    ASSERT_EQ(readWholeFile("/proc/" + std::to_string(decoy.pid()) + "/comm"), "e2edecoy\n");

    const CliRun list = cli({"list", "--json", "--scope", "User"});
    ASSERT_EQ(list.status, 0) << list.err;
    nlohmann::json record;
    const nlohmann::json document = nlohmann::json::parse(list.out);
    for (const auto& candidate : document["User"]) {
        if (candidate["label"] == label) {
            record = candidate;
        }
    }
    ASSERT_EQ(record.value("pid", 0), decoy.pid()) << record;
    EXPECT_EQ(record["pidSource"], "processName");
    EXPECT_EQ(record["status"], "Unknown");
    EXPECT_NE(cli({"list", "--scope", "User"}).out.find(std::to_string(decoy.pid()) + "?"),
              std::string::npos);
    EXPECT_NE(cli({"show", label})
                  .out.find("PID " + std::to_string(decoy.pid()) + "?: a process of this name"),
              std::string::npos);

    for (const char* verb : {"stop", "toggle"}) {
        const CliRun stop = cli({verb, label});
        EXPECT_EQ(stop.status, 1) << verb;
        EXPECT_NE(stop.err.find("is only a process with a matching name"), std::string::npos)
            << stop.err;
        EXPECT_TRUE(isLive(decoy.pid())) << verb;
    }

    const CliRun remove = cli({"remove", label, "--yes"});
    ASSERT_EQ(remove.status, 0) << remove.err;
    EXPECT_FALSE(fs::exists(root / definition));
    EXPECT_TRUE(fs::exists(root / ("Users/demo/.Trash/" + label + ".plist")));
    EXPECT_TRUE(isLive(decoy.pid()));
}

TEST_F(ActionEndToEndTest, RemoveBootsOutAnIdleTimerJobBeforeItsFileGoes) {
    const std::string label = "com.example.e2e-timer";
    const std::string definition = "Users/demo/Library/LaunchAgents/" + label + ".plist";
    writeFile(root / definition, agentDefinition(label, "/usr/local/libexec/e2e-timer",
                                                 "<key>StartInterval</key><integer>60</integer>"));
    // Loaded, between two runs: no process.
    const nlohmann::json state = {
        {"jobs",
         {{{"label", label}, {"path", definition}, {"program", "/usr/local/libexec/e2e-timer"}}}}};
    writeFile(root / ".hostsim/state.json", state.dump());
    const auto loaded = [this, &label] {
        ScopedVariable hostRoot("DAEMONARY_HOST_ROOT", root.path());
        const ToolResult list = runTool(root / "bin/launchctl", {"list"}, true, true);
        EXPECT_EQ(list.exitStatus, 0);
        return list.standardOutput.find("\t" + label + "\n") != std::string::npos;
    };
    ASSERT_TRUE(loaded());

    // Without a terminal and without --yes nothing happens.
    CliRun remove = cli({"remove", label});
    EXPECT_EQ(remove.status, 1);
    EXPECT_TRUE(loaded());
    EXPECT_TRUE(fs::exists(root / definition));

    remove = cli({"remove", "--yes", label, "--scope", "User"});
    ASSERT_EQ(remove.status, 0) << remove.err;
    EXPECT_EQ(remove.out,
              "Removed " + label + " (User): " + (root / definition) + " is in the Trash\n");
    EXPECT_FALSE(loaded());
    EXPECT_FALSE(fs::exists(root / definition));
    EXPECT_TRUE(fs::exists(root / ("Users/demo/.Trash/" + label + ".plist")));
}

TEST_F(ActionEndToEndTest, TheCommandLineLeavesASystemDaemonToTheAdministrator) {
    const std::string label = "com.example.e2e-sysd";
    const std::string definition = "Library/LaunchDaemons/" + label + ".plist";
    writeFile(root / definition, agentDefinition(label, "/usr/sbin/e2e-sysd"));
    const nlohmann::json state = {{"jobs",
                                   {{{"label", label},
                                     {"path", definition},
                                     {"program", "/usr/sbin/e2e-sysd"},
                                     {"running", true}}}}};
    writeFile(root / ".hostsim/state.json", state.dump());
    {
        ScopedVariable hostRoot("DAEMONARY_HOST_ROOT", root.path());
        ASSERT_EQ(runTool(kHostsim, {"boot"}, true, true).exitStatus, 0);
    }
    const auto daemonPid = [this, &label]() -> std::int32_t {
        const CliRun list = cli({"list", "--json", "--scope", "System"});
        const nlohmann::json document = nlohmann::json::parse(list.out);
        for (const auto& record : document["System"]) {
            if (record["label"] == label) {
                return record.value("pid", 0);
            }
        }
        return 0;
    };
    const std::int32_t pid = daemonPid();
    ASSERT_GT(pid, 0);

    for (const std::vector<std::string>& command : std::vector<std::vector<std::string>>{
             {"stop", label}, {"toggle", label}, {"remove", label, "--yes"}}) {
        const CliRun run = cli(command);
        EXPECT_EQ(run.status, 1) << command[0];
        EXPECT_NE(
            run.err.find("needs administrator rights: sudo launchctl bootout system/" + label),
            std::string::npos)
            << run.err;
        EXPECT_EQ(run.out, "") << command[0];
    }
    EXPECT_TRUE(isLive(pid));
    EXPECT_EQ(daemonPid(), pid);
    EXPECT_TRUE(fs::exists(root / definition));
}

} // namespace
} // namespace daemonary
