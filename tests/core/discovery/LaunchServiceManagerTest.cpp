#include "discovery/LaunchServiceManager.h"

#include "DiscoveryTestSupport.h"

#include <future>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace daemonary {
namespace {

using test::definitionXml;
using test::FixedProcessSource;
using test::labelsOf;
using test::LogCapture;
using test::snapshotOf;
using test::TemporaryHost;
using test::writeFakeTool;
using test::writeFile;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

LaunchItem record(std::string label, std::optional<std::string> executable = std::nullopt) {
    LaunchItem item;
    item.label = std::move(label);
    item.executablePath = std::move(executable);
    item.status = ServiceStatus::unknown;
    item.scope = LaunchScope::system;
    item.type = ServiceType::launchDaemon;
    return item;
}

std::vector<LaunchItem> resolve(std::vector<LaunchItem> records, std::string_view listing,
                                const ProcessSnapshot& snapshot) {
    return LaunchServiceManager::resolveStatuses(std::move(records), parseLaunchctlList(listing),
                                                 snapshot);
}

TEST(ResolveStatusesTest, ExactLabelThenContainingLabelThenProcessNames) {
    const std::string listing = "PID\tStatus\tLabel\n"
                                "-\t0\tcom.example.idle\n"
                                "4321\t0\tapplication.com.example.sync.1234\n"
                                "-\t0\tcom.example.waiting\n"
                                "900\t0\tother.com.example.waiting.1\n"
                                "77\t0\tcom.example.exact\n";
    const ProcessSnapshot snapshot =
        snapshotOf({{10, "Finder"}, {11, "idle"}, {12, "mytool"}, {13, "finder"}});
    std::vector<LaunchItem> records = {
        record("com.example.exact"),   record("com.example.sync"),
        record("com.example.Finder"),  record("com.example.idle"),
        record("com.example.waiting"), record("org.none.job", "/usr/local/bin/MyTool"),
        record("org.none.absent"),
    };
    records[0].index = 5; // any earlier state is overwritten
    records[0].pid = 1;

    const std::vector<LaunchItem> result = resolve(records, listing, snapshot);
    ASSERT_EQ(result.size(), records.size());
    // Exact label with a pid.
    EXPECT_EQ(result[0].pid, 77);
    EXPECT_EQ(result[0].index, std::nullopt);
    // Absent from the table, contained in an instance label.
    EXPECT_EQ(result[1].pid, 4321);
    // Process name from the last label component, ignoring case; the first
    // pid in snapshot order wins.
    EXPECT_EQ(result[2].pid, 10);
    // Listed without a pid: launchd says it is idle, and a process of the
    // same name does not say otherwise.
    EXPECT_EQ(result[3].pid, std::nullopt);
    // Listed without a pid and contained in a later label with one: the
    // search stops at the first containing entry (itself), which has none.
    EXPECT_EQ(result[4].pid, std::nullopt);
    // Program file name.
    EXPECT_EQ(result[5].pid, 12);
    EXPECT_EQ(result[6].pid, std::nullopt);

    for (const LaunchItem& item : result) {
        // A pid found by name is a guess: the job's state is unknown.
        EXPECT_EQ(item.status, !item.pid           ? ServiceStatus::inactive
                               : item.pidIsGuess() ? ServiceStatus::unknown
                                                   : ServiceStatus::active)
            << item.label;
    }
    EXPECT_TRUE(result[2].pidIsGuess());
    EXPECT_FALSE(result[1].pidIsGuess());
}

TEST(ResolveStatusesTest, ContainingLabelFollowsTableOrder) {
    // The later, alphabetically earlier label must not win.
    const std::vector<LaunchItem> result =
        resolve({record("sync")}, "1\t0\tz.sync.1\n2\t0\ta.sync.2\n", {});
    EXPECT_EQ(result[0].pid, 1);

    const LaunchctlTable table = parseLaunchctlList("1\t0\tz.sync.1\n2\t0\ta.sync.2\n3\t0\tx\n");
    EXPECT_THAT(findContainingLabels({"sync", "a.sync", "nothing", "x"}, table),
                ElementsAre(0u, 1u, std::nullopt, 2u));
}

TEST(ResolveStatusesTest, WholeLabelAndTruncatedProcessNames) {
    // The kernel's short names stop at 16 characters: a longer last
    // component never matches, a whole label of that length can.
    const ProcessSnapshot snapshot = snapshotOf({{30, "averyveryverylon"}, {31, "my.tool"}});
    const std::vector<LaunchItem> result =
        resolve({record("com.example.averyveryverylongname"), record("My.Tool")}, "", snapshot);
    EXPECT_EQ(result[0].pid, std::nullopt);
    EXPECT_EQ(result[0].status, ServiceStatus::inactive);
    EXPECT_EQ(result[1].pid, 31);
}

TEST(ResolveStatusesTest, JobTablePidStaysWithItsLabel) {
    // Two definitions name one program; the job table runs only the first.
    // The second must not borrow the first's pid by the program's name.
    const ProcessSnapshot snapshot = snapshotOf({{500, "tool"}, {600, "helper"}, {601, "helper"}});
    const std::string listing = "500\t0\tcom.example.real\n"
                                "600\t0\tcom.example.helper\n";
    const std::vector<LaunchItem> result =
        resolve({record("com.example.real", "/usr/local/bin/tool"),
                 record("com.example.copy", "/usr/local/bin/tool"), record("org.other.helper"),
                 record("org.third.helper-job", "/opt/helper")},
                listing, snapshot);
    struct Expected {
        std::optional<std::int32_t> pid;
        bool byProcessName;
    };
    const Expected expected[] = {
        {500, false},
        {std::nullopt, false},
        // Not the table's 600: the next process of that name, marked as a guess.
        {601, true},
        {601, true},
    };
    ASSERT_EQ(result.size(), std::size(expected));
    for (std::size_t i = 0; i < result.size(); ++i) {
        EXPECT_EQ(result[i].pid, expected[i].pid) << result[i].label;
        EXPECT_EQ(result[i].pidIsGuess(), expected[i].byProcessName) << result[i].label;
        // launchd lists none of the guessed ones: whether they run is unknown.
        EXPECT_EQ(result[i].status, !expected[i].pid            ? ServiceStatus::inactive
                                    : expected[i].byProcessName ? ServiceStatus::unknown
                                                                : ServiceStatus::active);
    }
}

TEST(ResolveStatusesTest, OtherPeoplesProcessesNeverPassForThisUsersJobs) {
    // The same names, run by another login account, by root and by a service
    // account: only the last two may be what the user's records name.
    constexpr std::uint32_t kOwn = 501;
    ProcessSnapshot snapshot;
    snapshot[40] = ProcessInfo{40, "agent", 502};
    snapshot[41] = ProcessInfo{41, "daemon", 503};
    snapshot[42] = ProcessInfo{42, "daemon", 0};
    snapshot[43] = ProcessInfo{43, "helper", 278};
    snapshot[44] = ProcessInfo{44, "mine", kOwn};
    const std::vector<LaunchItem> result = LaunchServiceManager::resolveStatuses(
        {record("com.example.agent"), record("com.example.daemon"), record("com.example.helper"),
         record("com.example.mine")},
        LaunchctlTable(), snapshot, kOwn);
    EXPECT_EQ(result[0].pid, std::nullopt);
    EXPECT_EQ(result[0].status, ServiceStatus::inactive);
    EXPECT_EQ(result[1].pid, 42);
    EXPECT_EQ(result[2].pid, 43);
    EXPECT_EQ(result[3].pid, 44);
    for (std::size_t i = 1; i < result.size(); ++i) {
        EXPECT_EQ(result[i].pidSource, PidSource::processName);
        EXPECT_EQ(result[i].launchdPid(), std::nullopt);
    }
}

TEST(ResolveStatusesTest, JobsTakeTheProgramOnlyWhenEveryDefinitionAgrees) {
    const auto definition = [](std::string label, std::string program) {
        LaunchItem item = record(std::move(label), std::move(program));
        item.path = "/Library/LaunchDaemons/" + item.label + ".plist";
        return item;
    };
    const std::vector<LaunchItem> system = {definition("com.example.one", "/usr/bin/one"),
                                            definition("com.apple.mds", "/usr/libexec/mds")};
    // A user agent claiming a system job's label with a program of its own:
    // the job must not pass for the signed program.
    const std::vector<LaunchItem> user = {definition("com.apple.mds", "/tmp/evil"),
                                          definition("com.example.one", "/usr/bin/one")};
    LaunchItem stale = record("com.example.gone", "/usr/bin/old");
    const std::vector<LaunchItem> jobs = LaunchServiceManager::withDefinitionPrograms(
        {record("com.example.one"), record("com.apple.mds"), stale, record("com.example")},
        {&system, &user, nullptr});
    const std::vector<std::optional<std::string>> programs = {"/usr/bin/one", std::nullopt,
                                                              std::nullopt, std::nullopt};
    ASSERT_EQ(jobs.size(), programs.size());
    for (std::size_t i = 0; i < jobs.size(); ++i) {
        EXPECT_EQ(jobs[i].executablePath, programs[i]) << jobs[i].label;
    }
}

class LaunchServiceManagerHostTest : public ::testing::Test {
protected:
    LaunchServiceManager manager(ProcessSnapshot snapshot = {}) const {
        return LaunchServiceManager(host.layout(),
                                    std::make_shared<FixedProcessSource>(std::move(snapshot)));
    }
    void fakeLaunchctl(std::string_view listing) const {
        writeFakeTool(host / "/bin/launchctl", listing, "launchctl note\n");
    }

