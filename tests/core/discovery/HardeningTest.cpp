// Hostile input in the folders and tool output that discovery reads: every
// case must end with fewer records and a log line, never a crash, a hang or a
// memory blow-up.

#include "DiscoveryTestSupport.h"
#include "ListCommand.h"
#include "discovery/KernelServiceManager.h"
#include "discovery/LaunchServiceManager.h"
#include "discovery/LoginItemManager.h"
#include "insight/SignerChecker.h"
#include "platform/FileSystem.h"
#include "platform/ToolRunner.h"

#include <algorithm>
#include <cerrno>
#include <gmock/gmock.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace daemonary {
namespace {

using namespace std::string_literals;
using test::definitionXml;
using test::FixedProcessSource;
using test::labelsOf;
using test::LogCapture;
using test::TemporaryHost;
using test::writeFakeTool;
using test::writeFile;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Pair;
using ::testing::UnorderedElementsAre;

constexpr std::string_view kHeading = "PID\tStatus\tLabel\n";

// A fake tool given as a shell script body, for outputs too large or too
// endless to keep in a file.
void writeScript(const std::string& path, std::string_view body) {
    writeFile(path, "#!/bin/sh\n" + std::string(body) + "\n", true);
}

void makeSymlink(const std::string& target, const std::string& link) {
    ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0) << link;
}

class HardeningTest : public ::testing::Test {
protected:
    HardeningTest() { writeFakeTool(host / "/bin/launchctl", kHeading); }

    LaunchServiceManager manager() const {
        return LaunchServiceManager(host.layout(),
                                    std::make_shared<FixedProcessSource>(ProcessSnapshot{}));
    }
    std::vector<LaunchItem> load(LaunchScope scope) const { return manager().loadItems(scope); }

    TemporaryHost host;
};

TEST_F(HardeningTest, SpecialFilesNamedLikeDefinitionsAreProblemsNotRecords) {
    const std::string daemons = host / "/Library/LaunchDaemons";
    writeFile(daemons + "/good.plist", definitionXml("com.example.good", "/usr/bin/good"));
    // Opening a FIFO for reading blocks until a writer comes; none ever does.
    ASSERT_EQ(::mkfifo((daemons + "/fifo.plist").c_str(), 0644), 0);
    // "Read the whole file" never ends on these two.
    makeSymlink("/dev/zero", daemons + "/zero.plist");
    makeSymlink("/dev/urandom", daemons + "/random.plist");
    makeSymlink(daemons + "/missing", daemons + "/dangling.plist");
    makeSymlink(daemons + "/loop-b.plist", daemons + "/loop-a.plist");
    makeSymlink(daemons + "/loop-a.plist", daemons + "/loop-b.plist");
    test::makeDirectory(daemons + "/folder.plist");
    // A regular file over the size cap; sparse, so it costs no disk.
    writeFile(daemons + "/huge.plist", definitionXml("com.example.huge"));
    ASSERT_EQ(::truncate((daemons + "/huge.plist").c_str(),
                         static_cast<off_t>(kMaxReadableFileBytes) + 1),
              0);

    const LogCapture log;
    const DiscoveredCategory system = manager().loadCategory(LaunchScope::system);

    EXPECT_THAT(labelsOf(system.items), ElementsAre("com.example.good"));
    for (const char* name : {"fifo.plist", "zero.plist", "random.plist", "dangling.plist",
                             "loop-a.plist", "loop-b.plist", "folder.plist", "huge.plist"}) {
        EXPECT_THAT(log.lines(), Contains("Failed to read plist definition: "s + name));
    }
    EXPECT_THAT(log.lines(), Contains("Found 9 files in LaunchDaemons"));

    std::vector<std::pair<std::string, ProblemReason>> problems;
    for (const DefinitionProblem& problem : system.problems) {
        EXPECT_EQ(problem.scope, LaunchScope::system);
        problems.emplace_back(problem.path.substr(daemons.size() + 1), problem.reason);
    }
    EXPECT_THAT(problems, UnorderedElementsAre(Pair("fifo.plist", ProblemReason::notRegularFile),
                                               Pair("zero.plist", ProblemReason::notRegularFile),
                                               Pair("random.plist", ProblemReason::notRegularFile),
                                               Pair("dangling.plist", ProblemReason::missing),
                                               Pair("loop-a.plist", ProblemReason::unreadable),
                                               Pair("loop-b.plist", ProblemReason::unreadable),
                                               Pair("folder.plist", ProblemReason::notRegularFile),
                                               Pair("huge.plist", ProblemReason::overSizeLimit)));
}

