// End-to-end runs of daemonary-hostsim through the tool links of a small
// host built per test, as the application runs it.

#include "CodeRequirement.h"
#include "Osascript.h"
#include "discovery/BackgroundTaskTable.h"
#include "platform/ToolRunner.h"

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <poll.h>
#include <set>
#include <sstream>
#include <string>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace daemonary {
namespace {

namespace fs = std::filesystem;

constexpr const char* kHostsim = DAEMONARY_HOSTSIM_PATH;
// 21 bytes: the kernel keeps the first 15 as the process name.
constexpr const char* kProgram = "/usr/local/libexec/hostsim-test-agent";
constexpr const char* kProcessName = "hostsim-test-ag";

struct ToolRun {
    int status = -1;
    std::string out;
    std::string err;
};

std::string readText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeText(const std::string& path, const std::string& text) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

std::string definition(const std::string& label, const std::string& extra = "") {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
           "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
           "<plist version=\"1.0\"><dict><key>Label</key><string>" +
           label + "</string><key>ProgramArguments</key><array><string>" + kProgram +
           "</string><string>--serve</string></array>" + extra + "</dict></plist>\n";
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        result.push_back(line);
    return result;
}

// Alive and not merely waiting to be reaped.
bool isLive(int pid) {
    std::string stat = readText("/proc/" + std::to_string(pid) + "/stat");
    const auto close = stat.rfind(')');
    if (close == std::string::npos || close + 2 >= stat.size())
        return false;
    const char state = stat[close + 2];
    return state != 'Z' && state != 'X';
}

std::string processName(int pid) {
    std::string name = readText("/proc/" + std::to_string(pid) + "/comm");
    if (!name.empty() && name.back() == '\n')
        name.pop_back();
    return name;
}

// Waits for a process that is not our child to exit; the bound only keeps a
// broken build from hanging the suite.
bool waitForExit(int pid) {
    int fd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    if (fd < 0)
        return !isLive(pid);
    pollfd entry{fd, POLLIN, 0};
    const int ready = ::poll(&entry, 1, 30'000);
    ::close(fd);
    return ready > 0;
}

// A process of the test's own, killed and reaped however the test ends.
class Bystander {
public:
    Bystander() : m_pid(::fork()) {
        if (m_pid == 0) {
            for (;;)
                ::pause();
        }
    }
    ~Bystander() {
        if (m_pid > 0) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
    }
    Bystander(const Bystander&) = delete;
    Bystander& operator=(const Bystander&) = delete;

    pid_t pid() const { return m_pid; }

private:
    pid_t m_pid;
};

class ScopedHostRoot {
public:
    explicit ScopedHostRoot(const std::string& root) {
        if (const char* previous = std::getenv("DAEMONARY_HOST_ROOT"))
            m_previous = previous;
        ::setenv("DAEMONARY_HOST_ROOT", root.c_str(), 1);
    }
    ~ScopedHostRoot() {
        if (m_previous)
            ::setenv("DAEMONARY_HOST_ROOT", m_previous->c_str(), 1);
        else
            ::unsetenv("DAEMONARY_HOST_ROOT");
    }
    ScopedHostRoot(const ScopedHostRoot&) = delete;
    ScopedHostRoot& operator=(const ScopedHostRoot&) = delete;

private:
    std::optional<std::string> m_previous;
};

class HostsimTest : public ::testing::Test {
protected:
    void SetUp() override {
        // The links must find their host by their own location.
        ::unsetenv("DAEMONARY_HOST_ROOT");
        std::string pattern = (fs::temp_directory_path() / "daemonary-hostsim-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        m_root = pattern;
        fs::create_directories(m_root + "/bin");
        fs::create_directories(m_root + "/usr/bin");
        fs::create_symlink(kHostsim, m_root + "/bin/launchctl");
        for (const char* tool : {"kmutil", "osascript", "codesign", "sfltool"})
            fs::create_symlink(kHostsim, m_root + "/usr/bin/" + tool);
        m_domain = "gui/" + std::to_string(::getuid());
    }

    void TearDown() override {
        ToolRun shutdown = hostsim("shutdown");
        EXPECT_EQ(shutdown.status, 0) << shutdown.err;
        std::error_code ignored;
        fs::remove_all(m_root, ignored);
    }

    ToolRun tool(const std::string& link, const std::vector<std::string>& arguments) {
        ToolResult result = runTool(m_root + link, arguments, true, true);
        EXPECT_FALSE(result.launchError.has_value());
        return {result.exitStatus, result.standardOutput, result.standardError};
    }
    ToolRun launchctl(const std::vector<std::string>& arguments) {
        return tool("/bin/launchctl", arguments);
    }
    ToolRun osascript(const std::string& script) {
        return tool("/usr/bin/osascript", {"-e", script});
    }
    ToolRun codesign(const std::string& path) {
        return tool("/usr/bin/codesign", {"-dv", "--verbose=4", path});
    }
    ToolRun hostsim(const std::string& command) {
        ScopedHostRoot scoped(m_root);
        ToolResult result = runTool(kHostsim, {command}, true, true);
        return {result.exitStatus, result.standardOutput, result.standardError};
    }

    void writeState(const std::string& json) { writeText(m_root + "/.hostsim/state.json", json); }
    std::string path(const std::string& relative) const { return m_root + "/" + relative; }

    std::optional<int> listedPid(const std::string& label) {
        for (const std::string& line : lines(launchctl({"list"}).out)) {
            const auto first = line.find('\t');
            const auto second = line.find('\t', first + 1);
            if (line.substr(second + 1) == label && line.substr(0, first) != "-")
                return std::stoi(line.substr(0, first));
        }
        return std::nullopt;
    }

    std::string m_root;
    std::string m_domain;
};

TEST_F(HostsimTest, ListPrintsHeadingThenJobsInTableOrder) {
    writeState(R"({"jobs": [
        {"label": "com.example.b", "status": -9},
        {"label": "application.com.example.App.1152.1153", "pid": 4242, "status": 0},
        {"label": "com.example.a", "status": 78}]})");

    ToolRun list = launchctl({"list"});
    EXPECT_EQ(list.status, 0);
    EXPECT_EQ(list.out, "PID\tStatus\tLabel\n"
                        "-\t-9\tcom.example.b\n"
                        "4242\t0\tapplication.com.example.App.1152.1153\n"
                        "-\t78\tcom.example.a\n");

    // ToolRun as itself without a host root, the simulator cannot know its host.
    ToolResult direct = runTool(kHostsim, {"launchctl", "list"}, true, true);
    EXPECT_NE(direct.exitStatus, 0);
    EXPECT_TRUE(direct.standardOutput.empty());
}

TEST_F(HostsimTest, BrokenStateFileIsReportedNotGuessed) {
    writeState(R"({"jobs": [{"label": 7}]})");
    ToolRun list = launchctl({"list"});
    EXPECT_NE(list.status, 0);
    EXPECT_NE(list.err.find("jobs[0].label"), std::string::npos) << list.err;
    EXPECT_TRUE(list.out.empty());
    // The state is left as it was, never replaced by an empty one.
    EXPECT_EQ(readText(path(".hostsim/state.json")), R"({"jobs": [{"label": 7}]})");
    writeState("{}"); // so that the teardown's shutdown has a host to shut down
}

TEST_F(HostsimTest, BootstrapLoadsOnceAndRejectsWhatLaunchdWould) {
    const std::string plist = path("Library/LaunchAgents/com.example.agent.plist");
    writeText(plist, definition("com.example.agent"));

    ToolRun first = launchctl({"bootstrap", m_domain, plist});
    EXPECT_EQ(first.status, 0) << first.err;
    EXPECT_EQ(launchctl({"list"}).out, "PID\tStatus\tLabel\n-\t0\tcom.example.agent\n");

    ToolRun second = launchctl({"bootstrap", m_domain, plist});
    EXPECT_EQ(second.status, 5);
    EXPECT_EQ(second.err, "Bootstrap failed: 5: Input/output error\n");

    ToolRun otherUser = launchctl({"bootstrap", "gui/" + std::to_string(::getuid() + 1), plist});
    EXPECT_NE(otherUser.status, 0);
    EXPECT_FALSE(otherUser.err.empty());

    ToolRun missing = launchctl({"bootstrap", m_domain, path("Library/LaunchAgents/none.plist")});
    EXPECT_EQ(missing.status, 2);
    EXPECT_EQ(missing.err, "Bootstrap failed: 2: No such file or directory\n");

    const std::string broken = path("Library/LaunchAgents/broken.plist");
    writeText(broken, "<plist><dict><key>Label</key>");
    EXPECT_NE(launchctl({"bootstrap", m_domain, broken}).status, 0);
    const std::string numeric = path("Library/LaunchAgents/numeric.plist");
    writeText(numeric, "<plist version=\"1.0\"><dict><key>Label</key><integer>3</integer>"
                       "</dict></plist>");
    EXPECT_NE(launchctl({"bootstrap", m_domain, numeric}).status, 0);

    EXPECT_EQ(lines(launchctl({"list"}).out).size(), 2u);
}

TEST_F(HostsimTest, BootstrapWithRunAtLoadStartsTheJob) {
    const std::string plist = path("Library/LaunchAgents/com.example.eager.plist");
    writeText(plist, definition("com.example.eager", "<key>RunAtLoad</key><true/>"));
    ASSERT_EQ(launchctl({"bootstrap", m_domain, plist}).status, 0);
    auto pid = listedPid("com.example.eager");
    ASSERT_TRUE(pid.has_value());
    EXPECT_TRUE(isLive(*pid));
    EXPECT_EQ(processName(*pid), kProcessName);
}

TEST_F(HostsimTest, KickstartRunsARealProcessAndBootoutEndsIt) {
    const std::string plist = path("Users/demo/Library/LaunchAgents/com.example.sync.plist");
    writeText(plist, definition("com.example.sync"));
    ASSERT_EQ(launchctl({"bootstrap", m_domain, plist}).status, 0);
    const std::string service = m_domain + "/com.example.sync";

    ToolRun start = launchctl({"kickstart", "-k", service});
    EXPECT_EQ(start.status, 0) << start.err;
    auto first = listedPid("com.example.sync");
    ASSERT_TRUE(first.has_value());
    EXPECT_TRUE(isLive(*first));
    EXPECT_EQ(processName(*first), kProcessName);
    // Nothing of the tool that started it stays open in the job.
    EXPECT_EQ(fs::read_symlink("/proc/" + std::to_string(*first) + "/fd/1"), "/dev/null");
    EXPECT_FALSE(fs::exists("/proc/" + std::to_string(*first) + "/fd/3"));

    ASSERT_EQ(launchctl({"kickstart", "-k", service}).status, 0);
    auto second = listedPid("com.example.sync");
    ASSERT_TRUE(second.has_value());
    EXPECT_NE(*second, *first);
    EXPECT_FALSE(isLive(*first));
    EXPECT_TRUE(isLive(*second));

    ToolRun bootout = launchctl({"bootout", m_domain, plist});
    EXPECT_EQ(bootout.status, 0) << bootout.err;
    EXPECT_FALSE(isLive(*second));
    EXPECT_EQ(launchctl({"list"}).out, "PID\tStatus\tLabel\n");

    ToolRun again = launchctl({"bootout", m_domain, plist});
    EXPECT_EQ(again.status, 5);
    EXPECT_EQ(again.err, "Boot-out failed: 5: Input/output error\n");
}

TEST_F(HostsimTest, KickstartOfAnUnknownServiceFails) {
    ToolRun run = launchctl({"kickstart", "-k", m_domain + "/com.example.absent"});
    EXPECT_EQ(run.status, 113);
    EXPECT_EQ(run.err, "Could not find service \"com.example.absent\" in domain for user gui: " +
                           std::to_string(::getuid()) + "\n");
}

TEST_F(HostsimTest, AJobKilledFromOutsideShowsItsSignalAsLastStatus) {
    const std::string plist = path("Library/LaunchAgents/com.example.victim.plist");
    writeText(plist, definition("com.example.victim"));
    ASSERT_EQ(launchctl({"bootstrap", m_domain, plist}).status, 0);
    ASSERT_EQ(launchctl({"kickstart", m_domain + "/com.example.victim"}).status, 0);
    auto pid = listedPid("com.example.victim");
    ASSERT_TRUE(pid.has_value());

    ASSERT_EQ(::kill(*pid, SIGTERM), 0);
    ASSERT_TRUE(waitForExit(*pid));
    EXPECT_EQ(launchctl({"list"}).out, "PID\tStatus\tLabel\n-\t-15\tcom.example.victim\n");
}

TEST_F(HostsimTest, BootAndShutdownTouchOnlyTheHostsOwnProcesses) {
    // A process of ours that the state names twice: as a synthetic fixed pid
    // and as a forged record of a started job.
    Bystander process;
    const pid_t bystander = process.pid();
    ASSERT_GT(bystander, 0);
    const std::string pid = std::to_string(bystander);
    writeState(R"({"jobs": [
        {"label": "com.example.daemon", "program": ")" +
               std::string(kProgram) +
               R"(", "running": true},
        {"label": "com.example.synthetic", "pid": )" +
               pid +
               R"(, "running": true},
        {"label": "com.example.forged", "program": "/bin/x", "running": true,
         "process": {"pid": )" +
               pid + R"(, "startTime": 1, "name": "x"}}]})");

    ToolRun boot = hostsim("boot");
    EXPECT_EQ(boot.status, 0) << boot.err;
    auto daemon = listedPid("com.example.daemon");
    ASSERT_TRUE(daemon.has_value());
    EXPECT_EQ(processName(*daemon), kProcessName);
    EXPECT_EQ(listedPid("com.example.synthetic"), bystander);

    ToolRun shutdown = hostsim("shutdown");
    EXPECT_EQ(shutdown.status, 0) << shutdown.err;
    EXPECT_FALSE(isLive(*daemon));
    EXPECT_TRUE(isLive(bystander));
    EXPECT_FALSE(listedPid("com.example.daemon").has_value());

    // The jobs are still meant to run: the next boot brings the daemon back.
    ASSERT_EQ(hostsim("boot").status, 0);
    auto restarted = listedPid("com.example.daemon");
    ASSERT_TRUE(restarted.has_value());
    EXPECT_TRUE(isLive(*restarted));
}

TEST_F(HostsimTest, ConcurrentRunsLoseNoChange) {
    constexpr int kJobs = 8;
    std::vector<std::string> plists;
    for (int i = 0; i < kJobs; ++i) {
        plists.push_back(
            path("Library/LaunchAgents/com.example.job" + std::to_string(i) + ".plist"));
        writeText(plists.back(), definition("com.example.job" + std::to_string(i)));
    }
    std::vector<int> statuses(kJobs, -1);
    std::vector<std::thread> threads;
    for (int i = 0; i < kJobs; ++i) {
        threads.emplace_back([&, i] {
            statuses[static_cast<std::size_t>(i)] =
                runTool(m_root + "/bin/launchctl",
                        {"bootstrap", m_domain, plists[static_cast<std::size_t>(i)]}, true, true)
                    .exitStatus;
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    for (int status : statuses)
        EXPECT_EQ(status, 0);
    EXPECT_EQ(lines(launchctl({"list"}).out).size(), static_cast<std::size_t>(kJobs + 1));
}

TEST_F(HostsimTest, OsascriptListsAndDeletesLoginItemsAndRunsNothingElse) {
    writeState(R"({"loginItems": [
        {"name": "Notes", "path": "Applications/Notes.app"},
        {"name": "Odd", "path": "Applications/Say \"hi\\\" now.app"},
        {"name": "Sync", "path": "Applications/Sync.app"}]})");
    const std::string list =
        "tell application \"System Events\" to get {name, path} of every login item";

    ToolRun launch = osascript("launch application \"System Events\"");
    EXPECT_EQ(launch.status, 0);
    EXPECT_TRUE(launch.out.empty());

    ToolRun all = osascript(list);
    EXPECT_EQ(all.status, 0);
    EXPECT_EQ(all.out, "Notes, Odd, Sync, " + path("Applications/Notes.app") + ", " +
                           path("Applications/Say \"hi\\\" now.app") + ", " +
                           path("Applications/Sync.app") + "\n");

    // The AppleScript literal of: <root>/Applications/Say "hi\" now.app
    const std::string prefix =
        "tell application \"System Events\" to delete (every login item whose path is \"";
    ToolRun removed = osascript(prefix + path("Applications/Say \\\"hi\\\\\\\" now.app") + "\")");
    EXPECT_EQ(removed.status, 0) << removed.err;

    // A path that closes the literal early and carries a command of its own.
    ToolRun injected = osascript(prefix + path("Applications/Sync.app") +
                                 "\") & (do shell script \"touch " + path("pwned") + "\")");
    EXPECT_EQ(injected.status, 1);
    EXPECT_NE(injected.err.find("syntax error"), std::string::npos) << injected.err;
    EXPECT_FALSE(fs::exists(path("pwned")));

    ToolRun unknown = osascript("do shell script \"id\"");
    EXPECT_EQ(unknown.status, 1);
    EXPECT_NE(unknown.err.find("syntax error"), std::string::npos);

    EXPECT_EQ(osascript(list).out, "Notes, Sync, " + path("Applications/Notes.app") + ", " +
                                       path("Applications/Sync.app") + "\n");

    ASSERT_EQ(osascript(prefix + path("Applications/Notes.app") + "\")").status, 0);
    ASSERT_EQ(osascript(prefix + "/Applications/Sync.app\")").status, 0);
    EXPECT_EQ(osascript(list).out, "\n");
}

TEST_F(HostsimTest, KmutilPrintsLoadedExtensionsInTheToolsColumns) {
    writeState(R"({"extensions": [
        {"index": 1, "refs": 142, "identifier": "com.apple.kpi.bsd", "version": "20.5.0",
         "uuid": "52A1E876-863E-38E3-AC80-09BBAB13B752"},
        {"index": 10, "refs": 12, "address": "0xffffff8003544000", "size": "0x92000",
         "wired": "0x92000", "identifier": "com.apple.kec.corecrypto", "version": "11.1",
         "uuid": "F5F1255F-6552-3CF4-A9DB-D60EFDEB4A9A", "linkedAgainst": [8, 7, 6, 5, 3, 1]}]})");

    ToolRun run = tool("/usr/bin/kmutil", {"showloaded", "--list-only"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "No variant specified, falling back to release\n");
    EXPECT_EQ(run.out,
              "Index Refs Address            Size       Wired      Name (Version) UUID <Linked "
              "Against>\n"
              "    1  142 0                  0          0          com.apple.kpi.bsd (20.5.0) "
              "52A1E876-863E-38E3-AC80-09BBAB13B752 <>\n"
              "   10   12 0xffffff8003544000 0x92000    0x92000    com.apple.kec.corecrypto (11.1) "
              "F5F1255F-6552-3CF4-A9DB-D60EFDEB4A9A <8 7 6 5 3 1>\n");
}

TEST_F(HostsimTest, CodesignReportsSignedUnsignedAndMissingPaths) {
    writeText(path("Applications/Foo.app/Contents/Info.plist"),
              "<plist version=\"1.0\"><dict><key>CFBundleExecutable</key><string>Foo</string>"
              "<key>CFBundleIdentifier</key><string>com.example.foo</string></dict></plist>");
    writeText(path("Applications/Foo.app/Contents/MacOS/Foo"), "binary");
    writeText(path("Library/PrivilegedHelperTools/com.example.helper"), "binary");
    writeText(path("Library/PrivilegedHelperTools/com.example.huge"), "binary");
    writeState(R"({"signed": {
        "Applications/Foo.app": {"kind": "developerID", "organization": "Example Corp",
                                 "teamIdentifier": "ABCDE12345"},
        "Library/PrivilegedHelperTools/com.example.huge": {"kind": "adhoc",
                                                           "reportPaddingBytes": 2000000}}})");

