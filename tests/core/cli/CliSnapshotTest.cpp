#include "Cli.h"
#include "DiscoveryTestSupport.h"
#include "baseline/Sha256.h"
#include "baseline/Snapshot.h"
#include "baseline/SnapshotFile.h"
#include "offline/MacTreeSupport.h"
#include "platform/Log.h"
#include "signing/SigningFixtures.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sstream>
#include <sys/stat.h>

namespace daemonary {
namespace {

using test::definitionXml;
using test::TemporaryHost;
using test::writeFile;
using ::testing::HasSubstr;
namespace fs = std::filesystem;

struct CliRun {
    int status = -1;
    std::string out;
    std::string err;
};

CliRun cli(const std::vector<std::string>& arguments) {
    std::ostringstream out;
    std::ostringstream err;
    CliRun run;
    run.status = runCli(arguments, out, err);
    run.out = out.str();
    run.err = err.str();
    return run;
}

// Points discovery at a temporary host for the life of the object.
class HostEnvironment {
public:
    explicit HostEnvironment(const TemporaryHost& host) {
        save("DAEMONARY_HOST_ROOT", host.root());
        save("HOME", host.home());
        Log::setSink([](std::string_view) {});
    }
    ~HostEnvironment() {
        Log::setSink({});
        for (const auto& [name, value] : m_saved) {
            if (value) {
                ::setenv(name.c_str(), value->c_str(), 1);
            } else {
                ::unsetenv(name.c_str());
            }
        }
    }
    HostEnvironment(const HostEnvironment&) = delete;
    HostEnvironment& operator=(const HostEnvironment&) = delete;

private:
    void save(const std::string& name, const std::string& value) {
        const char* previous = std::getenv(name.c_str());
        m_saved.emplace_back(name, previous ? std::optional<std::string>(previous) : std::nullopt);
        ::setenv(name.c_str(), value.c_str(), 1);
    }
    std::vector<std::pair<std::string, std::optional<std::string>>> m_saved;
};

SnapshotRecord agent(std::string label, std::string digest) {
    SnapshotRecord record;
    record.item.label = label;
    record.item.path = "/Library/LaunchAgents/" + label + ".plist";
    record.item.scope = LaunchScope::system;
    record.item.type = ServiceType::launchAgent;
    record.item.status = ServiceStatus::inactive;
    record.fingerprint.kind = Fingerprint::Kind::file;
    record.fingerprint.sha256 = std::move(digest);
    return record;
}

Snapshot snapshotWith(std::vector<SnapshotRecord> records, std::string takenAt) {
    Snapshot snapshot;
    snapshot.takenAt = std::move(takenAt);
    snapshot.hostName = "mac-17";
    snapshot.userName = "admin";
    snapshot.scopes = {LaunchScope::system, LaunchScope::mach};
    snapshot.records = std::move(records);
    return snapshot;
}

class CliDiffFilesTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(SnapshotFile::write(
            m_old, snapshotWith({agent("com.example.kept", std::string(64, 'a')),
                                 agent("com.example.gone", std::string(64, 'b'))},
                                "2026-12-07T13:00:00Z")));
        SnapshotRecord job;
        job.item.label = "com.example.xpc";
        job.item.scope = LaunchScope::mach;
        ASSERT_FALSE(SnapshotFile::write(
            m_new, snapshotWith({agent("com.example.kept", std::string(64, 'c')),
                                 agent("com.example.new", std::string(64, 'd')), job},
                                "2026-12-08T08:00:00Z")));
    }

    TemporaryHost m_host;
    std::string m_old = m_host.root() + "/old.json";
    std::string m_new = m_host.root() + "/new.json";
};

TEST_F(CliDiffFilesTest, TableAndExitStatus) {
    const CliRun run = cli({"diff", m_old, m_new});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out,
              "Since 2026-12-07T13:00:00Z on mac-17 (admin): 1 added, 1 removed, 1 modified\n"
              "+ System  com.example.new   /Library/LaunchAgents/com.example.new.plist\n"
              "- System  com.example.gone  /Library/LaunchAgents/com.example.gone.plist\n"
              "~ System  com.example.kept  /Library/LaunchAgents/com.example.kept.plist\n"
              "      contents changed\n");
    const CliRun same = cli({"diff", m_new, m_new});
    EXPECT_EQ(same.status, 0);
    EXPECT_EQ(same.out, "");
}

