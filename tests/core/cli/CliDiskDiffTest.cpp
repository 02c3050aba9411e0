// Copies of a Mac's disk compared: built from the same files (real signed
// programs, two users with their directory records), with trap tools on the
// disks and on PATH that record any run.

#include "Cli.h"
#include "offline/MacTreeSupport.h"
#include "platform/Log.h"
#include "signing/SigningFixtures.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sstream>

namespace daemonary {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;

struct CliRun {
    int status = -1;
    std::string out;
    std::string err;
};

CliRun cli(const std::vector<std::string>& arguments) {
    std::ostringstream out;
    std::ostringstream err;
    const int status = runCli(arguments, out, err);
    return {status, out.str(), err.str()};
}

// Another maker's signed code: the arm64 slice of a universal program.
std::string otherMakersProgram() {
    const std::string universal = test::readBytes(test::sentryUniversal());
    const auto [offset, size] = universal.size() > 64 ? test::fatSlice(universal, 1)
                                                      : std::pair<std::size_t, std::size_t>{};
    return universal.substr(std::min(offset, universal.size()), size);
}

class CliDiskDiffTest : public ::testing::Test {
protected:
    void SetUp() override {
        Log::setSink([](std::string_view) {});
        for (const char* name : {"PATH", "DAEMONARY_HOST_ROOT", "HOME"}) {
            const char* value = std::getenv(name);
            m_saved.emplace_back(name, value ? value : "");
        }
        test::makeDirectory(m_traps);
        good.installTraps(m_traps, m_ran);
        ::setenv("PATH", (m_traps + ":" + m_saved[0].second).c_str(), 1);
        ::setenv("DAEMONARY_HOST_ROOT", m_elsewhere.root().c_str(), 1);
        ::setenv("HOME", m_elsewhere.home().c_str(), 1);

        good.addUser("alice", "501");
        good.addUser("bob", "502", true);
        // Padded, so that the other program fits in its size.
        std::string program = test::readBytes(test::esbuildArm64());
        program.resize(std::max(program.size(), otherMakersProgram().size()), '\0');
        test::makeDirectory(good / "/usr/local/bin");
        test::writeBytes(good / "/usr/local/bin/vpnd", program);
        good.addDefinition("/Library/LaunchDaemons", "com.example.vpnd", "/usr/local/bin/vpnd");
        test::MacTree::writeTrap(good / "/usr/local/bin/script.sh", m_ran);
        good.addDefinition("/Library/LaunchDaemons", "com.example.script",
                           "/usr/local/bin/script.sh");
        for (const std::string home : {"/Users/alice", "/Users/bob"}) {
            good.addDefinition(home + "/Library/LaunchAgents", "com.example.sync",
                               "/usr/local/bin/vpnd");
        }
        // A copy's files get their own inodes and times, as any copy may.
        fs::copy(good.root(), suspect.root(),
                 fs::copy_options::recursive | fs::copy_options::overwrite_existing);
    }

    void TearDown() override {
        for (const auto& [name, value] : m_saved) {
            value.empty() ? ::unsetenv(name.c_str()) : ::setenv(name.c_str(), value.c_str(), 1);
        }
        Log::setSink({});
        EXPECT_FALSE(fs::exists(m_ran)) << "ran:\n" << test::readText(m_ran);
    }