    ToolRun app = codesign(path("Applications/Foo.app"));
    EXPECT_EQ(app.status, 0);
    EXPECT_TRUE(app.out.empty());
    auto report = lines(app.err);
    ASSERT_GE(report.size(), 3u);
    EXPECT_EQ(report[0], "Executable=" + path("Applications/Foo.app/Contents/MacOS/Foo"));
    EXPECT_EQ(report[1], "Identifier=com.example.foo");
    EXPECT_EQ(report[2], "Format=app bundle with Mach-O universal (x86_64 arm64)");
    for (const char* expected :
         {"Authority=Developer ID Application: Example Corp (ABCDE12345)",
          "Authority=Developer ID Certification Authority", "Authority=Apple Root CA",
          "TeamIdentifier=ABCDE12345", "Info.plist entries=2"})
        EXPECT_NE(std::find(report.begin(), report.end(), expected), report.end()) << expected;
    EXPECT_EQ(codesign(path("Applications/Foo.app")).err, app.err);

    // The bundle's main executable, named as the Mac names it.
    ToolRun executable = codesign("/Applications/Foo.app/Contents/MacOS/Foo");
    EXPECT_EQ(executable.status, 0);
    EXPECT_NE(executable.err.find("Identifier=com.example.foo\n"), std::string::npos);