TEST_F(CliDiffFilesTest, JsonUsesTheRecordForm) {
    const CliRun run = cli({"diff", m_old, m_new, "--json"});
    EXPECT_EQ(run.status, 1);
    const auto document = nlohmann::json::parse(run.out);
    EXPECT_EQ(document["baseline"]["takenAt"], "2026-12-07T13:00:00Z");
    EXPECT_EQ(document["baseline"]["format"], 2);
    ASSERT_EQ(document["added"].size(), 1u);
    EXPECT_EQ(document["added"][0]["label"], "com.example.new");
    EXPECT_EQ(document["added"][0]["type"], "Launch Agent");
    EXPECT_EQ(document["removed"][0]["label"], "com.example.gone");
    const auto& modified = document["modified"][0];
    EXPECT_EQ(modified["before"]["fingerprint"]["sha256"], std::string(64, 'a'));
    EXPECT_EQ(modified["after"]["fingerprint"]["sha256"], std::string(64, 'c'));
    EXPECT_EQ(modified["changes"][0]["key"], "contents");
}

TEST_F(CliDiffFilesTest, JobTableOnlyWhenNamed) {
    const CliRun mach = cli({"diff", m_old, m_new, "--scope", "Mach"});
    EXPECT_EQ(mach.status, 1);
    EXPECT_THAT(mach.out, HasSubstr("+ Mach  com.example.xpc\n"));
    EXPECT_THAT(mach.out, ::testing::Not(HasSubstr("System")));
    EXPECT_THAT(cli({"diff", m_old, m_new}).out, ::testing::Not(HasSubstr("Mach")));
}

TEST_F(CliDiffFilesTest, TroubleExitsTwo) {
    const std::string damaged = m_host.root() + "/damaged.json";
    writeFile(damaged, "{\"format\": 9}");
    struct Case {
        std::vector<std::string> arguments;
        std::string message;
    };
    const std::vector<Case> cases = {
        {{"diff"}, "a baseline snapshot file is needed"},
        {{"diff", m_old, m_new, m_new}, "at most two"},
        {{"diff", m_old, "--frobnicate"}, "unknown option"},
        {{"diff", m_old, "--scope", "Nowhere"}, "unknown scope"},
        {{"diff", damaged, m_new}, damaged + ": format 9 is newer"},
        {{"diff", m_old, m_host.root() + "/absent.json"}, "absent.json: "},
        {{"diff", m_old, m_new, "--scope", "Kernel"}, "has no Kernel category"},
        {{"snapshot", "-o"}, "-o needs a file name"},
        {{"snapshot", "--json"}, "unknown option"},
    };
    for (const Case& item : cases) {
        const CliRun run = cli(item.arguments);
        EXPECT_EQ(run.status, 2) << item.message;
        EXPECT_EQ(run.out, "") << item.message;
        EXPECT_THAT(run.err, HasSubstr(item.message));
    }
}

