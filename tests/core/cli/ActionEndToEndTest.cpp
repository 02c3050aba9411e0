// Start, stop and login-item removal against the simulated host, through the
// same tool links and the same command-line tool a user would run.

#include "ActionTestSupport.h"
#include "actions/ServiceActionManager.h"
#include "platform/Log.h"
#include "platform/ToolRunner.h"

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
    EXPECT_NE(start.err.find("119: Service is disabled"), std::string::npos) << start.err;
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

} // namespace
} // namespace daemonary