    const std::string unsignedPath = path("Library/PrivilegedHelperTools/com.example.helper");
    ToolRun unsignedRun = codesign(unsignedPath);
    EXPECT_EQ(unsignedRun.status, 1);
    EXPECT_EQ(unsignedRun.err, unsignedPath + ": code object is not signed at all\n");

    const std::string missingPath = path("Applications/Gone.app");
    ToolRun missing = codesign(missingPath);
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.err, missingPath + ": No such file or directory\n");

    ToolRun huge = codesign(path("Library/PrivilegedHelperTools/com.example.huge"));
    EXPECT_EQ(huge.status, 0);
    EXPECT_GE(huge.err.size(), 2000000u);
    EXPECT_NE(huge.err.find("Signature=adhoc\n"), std::string::npos);
    EXPECT_EQ(huge.err.back(), '\n');
}

// The requirement is judged by who signed, never by the names printed.
TEST(CodeRequirementTest, HoldsForTheRealSignerOnly) {
    constexpr const char* kDeveloperId =
        "anchor apple generic and certificate 1[field.1.2.840.113635.100.6.2.6] /* exists */ and "
        "certificate leaf[field.1.2.840.113635.100.6.1.13] /* exists */";
    struct Case {
        std::string requirement;
        hostsim::SigningKind kind;
        std::optional<bool> expected;
    };
    const std::vector<Case> cases = {
        {"anchor apple", hostsim::SigningKind::apple, true},
        {"anchor apple", hostsim::SigningKind::developerId, false},
        {"anchor apple", hostsim::SigningKind::selfSigned, false},
        {kDeveloperId, hostsim::SigningKind::developerId, true},
        {kDeveloperId, hostsim::SigningKind::apple, false},
        {kDeveloperId, hostsim::SigningKind::selfSigned, false},
        {"identifier \"com.example.x\" and certificate leaf[subject.OU] = T3AM",
         hostsim::SigningKind::selfSigned, true},
        {"anchor apple generic and certificate leaf[subject.OU] = T3AM",
         hostsim::SigningKind::selfSigned, false},
        {"!(anchor apple) and (identifier com.example.y or anchor apple generic)",
         hostsim::SigningKind::developerId, true},
        {"anchor trusted", hostsim::SigningKind::apple, std::nullopt},
        {"/* open", hostsim::SigningKind::apple, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.requirement + " for kind " + std::to_string(static_cast<int>(c.kind)));
        EXPECT_EQ(hostsim::evaluateRequirement(c.requirement, {c.kind, "com.example.x", "T3AM"}),
                  c.expected);
    }
}