TEST_F(HardeningTest, SpecialFilesAsExtensionInfoAndStartupItems) {
    // Only bundles that kmutil does not name by file have their Info.plist read.
    writeFakeTool(host / "/usr/bin/kmutil",
                  "Index Refs Address Size Wired Name (Version) UUID <Linked Against>\n"
                  "    7    0 0 0 0 com.example.loaded (1) 00000000 <>\n");
    const std::string extensions = host / "/Library/Extensions";
    test::makeDirectory(extensions + "/Fifo.kext/Contents");
    ASSERT_EQ(::mkfifo((extensions + "/Fifo.kext/Contents/Info.plist").c_str(), 0644), 0);
    test::makeDirectory(extensions + "/Zero.kext/Contents");
    makeSymlink("/dev/zero", extensions + "/Zero.kext/Contents/Info.plist");
    writeFile(extensions + "/Good.kext/Contents/Info.plist",
              test::plistXml("<dict><key>CFBundleIdentifier</key>"
                             "<string>com.example.loaded</string></dict>"));

    const std::string startup = host / "/Library/StartupItems";
    test::makeDirectory(startup + "/Real");
    ASSERT_EQ(::mkfifo((startup + "/Fifo").c_str(), 0644), 0);
    makeSymlink(startup + "/Loop", startup + "/Loop");

    const std::vector<LaunchItem> kexts = load(LaunchScope::kernel);
    ASSERT_THAT(labelsOf(kexts), ElementsAre("Fifo.kext", "Good.kext", "Zero.kext"));
    EXPECT_EQ(kexts[0].status, ServiceStatus::inactive);
    EXPECT_EQ(kexts[1].index, 7);
    EXPECT_EQ(kexts[2].status, ServiceStatus::inactive);

    EXPECT_THAT(labelsOf(load(LaunchScope::system)), ElementsAre("Real"));
}