TEST(CliSnapshotTest, SnapshotThenDiffThePresent) {
    TemporaryHost host;
    const HostEnvironment environment(host);
    const std::string daemon = host / "/Library/LaunchDaemons/com.example.a.plist";
    const auto definition = [](std::string_view arguments) {
        return test::plistXml("<dict><key>Label</key><string>com.example.a</string>"
                              "<key>ProgramArguments</key><array><string>/usr/bin/a</string>" +
                              std::string(arguments) + "</array></dict>");
    };
    writeFile(daemon, definition(""));
    // The program as the definition names it, under the host root.
    writeFile(host / "/usr/bin/a", "#!/bin/sh\necho a\n", true);
    const timespec times[2] = {{1700000000, 0}, {1700000000, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, (host / "/usr/bin/a").c_str(), times, 0), 0);
    const std::string baseline = host.root() + "/baseline.json";

    const CliRun snapshot = cli({"snapshot", "--scope", "System", "-o", baseline});
    ASSERT_EQ(snapshot.status, 0) << snapshot.err;
    EXPECT_EQ(snapshot.out, "");
    const auto read = SnapshotFile::read(baseline);
    ASSERT_TRUE(std::holds_alternative<Snapshot>(read));
    EXPECT_EQ(std::get<Snapshot>(read).scopes, std::vector{LaunchScope::system});
    EXPECT_EQ(std::get<Snapshot>(read).records[0].fingerprint.programSha256,
              sha256Hex("#!/bin/sh\necho a\n"));

    EXPECT_EQ(cli({"diff", baseline}).status, 0);

    // The program swapped under its size and time; an argument added whose
    // text would clear the terminal line.
    writeFile(host / "/usr/bin/a", "#!/bin/sh\nevil a\n", true);
    ASSERT_EQ(::utimensat(AT_FDCWD, (host / "/usr/bin/a").c_str(), times, 0), 0);
    writeFile(daemon, definition("<string>--evil\x1b[2K\r</string>"));
    writeFile(host / "/Library/LaunchDaemons/com.example.b.plist",
              definitionXml("com.example.b", "/usr/bin/b"));
    const CliRun diff = cli({"diff", baseline});
    EXPECT_EQ(diff.status, 1);
    EXPECT_THAT(diff.out, HasSubstr("+ System  com.example.b"));
    EXPECT_THAT(diff.out, HasSubstr("~ System  com.example.a"));
    EXPECT_THAT(diff.out, HasSubstr("\n      ProgramArguments: added \"--evil"));
    EXPECT_THAT(diff.out,
                HasSubstr("\n      program changed: SHA-256 " + sha256Hex("#!/bin/sh\necho a\n") +
                          " → " + sha256Hex("#!/bin/sh\nevil a\n") + "\n"));
    EXPECT_EQ(diff.out.find('\x1b'), std::string::npos) << diff.out;

    const auto changes =
        nlohmann::json::parse(cli({"diff", baseline, "--json"}).out)["modified"][0]["changes"];
    ASSERT_EQ(changes.size(), 2u);
    EXPECT_EQ(changes[0]["key"], "ProgramArguments");
    EXPECT_EQ(changes[0]["before"], nlohmann::json({"/usr/bin/a"}));
    EXPECT_EQ(changes[0]["after"], nlohmann::json({"/usr/bin/a", "--evil\x1b[2K\r"}));
    EXPECT_EQ(changes[1]["key"], "program");
    EXPECT_EQ(changes[1]["after"]["sha256"], sha256Hex("#!/bin/sh\nevil a\n"));

    // Without -o the document goes to standard output; by default the job
    // table is left out.
    const CliRun printed = cli({"snapshot"});
    ASSERT_EQ(printed.status, 0);
    const auto document = nlohmann::json::parse(printed.out);
    EXPECT_EQ(document["format"], 2);
    EXPECT_TRUE(document["categories"].contains("System"));
    EXPECT_FALSE(document["categories"].contains("Mach"));
}

// sfltool that stops answering is no change: the allowed state is not
// compared (one line says so) and the records only it listed are not gone.
// A format 1 baseline, which kept no allowed state, is not compared on it.
TEST(CliSnapshotTest, AllowedStateUnknownIsNoChange) {
    TemporaryHost host;
    const HostEnvironment environment(host);
    writeFile(host / "/Library/LaunchAgents/com.legacy.plist", definitionXml("com.legacy"));
    const std::string sfltool = host / "/usr/bin/sfltool";
    const std::string dump =
        "#1:\nName: Legacy\nType: legacy agent (0x10008)\nDisposition: [enabled, disallowed]\n"
        "Identifier: com.legacy\nURL: file:///Library/LaunchAgents/com.legacy.plist\n"
        "#2:\nName: Gone\nType: agent (0x8)\nIdentifier: 8.com.gone\n"
        "URL: file:///Applications/Gone.app/Contents/Library/LaunchAgents/g.plist\n";
    test::writeFakeTool(sfltool, dump);
    const std::string baseline = host.root() + "/baseline.json";
    const std::vector<std::string> scopes = {"--scope", "System", "--scope", "Background"};
    std::vector<std::string> snapshot = {"snapshot", "-o", baseline};
    snapshot.insert(snapshot.end(), scopes.begin(), scopes.end());
    ASSERT_EQ(cli(snapshot).status, 0);

    // It fails halfway, or prints nothing it knows.
    for (const auto& [output, status] : {std::pair{"Name: Legacy\n", 1}, {"garbage\n", 0}}) {
        test::writeFakeTool(sfltool, output, "", status);
        const CliRun diff = cli({"diff", baseline});
        EXPECT_EQ(diff.status, 0) << diff.out;
        EXPECT_EQ(diff.out, "");
        EXPECT_THAT(diff.err, HasSubstr("allowed in the background is not compared: sfltool gave "
                                        "no answer now"));
    }

    test::writeFakeTool(sfltool, dump);
    const std::string old = host.root() + "/format-1.json";
    auto document = nlohmann::json::parse(test::readText(baseline));
    document["format"] = 1;
    document.erase("programHashLimit");
    for (auto& [category, records] : document["categories"].items()) {
        for (auto& record : records) {
            record.erase("allowedInBackground");
        }
    }
    writeFile(old, document.dump());
    const CliRun diff = cli({"diff", old});
    EXPECT_EQ(diff.status, 0) << diff.out;
    EXPECT_THAT(diff.err, HasSubstr("the baseline (format 1) did not record it"));
    EXPECT_EQ(cli({"diff", baseline}).err, "");
}