// launchctl run by the simulated Mac's user with this uid, whoever runs the test.
ToolRun launchctlAs(const std::string& root, const std::string& uid,
                    std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), {"DAEMONARY_HOSTSIM_UID=" + uid, root + "/bin/launchctl"});
    ToolResult result = runTool("/usr/bin/env", arguments, true, true);
    return {result.exitStatus, result.standardOutput, result.standardError};
}

TEST_F(HostsimTest, PrintDisabledListsWhatDisableAndEnableRecorded) {
    writeState("{}");
    const std::string empty = "disabled services = {\n}\n";
    EXPECT_EQ(launchctl({"print-disabled", m_domain}).out, empty);
    EXPECT_EQ(launchctl({"print-disabled", "system"}).out, empty);

    ToolRun disable = launchctl({"disable", m_domain + "/com.example.off"});
    EXPECT_EQ(disable.status, 0) << disable.err;
    EXPECT_TRUE(disable.out.empty() && disable.err.empty());
    EXPECT_EQ(launchctl({"enable", m_domain + "/com.example.on"}).status, 0);
    ToolRun listed = launchctl({"print-disabled", m_domain});
    EXPECT_EQ(listed.status, 0);
    EXPECT_EQ(listed.out, "disabled services = {\n"
                          "\t\"com.example.off\" => disabled\n"
                          "\t\"com.example.on\" => enabled\n"
                          "}\n");
    // The system domain and other users' domains are kept apart.
    EXPECT_EQ(launchctl({"print-disabled", "system"}).out, empty);
    EXPECT_EQ(launchctl({"print-disabled", "gui/" + std::to_string(::getuid() + 1)}).out, empty);

    // Enabling again turns the entry over; it stays listed, as launchd's does.
    ASSERT_EQ(launchctl({"enable", m_domain + "/com.example.off"}).status, 0);
    EXPECT_NE(launchctl({"print-disabled", m_domain}).out.find("\"com.example.off\" => enabled"),
              std::string::npos);

    for (const std::vector<std::string>& bad :
         std::vector<std::vector<std::string>>{{"print-disabled"},
                                               {"print-disabled", "gui/x"},
                                               {"print-disabled", "system/com.example.off"},
                                               {"disable", m_domain},
                                               {"enable", "system/"},
                                               {"disable", "user/501/com.example.off"}}) {
        EXPECT_EQ(launchctl(bad).status, 64) << bad.back();
    }
}