    TemporaryHost host;
    LogCapture log;
};

TEST_F(LaunchServiceManagerHostTest, ScanLogsEachDirectoryAndSkipsBadDefinitions) {
    writeFile(host / "/Library/LaunchDaemons/com.example.a.plist", definitionXml("com.example.a"));
    writeFile(host / "/Library/LaunchDaemons/broken.plist", "not a property list");
    writeFile(host / "/Library/LaunchDaemons/README.txt", "ignored");
    writeFile(host / "/Library/LaunchDaemons/upper.PLIST", definitionXml("upper"));
    writeFile(host / "/Library/LaunchAgents/com.example.b.plist",
              definitionXml("com.example.b", "/usr/bin/b"));

    const LaunchServiceManager discovery = manager();
    const std::vector<LaunchItem> items = discovery.scanLaunchdDirectories(
        {host / "/Missing/LaunchDaemons", discovery.globalDaemons(), discovery.globalAgents()});

    EXPECT_THAT(labelsOf(items), ElementsAre("com.example.a", "com.example.b"));
    EXPECT_EQ(items[1].executablePath, "/usr/bin/b");
    EXPECT_EQ(items[1].type, ServiceType::launchAgent);
    EXPECT_EQ(items[1].status, ServiceStatus::unknown);

    const std::vector<std::string> lines = log.lines();
    const std::vector<std::string> expected = {
        "Scanning directory: " + (host / "/Missing/LaunchDaemons"),
        "Failed to access directory: " + (host / "/Missing/LaunchDaemons"),
        "Scanning directory: " + (host / "/Library/LaunchDaemons"),
        "Found 4 files in LaunchDaemons",
        "PlistReader: " + (host / "/Library/LaunchDaemons/broken.plist") + ": does not parse",
        "Failed to read plist definition: broken.plist",
        "Scanning directory: " + (host / "/Library/LaunchAgents"),
        "Found 1 files in LaunchAgents",
    };
    EXPECT_EQ(lines, expected);
}

TEST_F(LaunchServiceManagerHostTest, StartupItemsAreFoldersOnly) {
    test::makeDirectory(host / "/Library/StartupItems/Example");
    test::makeDirectory(host / "/Library/StartupItems/.Hidden");
    writeFile(host / "/Library/StartupItems/plain-file", "x");

    const LaunchServiceManager discovery = manager();
    const std::vector<LaunchItem> items = discovery.scanStartupItems(
        {discovery.systemStartupItems(), discovery.globalStartupItems()});

    ASSERT_THAT(labelsOf(items), ElementsAre(".Hidden", "Example"));
    const LaunchItem& example = items[1];
    EXPECT_EQ(example.path, host / "/Library/StartupItems/Example");
    EXPECT_EQ(example.executablePath, host / "/Library/StartupItems/Example/Example");
    EXPECT_EQ(example.scope, LaunchScope::system);
    EXPECT_EQ(example.type, ServiceType::startupItem);
    // A missing startup-item folder is skipped without a word.
    EXPECT_THAT(log.lines(), IsEmpty());
}

TEST_F(LaunchServiceManagerHostTest, MachServicesFollowTheJobTable) {
    fakeLaunchctl("PID\tStatus\tLabel\n-\t0\tcom.example.b\n42\t0\tcom.example.a\n");
    const std::vector<LaunchItem> items = manager().loadItems(LaunchScope::mach);

    ASSERT_THAT(labelsOf(items), ElementsAre("com.example.b", "com.example.a"));
    EXPECT_EQ(items[0].status, ServiceStatus::inactive);
    EXPECT_EQ(items[1].pid, 42);
    EXPECT_EQ(items[1].status, ServiceStatus::active);
    EXPECT_EQ(items[1].id(), "com.example.a-Mach-");
    EXPECT_EQ(items[1].type, ServiceType::launchService);
    // One table for both the jobs and their states.
    EXPECT_EQ(test::readText(host / "/bin/launchctl.args"), "list\n");
}

TEST_F(LaunchServiceManagerHostTest, LaunchctlFailuresGiveAnEmptyTable) {
    EXPECT_TRUE(manager().runLaunchctlList().empty());
    EXPECT_THAT(log.lines(), ElementsAre("Failed to run launchctl: No such file or directory"));

    fakeLaunchctl("-\t0\tcaf\xC3\n");
    EXPECT_TRUE(manager().runLaunchctlList().empty());
    EXPECT_EQ(log.lines().size(), 1u); // undecodable output is not logged
}

TEST_F(LaunchServiceManagerHostTest, SystemCategoryGathersInOrderAndResolves) {
    writeFile(host / "/Library/LaunchDaemons/d.plist", definitionXml("com.example.daemon"));
    writeFile(host / "/Library/LaunchAgents/a.plist", definitionXml("com.example.agent"));
    test::makeDirectory(host / "/Library/StartupItems/Legacy");
    fakeLaunchctl("PID\tStatus\tLabel\n-\t0\tcom.example.daemon\n");

    const std::vector<LaunchItem> items =
        manager(snapshotOf({{55, "Legacy"}})).loadItems(LaunchScope::system);

    ASSERT_THAT(labelsOf(items), ElementsAre("com.example.daemon", "com.example.agent", "Legacy"));
    EXPECT_EQ(items[0].status, ServiceStatus::inactive);
    EXPECT_EQ(items[1].status, ServiceStatus::inactive);
    EXPECT_EQ(items[2].pid, 55);
    EXPECT_EQ(items[2].status, ServiceStatus::unknown);
}

TEST_F(LaunchServiceManagerHostTest, KernelCategoryIsNotResolvedAgain) {
    test::makeDirectory(host / "/System/Library/Extensions/Foo.kext");
    writeFakeTool(host / "/usr/bin/kmutil", "  12   1 0 0 0 com.apple.driver.Foo (1.0) UUID <>\n");
    // Even a job table that names the bundle changes nothing.
    fakeLaunchctl("-\t0\tFoo.kext\n");

    const std::vector<LaunchItem> items =
        manager(snapshotOf({{99, "Foo.kext"}})).loadItems(LaunchScope::kernel);
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].index, 12);
    EXPECT_EQ(items[0].pid, std::nullopt);
    EXPECT_EQ(items[0].status, ServiceStatus::active);
}