// Runs `scan` in a child process without root's rights (root reads a mode-000
// file regardless) and returns its log lines followed by the record labels.
std::vector<std::string> inUnprivilegedChild(const std::function<std::vector<LaunchItem>()>& scan) {
    int fds[2];
    if (::pipe(fds) != 0) {
        return {"pipe failed"};
    }
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(fds[0]);
        if (::geteuid() == 0 &&
            (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0)) {
            ::_exit(3);
        }
        std::string report;
        Log::setSink([&report](std::string_view line) { report.append(line).push_back('\n'); });
        for (const LaunchItem& item : scan()) {
            report += "record " + item.label + "\n";
        }
        const char* data = report.data();
        std::size_t left = report.size();
        while (left > 0) {
            const ssize_t written = ::write(fds[1], data, left);
            if (written <= 0) {
                ::_exit(4);
            }
            data += written;
            left -= static_cast<std::size_t>(written);
        }
        ::_exit(0);
    }
    ::close(fds[1]);
    std::string report;
    char buffer[4096];
    ssize_t got = 0;
    while ((got = ::read(fds[0], buffer, sizeof buffer)) > 0 || (got < 0 && errno == EINTR)) {
        report.append(buffer, static_cast<std::size_t>(std::max<ssize_t>(got, 0)));
    }
    ::close(fds[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        return {"child failed with status " + std::to_string(status)};
    }
    std::vector<std::string> lines;
    std::istringstream in(report);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

TEST_F(HardeningTest, UnreadableDefinitionIsSkippedWithItsLine) {
    const std::string agents = host / "/Library/LaunchAgents";
    writeFile(agents + "/open.plist", definitionXml("com.example.open"));
    writeFile(agents + "/locked.plist", definitionXml("com.example.locked"));
    ASSERT_EQ(::chmod((agents + "/locked.plist").c_str(), 0), 0);
    // The unprivileged child must be able to walk down to the folder.
    ASSERT_EQ(::chmod(host.root().c_str(), 0755), 0);

    const LaunchServiceManager scanner = manager();
    const std::vector<std::string> lines = inUnprivilegedChild([&] {
        std::vector<DefinitionProblem> problems;
        auto items = scanner.scanLaunchdDirectories({agents}, LaunchScope::system, problems);
        for (const DefinitionProblem& problem : problems) {
            Log::line("problem: " + std::string(lastPathComponent(problem.path)) + ": " +
                      std::string(toText(problem.reason)));
        }
        return items;
    });

    EXPECT_THAT(lines, Contains("Failed to read plist definition: locked.plist"));
    EXPECT_THAT(lines, Contains("problem: locked.plist: cannot be read"));
    EXPECT_THAT(lines, Contains("record com.example.open"));
    EXPECT_THAT(lines, ::testing::Not(Contains("record com.example.locked")));
}

TEST_F(HardeningTest, NamesThatAreNotUtf8KeepTheJsonValid) {
    const std::string badName = "bad\xff\xfe";
    writeFile(host / "/Library/LaunchAgents/" + badName + ".plist",
              definitionXml("com.example.\xc3\x28", "/usr/local/bin/" + badName));
    writeFile(host / "/Library/Spotlight/" + badName + ".mdimporter", "");
    test::makeDirectory(host / "/Library/StartupItems/" + badName);

    const std::vector<std::pair<LaunchScope, std::vector<LaunchItem>>> categories = {
        {LaunchScope::system, load(LaunchScope::system)},
        {LaunchScope::others, load(LaunchScope::others)},
    };
    ASSERT_EQ(categories[0].second.size(), 2u);
    ASSERT_EQ(categories[1].second.size(), 1u);

    const std::string text = listJson(categories, nullptr);
    const nlohmann::json document = nlohmann::json::parse(text, nullptr, false);
    ASSERT_FALSE(document.is_discarded()) << text;
    // Undecodable bytes become U+FFFD; the records themselves stay.
    EXPECT_EQ(document["System"][0]["label"], "com.example.\xef\xbf\xbd(");
    EXPECT_EQ(document["System"][1]["label"], "bad\xef\xbf\xbd\xef\xbf\xbd");
    EXPECT_EQ(document["Others"][0]["label"],
              "bad\xef\xbf\xbd\xef\xbf\xbd.mdimporter (Spotlight Plug-ins)");
}

// 50 MB, well over the capture limit, from a tool that then exits normally.
constexpr std::string_view kFiftyMegabytes =
    "yes '1\t0\tcom.example.flood.with.a.long.label' | head -c 52428800\nexit 0";

TEST_F(HardeningTest, OversizedToolOutputIsAFailedRunNotAMemoryBlowUp) {
    writeScript(host / "/bin/launchctl", kFiftyMegabytes);
    writeScript(host / "/usr/bin/kmutil", kFiftyMegabytes);
    writeScript(host / "/usr/bin/osascript", kFiftyMegabytes);
    writeFile(host / "/Library/Extensions/Driver.kext/Contents/Info.plist", "");
    writeFile(host.home() + "/Library/LaunchAgents/a.plist", definitionXml("com.example.a"));

    const LogCapture log;
    EXPECT_THAT(load(LaunchScope::mach), IsEmpty());
    const std::vector<LaunchItem> kexts = load(LaunchScope::kernel);
    ASSERT_EQ(kexts.size(), 1u);
    EXPECT_EQ(kexts[0].status, ServiceStatus::inactive);
    EXPECT_THAT(labelsOf(load(LaunchScope::user)), ElementsAre("com.example.a"));

    const std::string tooLarge = "output too large (over 16777216 bytes)";
    EXPECT_THAT(log.lines(), Contains("Failed to run launchctl: " + tooLarge));
    EXPECT_THAT(log.lines(), Contains("KernelServiceManager: Failed to run kmutil: " + tooLarge));
    EXPECT_THAT(log.lines(), Contains("Failed to run osascript for login items: " + tooLarge));
}

TEST_F(HardeningTest, EndlessToolOutputEndsTheRun) {
    // A tool that never stops writing would otherwise be waited for forever.
    writeScript(host / "/bin/launchctl", "exec yes '1\t0\tcom.example.flood'");
    writeScript(host / "/usr/bin/kmutil", "exec yes '1 0 0 0 0 com.example.flood'");

    const LogCapture log;
    EXPECT_THAT(load(LaunchScope::mach), IsEmpty());
    EXPECT_THAT(load(LaunchScope::kernel), IsEmpty());
    EXPECT_THAT(log.lines(), Contains(HasSubstr("Failed to run launchctl: output too large")));
    EXPECT_THAT(log.lines(), Contains(HasSubstr("Failed to run kmutil: output too large")));

    // Standard error is bounded the same way while standard output is read.
    const ToolResult result = runTool("/bin/sh", {"-c", "exec yes error >&2"}, true, true);
    ASSERT_TRUE(result.launchError);
    EXPECT_EQ(result.launchError->code, EFBIG);
    EXPECT_THAT(result.standardOutput, IsEmpty());
}

TEST_F(HardeningTest, CodesignThatNeverAnswersOrFloodsGivesAClearUnknown) {
    writeFile(host / "/opt/program", "binary", true);
    const SignerChecker checker(host.layout(), std::chrono::milliseconds(300));

    // Never answers, and keeps a child of its own on the pipe: both are ended.
    writeScript(host / "/usr/bin/codesign", "sleep 1000 & echo started >&2; wait");
    EXPECT_EQ(checker.check("/opt/program").description(),
              "Unknown (codesign did not answer in time)");

    // 50 MB of report: read no further than a report can be, then given up
    // (with time enough to write that much on a busy machine).
    writeScript(host / "/usr/bin/codesign", "yes 'Nested=Contents/Frameworks/X.framework' | "
                                            "head -c 52428800 >&2; exit 0");
    const SignerChecker patient(host.layout(), std::chrono::minutes(5));
    EXPECT_EQ(patient.check("/opt/program").description(),
              "Unknown (codesign could not be used: output too large (over " +
                  std::to_string(SignerChecker::kMaxReportBytes) + " bytes))");
}

TEST_F(HardeningTest, OutputJustUnderTheLimitIsStillRead) {
    // 16 MiB less a little: one real job line at the end of a long run of
    // blank lines, which must not be listed one by one in memory either.
    writeScript(
        host / "/bin/launchctl",
        "head -c 16000000 /dev/zero | tr '\\0' '\\n'\nprintf '42\\t0\\tcom.example.last\\n'");
    const std::vector<LaunchItem> mach = load(LaunchScope::mach);
    ASSERT_THAT(labelsOf(mach), ElementsAre("com.example.last"));
    EXPECT_EQ(mach[0].pid, 42);
}

TEST_F(HardeningTest, NulBytesLongLinesAndOddLineEndsInLaunchctlOutput) {
    const std::string megabyteLabel(1 << 20, 'x');
    const std::string megabyteOfTabs(1 << 20, '\t');
    writeFakeTool(host / "/bin/launchctl", "PID\tStatus\tLabel\r\n"
                                           "12\t0\tcom.example.crlf\r\n"
                                           "13\t0\tcom.example.cr\r"
                                           "-\t0\tcom.example.nul\0inside\n"s +
                                               "14\t0\t" + megabyteLabel + "\n" + megabyteOfTabs +
                                               "\n" + "15\t-9\tcom.example.after\t" +
                                               megabyteOfTabs + "\n" + "\0\0\0\n"s +
                                               "16\t0\tcom.example.last");

    const std::vector<LaunchItem> mach = load(LaunchScope::mach);
    // The tab-only line has an empty pid and label, which is still a job line.
    EXPECT_THAT(labelsOf(mach),
                ElementsAre("com.example.crlf", "com.example.cr", "com.example.nul\0inside"s,
                            megabyteLabel, "", "com.example.after", "com.example.last"));
    EXPECT_EQ(mach[0].pid, 12);
    EXPECT_EQ(mach[3].pid, 14);
    EXPECT_EQ(mach[5].pid, 15);

    // A record whose label lies inside the megabyte label takes its pid.
    LaunchItem record;
    record.label = std::string(1000, 'x');
    const std::vector<LaunchItem> resolved = manager().resolveStatuses({record});
    EXPECT_EQ(resolved[0].pid, 14);
}

TEST_F(HardeningTest, NulBytesLongLinesAndOddLineEndsInKmutilAndOsascriptOutput) {
    const std::string longLine = "1 0 0 0 0 com.example.long " + std::string(1 << 20, ' ') +
                                 std::string(1 << 20, 'y') + "\n";
    writeFakeTool(host / "/usr/bin/kmutil", "Index Refs Address Size Wired Name\r\n"
                                            "    3 0 0 0 0 com.example.crlf (1)\r\n"
                                            "    4 0 0 0 0 com.example.cr (1)\r"
                                            "    5 0 0 0 0 com.example.nul\0 (1)\n"s +
                                                longLine);
    for (const char* name : {"crlf", "cr", "long"}) {
        writeFile(host / "/Library/Extensions/" + std::string(name) + ".kext/Contents/Info.plist",
                  test::plistXml("<dict><key>CFBundleIdentifier</key><string>com.example." +
                                 std::string(name) + "</string></dict>"));
    }
    const std::vector<LaunchItem> kexts = load(LaunchScope::kernel);
    ASSERT_THAT(labelsOf(kexts), ElementsAre("cr.kext", "crlf.kext", "long.kext"));
    EXPECT_EQ(kexts[0].index, 4);
    EXPECT_EQ(kexts[1].index, 3);
    EXPECT_EQ(kexts[2].index, 1);
    EXPECT_EQ(KernelServiceManager::parseLoadedExtensions("    5 0 0 0 0 com.nul\0x (1)\n"s),
              (LoadedExtensionMap{{"com.nul\0x"s, 5}}));

    writeFakeTool(host / "/usr/bin/osascript", "One, Tw\0o, /Applications/One.app, "
                                               "/Applications/Two.app\r\n"s);
    const std::vector<LaunchItem> loginItems = LoginItemManager::fetchLoginItems(host.layout());
    EXPECT_THAT(labelsOf(loginItems), ElementsAre("One", "Tw\0o"s));
    EXPECT_EQ(loginItems[1].path, "/Applications/Two.app");
}

TEST_F(HardeningTest, FoldersWithTwentyThousandEntries) {
    constexpr int kEntries = 20000;
    const std::string extensions = host / "/Library/Extensions";
    const std::string spotlight = host / "/Library/Spotlight";
    test::makeDirectory(extensions);
    test::makeDirectory(spotlight);
    std::string loaded = "Index Refs Address Size Wired Name\n";
    for (int i = 0; i < kEntries; ++i) {
        // Empty files made with mknod, the cheapest entry to create; a plain
        // file named .kext is still listed as an extension.
        const std::string name = "Driver" + std::to_string(i);
        ASSERT_EQ(::mknod((extensions + "/" + name + ".kext").c_str(), S_IFREG | 0644, 0), 0);
        ASSERT_EQ(::mknod((spotlight + "/" + name + ".mdimporter").c_str(), S_IFREG | 0644, 0), 0);
        if (i % 1000 == 0) {
            loaded += std::to_string(i) + " 0 0 0 0 com.apple.driver." + name + " (1)\n";
        }
    }
    writeFakeTool(host / "/usr/bin/kmutil", loaded);
    std::string jobs(kHeading);
    jobs += "77\t0\tcom.example.Driver19999.mdimporter (Spotlight Plug-ins).1\n";
    writeFakeTool(host / "/bin/launchctl", jobs);

    const std::vector<LaunchItem> kexts = load(LaunchScope::kernel);
    ASSERT_EQ(kexts.size(), static_cast<std::size_t>(kEntries));
    EXPECT_EQ(std::count_if(kexts.begin(), kexts.end(),
                            [](const LaunchItem& item) { return item.index.has_value(); }),
              kEntries / 1000);

    const std::vector<LaunchItem> others = load(LaunchScope::others);
    ASSERT_EQ(others.size(), static_cast<std::size_t>(kEntries));
    const auto running = std::find_if(others.begin(), others.end(),
                                      [](const LaunchItem& item) { return item.pid.has_value(); });
    ASSERT_NE(running, others.end());
    EXPECT_EQ(running->label, "Driver19999.mdimporter (Spotlight Plug-ins)");
    EXPECT_EQ(running->pid, 77);
}

} // namespace
} // namespace daemonary