TEST_F(HostsimTest, OnlyRootChangesTheSystemDomain) {
    writeState(R"({"disabled": {"loginItems": {"com.example.helper": true}}})");
    // An ordinary user, as on a Mac; the refusal must not depend on who runs the test.
    ToolRun daemon = launchctlAs(m_root, "501", {"disable", "system/com.example.daemon"});
    EXPECT_EQ(daemon.status, 1);
    EXPECT_EQ(daemon.err, "Disable failed: 1: Operation not permitted\n");
    ToolRun enable = launchctlAs(m_root, "501", {"enable", "system/com.example.daemon"});
    EXPECT_EQ(enable.status, 1);
    EXPECT_EQ(enable.err, "Enable failed: 1: Operation not permitted\n");
    EXPECT_EQ(launchctlAs(m_root, "501", {"disable", "gui/502/com.example.agent"}).status, 1);

    ASSERT_EQ(launchctlAs(m_root, "501", {"disable", "gui/501/com.example.agent"}).status, 0);
    EXPECT_EQ(launchctlAs(m_root, "501", {"print-disabled", "gui/501"}).out,
              "disabled services = {\n"
              "\t\"com.example.agent\" => disabled\n"
              "}\n"
              "\n"
              "disabled login items = {\n"
              "\t\"com.example.helper\" => disabled\n"
              "}\n");
    EXPECT_EQ(launchctlAs(m_root, "501", {"print-disabled", "system"}).out,
              "disabled services = {\n}\n");

    ASSERT_EQ(launchctlAs(m_root, "0", {"disable", "system/com.example.daemon"}).status, 0);
    EXPECT_EQ(launchctlAs(m_root, "501", {"print-disabled", "system"}).out,
              "disabled services = {\n\t\"com.example.daemon\" => disabled\n}\n");

    writeState(R"({"disabled": {"gui": {"com.example.agent": "yes"}}})");
    ToolRun broken = launchctl({"print-disabled", m_domain});
    EXPECT_NE(broken.status, 0);
    EXPECT_NE(broken.err.find("disabled.gui.com.example.agent"), std::string::npos) << broken.err;
    writeState("{}");
}