LaunchItem userRecord(std::string label, std::optional<std::string> path,
                      std::optional<std::string> executable, ServiceType type) {
    LaunchItem item = record(std::move(label), std::move(executable));
    item.path = std::move(path);
    item.scope = LaunchScope::user;
    item.type = type;
    return item;
}

TEST(CollapseByBundleTest, OneRecordPerBundleProgramWinsFirstStays) {
    const auto login = [](std::string label, std::string path) {
        return userRecord(std::move(label), std::move(path), std::nullopt, ServiceType::loginItem);
    };
    const auto agent = [](std::string label, std::string executable) {
        return userRecord(std::move(label), "/Users/u/Library/LaunchAgents/" + label + ".plist",
                          std::move(executable), ServiceType::launchAgent);
    };
    const std::vector<LaunchItem> result = LaunchServiceManager::collapseByBundle({
        agent("com.example.tool", "/usr/local/bin/tool"),
        login("Example", "/Applications/Example.app"),
        login("Other", "/Applications/Other.app"),
        agent("com.example.agent", "/Applications/Example.app/Contents/MacOS/Example"),
        login("Other again", "/Applications/Other.app"),
        agent("com.example.second", "/Applications/Example.app/Contents/MacOS/Helper"),
        login("Loose", "/Users/u/script.sh"),
    });
    // The launch agent took the login item's place; the second agent with a
    // program and the second login item were dropped; loose records last.
    EXPECT_THAT(labelsOf(result),
                ElementsAre("com.example.agent", "Other", "com.example.tool", "Loose"));
}