TEST(CliSnapshotTest, DefinitionThatBecomesUnreadableIsAChange) {
    TemporaryHost host;
    const HostEnvironment environment(host);
    const std::string daemons = host / "/Library/LaunchDaemons";
    writeFile(daemons + "/com.example.a.plist", definitionXml("com.example.a", "/usr/bin/a"));
    writeFile(daemons + "/com.example.b.plist", definitionXml("com.example.b", "/usr/bin/b"));
    const std::string baseline = host.root() + "/baseline.json";
    ASSERT_EQ(cli({"snapshot", "--scope", "System", "-o", baseline}).status, 0);
    EXPECT_EQ(cli({"diff", baseline}).status, 0);

    writeFile(daemons + "/com.example.b.plist", "<plist><dict><key>Label</key>");
    ASSERT_EQ(::mkfifo((daemons + "/com.example.pipe.plist").c_str(), 0644), 0);

    const CliRun diff = cli({"diff", baseline});
    EXPECT_EQ(diff.status, 1);
    EXPECT_THAT(diff.out, HasSubstr("unreadable definitions: 2 new, 0 gone"));
    EXPECT_THAT(diff.out, HasSubstr("- System  com.example.b"));
    EXPECT_THAT(diff.out,
                HasSubstr("+! System  " + daemons + "/com.example.b.plist: does not parse"));
    EXPECT_THAT(diff.out,
                HasSubstr("+! System  " + daemons + "/com.example.pipe.plist: not a regular file"));

    // A later snapshot records them; compared the other way round they are gone.
    const std::string later = host.root() + "/later.json";
    ASSERT_EQ(cli({"snapshot", "--scope", "System", "-o", later}).status, 0);
    const CliRun json = cli({"diff", later, baseline, "--json"});
    EXPECT_EQ(json.status, 1);
    const auto document = nlohmann::json::parse(json.out);
    EXPECT_TRUE(document["addedProblems"].empty());
    ASSERT_EQ(document["removedProblems"].size(), 2u);
    EXPECT_EQ(document["removedProblems"][0],
              (nlohmann::json{{"path", daemons + "/com.example.b.plist"},
                              {"reason", "does not parse"},
                              {"category", "System"}}));
    EXPECT_EQ(cli({"diff", later}).status, 0);
}

TEST(CliListProblemsTest, HostileFileNamesNeverReachTheTerminalRaw) {
    TemporaryHost host;
    const HostEnvironment environment(host);
    // A name that would clear the screen and retitle the terminal.
    const std::string hostile = host / "/Library/LaunchAgents/x\x1b[2J\x1b]0;pwned\x07.plist";
    writeFile(hostile, "not a property list");
    writeFile(host.home() + "/Library/LaunchAgents/nolabel.plist",
              test::plistXml("<dict><key>Program</key><string>/bin/x</string></dict>"));

    const CliRun text = cli({"list", "--problems"});
    ASSERT_EQ(text.status, 0) << text.err;
    EXPECT_THAT(text.out, HasSubstr("Definitions that could not be read (2)\n"));
    EXPECT_EQ(text.out.find('\x1b'), std::string::npos);
    EXPECT_EQ(text.out.find('\x07'), std::string::npos);
    EXPECT_THAT(text.out, HasSubstr("User      no Label        " + host.home() +
                                    "/Library/LaunchAgents/nolabel.plist\n"));

    const auto document = nlohmann::json::parse(cli({"list", "--json", "--problems"}).out);
    ASSERT_EQ(document["problems"].size(), 2u);
    EXPECT_EQ(document["problems"][0]["path"], hostile);
    EXPECT_EQ(document["problems"][0]["reason"], "does not parse");
    EXPECT_EQ(document["problems"][1]["category"], "User");
}