TEST_F(HostsimTest, ADisabledJobIsNotStartedUntilEnabled) {
    // A name no other test's processes carry.
    const std::string program = "/usr/local/libexec/hs-disabled-t";
    writeState(R"({"jobs": [{"label": "com.example.off",
        "path": "Users/demo/Library/LaunchAgents/com.example.off.plist",
        "program": ")" +
               program + R"(", "running": true},
        {"label": "com.example.daemon",
        "path": "Library/LaunchDaemons/com.example.daemon.plist",
        "program": "/usr/local/libexec/hs-disabled-d", "running": true}],
        "disabled": {"gui": {"com.example.off": true, "com.example.fresh": true,
                             "com.example.daemon": true}}})");

    ASSERT_EQ(hostsim("boot").status, 0);
    EXPECT_FALSE(listedPid("com.example.off").has_value());
    // A daemon is judged by the system domain, not by the user's entries.
    const auto daemon = listedPid("com.example.daemon");
    ASSERT_TRUE(daemon.has_value());
    EXPECT_EQ(processName(*daemon), "hs-disabled-d");

    ToolRun kickstart = launchctl({"kickstart", "-k", m_domain + "/com.example.off"});
    EXPECT_EQ(kickstart.status, 119);
    EXPECT_EQ(kickstart.err, "Could not kickstart service \"com.example.off\": 119: Service is "
                             "disabled\n");
    EXPECT_FALSE(listedPid("com.example.off").has_value());

    const std::string plist = path("Users/demo/Library/LaunchAgents/com.example.fresh.plist");
    writeText(plist, definition("com.example.fresh", "<key>RunAtLoad</key><true/>"));
    ToolRun bootstrap = launchctl({"bootstrap", m_domain, plist});
    EXPECT_EQ(bootstrap.status, 119);
    EXPECT_EQ(bootstrap.err,
              plist + ": Service is disabled\nBootstrap failed: 119: Service is disabled\n");
    EXPECT_EQ(lines(launchctl({"list"}).out).size(), 3u);

    ASSERT_EQ(launchctl({"enable", m_domain + "/com.example.off"}).status, 0);
    ToolRun boot = hostsim("boot");
    EXPECT_EQ(boot.status, 0) << boot.err;
    const auto pid = listedPid("com.example.off");
    ASSERT_TRUE(pid.has_value());
    EXPECT_TRUE(isLive(*pid));
    EXPECT_EQ(processName(*pid), "hs-disabled-t");
}