TEST_F(LaunchServiceManagerHostTest, UserCategoryMergesLoginItemIntoLaunchAgent) {
    writeFile(
        host.home() + "/Library/LaunchAgents/com.example.agent.plist",
        definitionXml("com.example.agent", "/Applications/Example.app/Contents/MacOS/Example"));
    // The simulated host reports login items inside its root, while the
    // definition names the program as the Mac would.
    writeFakeTool(host / "/usr/bin/osascript", "Example, Notes, " +
                                                   (host / "/Applications/Example.app") + ", " +
                                                   (host / "/Applications/Notes.app") + "\n");
    fakeLaunchctl("PID\tStatus\tLabel\n321\t0\tcom.example.agent\n");

    const std::vector<LaunchItem> items =
        manager(snapshotOf({{8, "Notes"}})).loadItems(LaunchScope::user);

    ASSERT_THAT(labelsOf(items), ElementsAre("com.example.agent", "Notes"));
    EXPECT_EQ(items[0].type, ServiceType::launchAgent);
    EXPECT_EQ(items[0].scope, LaunchScope::user);
    EXPECT_EQ(items[0].pid, 321);
    EXPECT_EQ(items[1].type, ServiceType::loginItem);
    EXPECT_EQ(items[1].pid, 8);
}

TEST_F(LaunchServiceManagerHostTest, ConcurrentLoadsMatchSequentialOnes) {
    writeFile(host / "/System/Library/LaunchDaemons/s.plist", definitionXml("com.apple.s"));
    writeFile(host / "/Library/LaunchDaemons/g.plist", definitionXml("com.example.g"));
    writeFile(host / "/Library/PrivilegedHelperTools/com.example.helper", "x");
    writeFile(host / "/Library/Spotlight/Example.mdimporter", "x");
    writeFile(host / "/Library/Extensions/Bar.kext", "x");
    writeFakeTool(host / "/usr/bin/osascript", "\n");
    writeFakeTool(host / "/usr/bin/kmutil", "");
    fakeLaunchctl("1\t0\tcom.example.g\n");

    const LaunchServiceManager discovery = manager(snapshotOf({{3, "helper"}}));
    std::vector<std::vector<LaunchItem>> sequential;
    for (const LaunchScope scope : allScopes()) {
        sequential.push_back(discovery.loadItems(scope));
    }
    std::vector<std::future<std::vector<LaunchItem>>> loads;
    for (int round = 0; round < 2; ++round) {
        for (const LaunchScope scope : allScopes()) {
            loads.push_back(std::async(std::launch::async,
                                       [&discovery, scope] { return discovery.loadItems(scope); }));
        }
    }
    for (std::size_t i = 0; i < loads.size(); ++i) {
        EXPECT_EQ(loads[i].get(), sequential[i % allScopes().size()]);
    }
    EXPECT_EQ(sequential[static_cast<std::size_t>(LaunchScope::macos)].size(), 1u);
}

} // namespace
} // namespace daemonary