// Copies of a Mac's disk (new inodes and times, as any copy), trap tools on PATH.
class CliDiskDiffTest : public ::testing::Test {
protected:
    void SetUp() override {
        test::makeDirectory(m_traps);
        good.installTraps(m_traps, m_ran);
        ::setenv("PATH", (m_traps + ":" + m_path).c_str(), 1);
        good.addUser("bob", "502", true);
        // Padded, so that the other signed program fits in its size.
        std::string program = test::readBytes(test::esbuildArm64());
        program.resize(std::max(program.size(), m_other.size()), '\0');
        test::MacTree::writeTrap(good / "/usr/local/bin/script.sh", m_ran);
        test::writeBytes(good / "/usr/local/bin/vpnd", program);
        good.addDefinition("/Library/LaunchDaemons", "com.example.vpnd", "/usr/local/bin/vpnd");
        good.addDefinition("/Users/bob/Library/LaunchAgents", "com.example.sync",
                           "/usr/local/bin/vpnd");
        fs::copy(good.root(), suspect.root(),
                 fs::copy_options::recursive | fs::copy_options::overwrite_existing);
    }

    void TearDown() override {
        ::setenv("PATH", m_path.c_str(), 1);
        EXPECT_FALSE(fs::exists(m_ran)) << "ran:\n" << test::readText(m_ran);
    }

    test::MacTree good;
    test::MacTree suspect;
    TemporaryHost m_elsewhere; // this machine's own (empty) host
    const HostEnvironment m_environment{m_elsewhere};
    const std::string m_path = std::getenv("PATH");
    std::string m_traps = m_elsewhere.root() + "/path";
    std::string m_ran = m_elsewhere.root() + "/ran";
    std::string m_baseline = m_elsewhere.root() + "/good.json";
    std::string m_other = test::readBytes(test::esbuildX64());
};

// Identical copies differ in nothing; then the suspect's program is swapped for
// other signed code under the same size and time, and a daemon added. No disk is
// written, even through a link; a folder that is no Mac's disk is refused.
TEST_F(CliDiskDiffTest, SwappedProgramAndNewDaemonOnTheSuspectDisk) {
    ASSERT_EQ(cli({"snapshot", "--root", good.root(), "-o", m_baseline}).status, 0);
    EXPECT_EQ(cli({"diff", "--root", suspect.root(), m_baseline}).out, "");

    const std::string program = suspect / "/usr/local/bin/vpnd";
    m_other.resize(fs::file_size(program), '\0');
    const auto modified = fs::last_write_time(program);
    test::writeBytes(program, m_other);
    fs::last_write_time(program, modified);
    suspect.addDefinition("/Library/LaunchDaemons", "com.example.new", "/usr/local/bin/script.sh");
    const auto before = std::pair(good.contents(), suspect.contents());
    const CliRun diff = cli({"diff", "--root", suspect.root(), m_baseline});
    EXPECT_EQ(diff.status, 1) << diff.err;
    EXPECT_THAT(diff.out, HasSubstr(": 1 added, 0 removed, 2 modified\n+ System  com.example.new"));
    EXPECT_THAT(diff.out, HasSubstr("vpnd.plist\n      program changed: SHA-256"));
    fs::create_directory_symlink(good / "/Library", m_elsewhere.root() + "/in");
    EXPECT_EQ(cli({"snapshot", "--root", good.root(), "-o", m_elsewhere.root() + "/in/x"}).status,
              2);
    EXPECT_EQ(std::pair(good.contents(), suspect.contents()), before);
    EXPECT_EQ(cli({"diff", "--root", good.outside(), m_baseline}).status, 2);
}

// A baseline of a live (simulated) Mac against its own disk: only Bob's
// home, which the live host lacks, differs; the unknown states do not.
TEST_F(CliDiskDiffTest, LiveBaselineAgainstADisk) {
    TemporaryHost live;
    fs::create_directories(live / "/usr");
    for (const char* folder : {"/Library", "/usr/local"}) {
        fs::copy(good / folder, live / folder,
                 fs::copy_options::recursive | fs::copy_options::overwrite_existing);
    }
    const HostEnvironment environment(live);
    ::setenv("HOME", (live / "/Users/alice").c_str(), 1);
    ASSERT_EQ(cli({"snapshot", "-o", m_baseline}).status, 0);

    const CliRun diff = cli({"diff", "--root", good.root(), m_baseline});
    EXPECT_THAT(diff.err, HasSubstr("the present was read from a disk"));
    EXPECT_THAT(diff.out, HasSubstr(": 1 added, 0 removed, 0 modified\n"
                                    "+ User  com.example.sync  /Users/bob/"));
}

} // namespace
} // namespace daemonary