    test::MacTree good;
    test::MacTree suspect;
    test::TemporaryHost m_elsewhere; // this machine's own (empty) host
    std::string m_traps = m_elsewhere.root() + "/path";
    std::string m_ran = m_elsewhere.root() + "/ran";
    std::string m_baseline = m_elsewhere.root() + "/good.json";
    std::vector<std::pair<std::string, std::string>> m_saved;
};

// The suspect disk's program swapped for another maker's signed code, padded
// to the same size and its modification time put back; a daemon added.
TEST_F(CliDiskDiffTest, SwappedProgramAndNewDaemonOnTheSuspectDisk) {
    const std::string program = suspect / "/usr/local/bin/vpnd";
    std::string other = otherMakersProgram();
    ASSERT_FALSE(other.empty());
    other.resize(fs::file_size(program), '\0');
    struct stat original {};
    ASSERT_EQ(::stat(program.c_str(), &original), 0);
    test::writeBytes(program, other);
    const struct timespec times[2] = {original.st_atim, original.st_mtim};
    ASSERT_EQ(::utimensat(AT_FDCWD, program.c_str(), times, 0), 0);
    suspect.addDefinition("/Library/LaunchDaemons", "com.example.new", "/usr/local/bin/script.sh");
    const auto goodBefore = good.contents();
    const auto suspectBefore = suspect.contents();

    ASSERT_EQ(cli({"snapshot", "--root", good.root(), "-o", m_baseline}).status, 0);
    const CliRun diff = cli({"diff", "--root", suspect.root(), m_baseline});
    EXPECT_EQ(diff.status, 1) << diff.err;
    EXPECT_THAT(diff.out, HasSubstr("\n+ System  com.example.new"));
    EXPECT_THAT(diff.out, HasSubstr("\n~ System  com.example.vpnd  "
                                    "/Library/LaunchDaemons/com.example.vpnd.plist\n"
                                    "      program changed: SHA-256 "));
    // Both users' agents run it: each shows under its own home.
    EXPECT_THAT(diff.out, HasSubstr("~ User    com.example.sync  /Users/alice/"));
    EXPECT_THAT(diff.out, HasSubstr("~ User    com.example.sync  /Users/bob/"));
    EXPECT_EQ(std::count(diff.err.begin(), diff.err.end(), '\n'), 1) << diff.err;

    // The signatures' own hashes tell the programs apart as well.
    const auto json =
        nlohmann::json::parse(cli({"diff", "--root", suspect.root(), m_baseline, "--json"}).out);
    const auto& daemon = json["modified"][0];
    ASSERT_EQ(daemon["after"]["label"], "com.example.vpnd");
    const auto& before = daemon["before"]["fingerprint"];
    const auto& after = daemon["after"]["fingerprint"];
    EXPECT_EQ(before["executable"]["modified"], after["executable"]["modified"]);
    EXPECT_NE(before["cdhashes"], after["cdhashes"]);
    EXPECT_EQ(before["cdhashes"].size(), 1u);
    EXPECT_EQ(after["cdhashes"].size(), 1u);
    EXPECT_EQ(good.contents(), goodBefore);
    EXPECT_EQ(suspect.contents(), suspectBefore);
}

// Two copies of the same build with nothing changed; the snapshot's file may
// go anywhere but into the disk; a folder that is no Mac's disk is refused.
TEST_F(CliDiskDiffTest, IdenticalDisksAndRefusals) {
    ASSERT_EQ(cli({"snapshot", "--root", good.root(), "-o", m_baseline}).status, 0);
    const CliRun diff = cli({"diff", "--root", suspect.root(), m_baseline});
    EXPECT_EQ(diff.status, 0) << diff.out;
    EXPECT_EQ(diff.out, "");
    EXPECT_EQ(diff.err, "daemonary-cli diff: running and allowed in the background are not "
                        "compared: both sides were read from a disk\n");

    fs::create_directory_symlink(good / "/Library", m_elsewhere.root() + "/link");
    for (const std::string& inside : {good / "/x.json", m_elsewhere.root() + "/link/x.json"}) {
        const CliRun run = cli({"snapshot", "--root", good.root(), "-o", inside});
        EXPECT_EQ(run.status, 2);
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
        EXPECT_FALSE(fs::exists(good / "/x.json") || fs::exists(good / "/Library/x.json"));
    }
    for (const auto& arguments : {std::vector<std::string>{"snapshot", "--root", good.outside()},
                                  {"diff", "--root", good.outside(), m_baseline}}) {
        const CliRun run = cli(arguments);
        EXPECT_EQ(run.status, 2);
        EXPECT_EQ(run.err, "daemonary-cli: " + good.outside() +
                               " does not look like a Mac's disk (no System/Library or Library)\n");
    }
}

// A baseline of a live (simulated) Mac against its own disk: only Bob's
// home, which the live host lacks, differs; the unknown states do not.
TEST_F(CliDiskDiffTest, LiveBaselineAgainstADisk) {
    test::TemporaryHost live;
    fs::create_directories(live / "/usr");
    for (const char* folder : {"/Library", "/usr/local", "/Users/alice"}) {
        fs::copy(good / folder, live / folder,
                 fs::copy_options::recursive | fs::copy_options::overwrite_existing);
    }
    ::setenv("DAEMONARY_HOST_ROOT", live.root().c_str(), 1);
    ::setenv("HOME", (live / "/Users/alice").c_str(), 1);
    ASSERT_EQ(cli({"snapshot", "-o", m_baseline}).status, 0);

    const CliRun diff = cli({"diff", "--root", good.root(), m_baseline});
    EXPECT_EQ(diff.status, 1) << diff.err;
    EXPECT_EQ(std::count(diff.err.begin(), diff.err.end(), '\n'), 1) << diff.err;
    EXPECT_THAT(diff.err, HasSubstr("the present was read from a disk"));
    EXPECT_THAT(diff.out, HasSubstr(": 1 added, 0 removed, 0 modified\n"
                                    "+ User  com.example.sync  /Users/bob/"));
}

} // namespace
} // namespace daemonary
