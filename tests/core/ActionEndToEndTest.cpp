// Start, stop and login-item removal against the simulated host, through the
// same tool links and the same command-line tool a user would run.

#include "ActionTestSupport.h"
#include "Log.h"
#include "ServiceActionManager.h"
#include "ToolRunner.h"

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

} // namespace
} // namespace daemonary