// The committed demo host, copied and booted the way scripts/run does it.
class DemoHostTest : public ::testing::Test {
protected:
    void SetUp() override {
        ::unsetenv("DAEMONARY_HOST_ROOT");
        std::string pattern = (fs::temp_directory_path() / "daemonary-demo-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        m_root = pattern;
        ToolResult made = runTool(
            "/bin/bash",
            {std::string(DAEMONARY_SOURCE_DIR) + "/scripts/make-demo-host", m_root, kHostsim}, true,
            true);
        ASSERT_EQ(made.exitStatus, 0) << made.standardError;
    }

    void TearDown() override {
        ScopedHostRoot scoped(m_root);
        ToolResult shutdown = runTool(kHostsim, {"shutdown"}, true, true);
        EXPECT_EQ(shutdown.exitStatus, 0) << shutdown.standardError;
        std::error_code ignored;
        fs::remove_all(m_root, ignored);
    }

    std::string m_root;
};

TEST_F(DemoHostTest, BootsItsRunningJobsAsProcessesNamedAfterTheirPrograms) {
    const auto state = nlohmann::json::parse(readText(m_root + "/.hostsim/state.json"));
    ToolResult list = runTool(m_root + "/bin/launchctl", {"list"}, true, false);
    ASSERT_EQ(list.exitStatus, 0);
    std::map<std::string, int> pids;
    for (const std::string& line : lines(list.standardOutput)) {
        const auto first = line.find('\t');
        const auto second = line.find('\t', first + 1);
        if (line.substr(0, first) != "-" && line.substr(0, first) != "PID")
            pids[line.substr(second + 1)] = std::stoi(line.substr(0, first));
    }
    EXPECT_EQ(lines(list.standardOutput).size(), state["jobs"].size() + 1);
    EXPECT_GE(state["jobs"].size(), 100u);

    std::set<std::string> disallowed;
    for (const auto& record : state.value("backgroundItems", nlohmann::json::array())) {
        // Another user's switch (a uid of 0 or more) leaves this user's job alone.
        if (!record.value("allowed", true) && record.contains("identifier") &&
            record.value("uid", -1) < 0)
            disallowed.insert(record["identifier"].get<std::string>());
    }
    EXPECT_FALSE(disallowed.empty());
    bool userAgentRuns = false;
    bool applicationRuns = false;
    for (const auto& job : state["jobs"]) {
        const std::string label = job["label"];
        if (job.contains("path")) {
            EXPECT_TRUE(fs::exists(m_root + "/" + job["path"].get<std::string>())) << label;
        }
        if (!job.value("running", false))
            continue;
        // Switched off under "Allow in the Background": marked, never started.
        if (disallowed.contains(label)) {
            EXPECT_FALSE(pids.contains(label)) << label;
            continue;
        }
        ASSERT_TRUE(pids.contains(label)) << label;
        const std::string program = job["program"];
        const std::string name = program.substr(program.rfind('/') + 1).substr(0, 15);
        EXPECT_TRUE(isLive(pids[label])) << label;
        EXPECT_EQ(processName(pids[label]), name) << label;
        userAgentRuns = userAgentRuns || job.value("path", "").starts_with("Users/demo/");
        applicationRuns = applicationRuns || label.starts_with("application.");
    }
    EXPECT_TRUE(userAgentRuns);
    EXPECT_TRUE(applicationRuns);

    ToolResult items = runTool(m_root + "/usr/bin/osascript",
                               {"-e", "tell application \"System Events\" to get {name, path} of "
                                      "every login item"},
                               true, true);
    EXPECT_EQ(items.exitStatus, 0);
    EXPECT_TRUE(items.standardOutput.starts_with("Skyline, ")) << items.standardOutput;
    EXPECT_NE(items.standardOutput.find(m_root + "/Applications/Skyline.app"), std::string::npos);
}

TEST(LoginItemScriptTest, ReadsTheDeletePathAsAnAppleScriptLiteral) {
    using hostsim::DeleteLoginItems;
    using hostsim::parseLoginItemScript;
    using hostsim::ScriptError;
    const std::string prefix =
        "tell application \"System Events\" to delete (every login item whose path is \"";

    auto escaped = parseLoginItemScript(prefix + "/A \\\"b\\\\c\\td.app\")\n");
    ASSERT_TRUE(std::holds_alternative<DeleteLoginItems>(escaped));
    EXPECT_EQ(std::get<DeleteLoginItems>(escaped).path, "/A \"b\\c\td.app");

    for (const std::string& broken : {
             prefix + "/A.app",               // literal never closed
             prefix + "/A.app\\",             // ends inside an escape
             prefix + "/A\\q.app\")",         // no such escape
             prefix + "/A.app\"",             // no closing parenthesis
             prefix + "/A.app\") -- comment", // anything after it
             prefix + "/A.app\")\ndo shell script \"id\"",
             std::string("tell application \"System Events\" to get every login item"),
         }) {
        auto parsed = parseLoginItemScript(broken);
        ASSERT_TRUE(std::holds_alternative<ScriptError>(parsed)) << broken;
        EXPECT_NE(std::get<ScriptError>(parsed).message.find("syntax error"), std::string::npos);
    }
}

// Every shape reads back to the same records, boot leaves a job the user did
// not allow in the background alone (another user's switch does not count),
// and anything but dumpbtm is a usage error.
TEST_F(HostsimTest, SfltoolDumpsBackgroundItemsAndBootHonoursThem) {
    const std::string records = R"("backgroundItems": [
        {"name": "App", "type": "app", "identifier": "2.com.example.app",
         "url": "file:///Applications/App%20One.app/", "teamIdentifier": "T3AM"},
        {"name": "Agent", "type": "agent", "identifier": "8.com.example.allowed",
         "url": "Contents/Library/LaunchAgents/a.plist", "parentIdentifier": "2.com.example.app",
         "executablePath": "Contents/MacOS/agent", "developerName": "Example"},
        {"uid": 4242, "name": "Elsewhere", "type": "agent", "identifier": "8.com.example.allowed",
         "url": "file:///Users/other/a.plist", "allowed": false},
        {"uid": -2, "name": "Legacy", "type": "legacy daemon", "identifier": "com.example.denied",
         "url": "file:///Library/LaunchDaemons/com.example.denied.plist", "allowed": false}])";
    const std::string jobs = R"("jobs": [
        {"label": "com.example.allowed", "program": "/usr/local/libexec/hs-btm-allow",
         "running": true},
        {"label": "com.example.denied", "path": "Library/LaunchDaemons/com.example.denied.plist",
         "program": "/usr/local/libexec/hs-btm-deny", "running": true}])";
    const auto caller = static_cast<std::int64_t>(::getuid());
    std::vector<std::vector<BackgroundItem>> shapes;
    for (const char* shape : {"newer", "older", "excerpt"}) {
        writeState("{" + jobs + ", " + records + R"(, "btmShape": ")" + shape + R"("})");
        ToolRun dump = tool("/usr/bin/sfltool", {"dumpbtm"});
        ASSERT_EQ(dump.status, 0) << dump.err;
        const std::string_view name = shape;
        EXPECT_EQ(dump.out.find("Indentifier") != std::string::npos, name == "older");
        EXPECT_EQ(dump.out.find("Records for UID") == std::string::npos, name == "excerpt");
        // macOS 13 names apps by their code requirement, parent links too.
        EXPECT_EQ(dump.out.find("and identifier \"com.example.app\"") != std::string::npos,
                  name == "older");
        std::vector<BackgroundItem> read =
            BackgroundTaskTable(parseDumpBtm(dump.out), caller).records();
        for (BackgroundItem& record : read) {
            if (name != "excerpt") {
                EXPECT_EQ(record.uid, record.name == "Legacy" ? -2 : caller) << shape;
            }
            record.uid.reset();
            record.identifier = plainIdentifier(record.identifier.value_or(""));
            record.parentIdentifier = plainIdentifier(record.parentIdentifier.value_or(""));
        }
        shapes.push_back(std::move(read));
    }
    EXPECT_EQ(shapes[0], shapes[1]);
    EXPECT_EQ(shapes[0], shapes[2]);
    ASSERT_EQ(shapes[0].size(), 3u);
    // By UID block: the system-wide one (-2) first; another user's is not read.
    EXPECT_EQ(shapes[0][0].typeFlags, 0x10010u);
    EXPECT_FALSE(shapes[0][0].allowed());
    EXPECT_EQ(shapes[0][2].url, "/Applications/App One.app/Contents/Library/LaunchAgents/a.plist");
    EXPECT_EQ(shapes[0][2].executablePath, "/Applications/App One.app/Contents/MacOS/agent");
    EXPECT_EQ(shapes[0][2].developerName, "Example");
    EXPECT_TRUE(shapes[0][2].allowed());

    ASSERT_EQ(hostsim("boot").status, 0);
    EXPECT_TRUE(listedPid("com.example.allowed").has_value());
    EXPECT_FALSE(listedPid("com.example.denied").has_value());

    EXPECT_EQ(tool("/usr/bin/sfltool", {"resetbtm"}).status, 64);
    EXPECT_EQ(tool("/usr/bin/sfltool", {}).status, 64);
}

} // namespace
} // namespace daemonary
