#include "Cli.h"
#include "DiscoveryTestSupport.h"
#include "offline/MacTreeSupport.h"
#include "platform/Log.h"
#include "signing/SigningFixtures.h"

#include <algorithm>
#include <fcntl.h>
#include <filesystem>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sstream>
#include <sys/stat.h>

namespace daemonary {
namespace {

namespace fs = std::filesystem;
using test::TemporaryHost;
using ::testing::HasSubstr;
using ::testing::Not;

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

// Sets environment variables for the life of the object.
class Environment {
public:
    Environment() {
        Log::setSink([](std::string_view) {});
    }
    ~Environment() {
        Log::setSink({});
        for (auto each = m_saved.rbegin(); each != m_saved.rend(); ++each) {
            if (each->second) {
                ::setenv(each->first.c_str(), each->second->c_str(), 1);
            } else {
                ::unsetenv(each->first.c_str());
            }
        }
    }
    Environment(const Environment&) = delete;
    Environment& operator=(const Environment&) = delete;

    void set(const std::string& name, const std::string& value) {
        const char* previous = std::getenv(name.c_str());
        m_saved.emplace_back(name, previous ? std::optional<std::string>(previous) : std::nullopt);
        ::setenv(name.c_str(), value.c_str(), 1);
    }

private:
    std::vector<std::pair<std::string, std::optional<std::string>>> m_saved;
};

// Two copies of one Mac's disk, built from the same files: signed Mach-O
// programs, two users with an agent of the same label, and trap tools where
// a careless reader would run them.
class CliDiskDiffTest : public ::testing::Test {
protected:
    void SetUp() override {
        // An ad hoc signed program, and in its place another maker's signed
        // code; both padded to one size, so that a swap keeps the size.
        m_good = test::readBytes(test::esbuildArm64());
        const std::string universal = test::readBytes(test::sentryUniversal());
        ASSERT_GT(universal.size(), 64u);
        const auto [offset, size] = test::fatSlice(universal, 1);
        ASSERT_LE(offset + size, universal.size());
        m_evil = universal.substr(offset, size);
        const std::size_t padded = std::max(m_good.size(), m_evil.size());
        m_good.resize(padded, '\0');
        m_evil.resize(padded, '\0');

        m_goodDisk.addUser("alice", "501");
        m_goodDisk.addUser("bob", "502", true);
        m_goodDisk.addDefinition("/Library/LaunchDaemons", "com.example.vpnd",
                                 "/usr/local/bin/vpnd");
        test::makeDirectory(m_goodDisk / "/usr/local/bin");
        test::writeBytes(m_goodDisk / "/usr/local/bin/vpnd", m_good);
        // A definition whose program is a script on the disk.
        m_goodDisk.addDefinition("/Library/LaunchDaemons", "com.example.script",
                                 "/usr/local/bin/script.sh");
        test::MacTree::writeTrap(m_goodDisk / "/usr/local/bin/script.sh", m_record);
        for (const char* user : {"/Users/alice", "/Users/bob"}) {
            m_goodDisk.addDefinition(std::string(user) + "/Library/LaunchAgents",
                                     "com.example.sync", "/usr/local/bin/vpnd");
        }
        test::makeDirectory(m_path);
        m_goodDisk.installTraps(m_path, m_record);
        // The copy's files are new ones: other inodes, change and
        // modification times, as a copy made by any tool may have.
        fs::copy(m_goodDisk.root(), m_suspectDisk.root(),
                 fs::copy_options::recursive | fs::copy_options::overwrite_existing);
        m_environment.set("PATH", m_path + ":" + std::getenv("PATH"));
        m_environment.set("DAEMONARY_HOST_ROOT", m_elsewhere.root());
        m_environment.set("HOME", m_elsewhere.home());
    }

    void expectNothingRan() const {
        EXPECT_FALSE(fs::exists(m_record)) << test::readText(m_record);
    }

    test::MacTree m_goodDisk;
    test::MacTree m_suspectDisk;
    // The machine's own root while the disks are read: empty.
    TemporaryHost m_elsewhere;
    std::string m_good_root = m_goodDisk.root();
    std::string m_suspect = m_suspectDisk.root();
    std::string m_path = m_elsewhere.root() + "/path";
    std::string m_record = m_elsewhere.root() + "/ran";
    std::string m_baseline = m_elsewhere.root() + "/good.json";
    std::string m_good;
    std::string m_evil;
    Environment m_environment;
};

// A program swapped for other signed code on the suspect disk, its size and
// modification time put back, and a daemon added: both show, nothing runs,
// and nothing on either disk is written.
TEST_F(CliDiskDiffTest, SwappedProgramAndNewDaemonOnTheSuspectDisk) {
    const std::string program = m_suspect + "/usr/local/bin/vpnd";
    struct stat original {};
    ASSERT_EQ(::stat(program.c_str(), &original), 0);
    test::writeBytes(program, m_evil);
    const struct timespec times[2] = {original.st_atim, original.st_mtim};
    ASSERT_EQ(::utimensat(AT_FDCWD, program.c_str(), times, 0), 0);
    m_suspectDisk.addDefinition("/Library/LaunchDaemons", "com.example.new",
                                "/usr/local/bin/script.sh");
    const auto goodBefore = m_goodDisk.contents();
    const auto suspectBefore = m_suspectDisk.contents();

    ASSERT_EQ(cli({"snapshot", "--root", m_good_root, "-o", m_baseline}).status, 0);
    const CliRun diff = cli({"diff", "--root", m_suspect, m_baseline});
    EXPECT_EQ(diff.status, 1) << diff.err;
    EXPECT_THAT(diff.out, HasSubstr("\n+ System  com.example.new"));
    EXPECT_THAT(diff.out, HasSubstr("~ System  com.example.vpnd"));
    EXPECT_THAT(diff.out, HasSubstr("program changed: SHA-256 "));
    // The agents of both users run the program: each shows, by its own path.
    EXPECT_THAT(diff.out, HasSubstr("/Users/alice/Library/LaunchAgents/com.example.sync.plist"));
    EXPECT_THAT(diff.out, HasSubstr("/Users/bob/Library/LaunchAgents/com.example.sync.plist"));
    // Records read as on the Mac; only the heading names where the disk was.
    EXPECT_THAT(diff.out.substr(diff.out.find('\n')), Not(HasSubstr(m_good_root)));
    EXPECT_THAT(diff.out, Not(HasSubstr(m_suspect)));
    EXPECT_EQ(std::count(diff.err.begin(), diff.err.end(), '\n'), 1) << diff.err;
    EXPECT_THAT(diff.err, HasSubstr("not compared"));

    // The signatures' own hashes tell the two programs apart too.
    const auto json =
        nlohmann::json::parse(cli({"diff", "--root", m_suspect, m_baseline, "--json"}).out);
    const auto changed =
        std::find_if(json["modified"].begin(), json["modified"].end(),
                     [](const auto& each) { return each["after"]["label"] == "com.example.vpnd"; });
    ASSERT_NE(changed, json["modified"].end());
    const auto& before = (*changed)["before"]["fingerprint"];
    const auto& after = (*changed)["after"]["fingerprint"];
    EXPECT_EQ(before["executable"]["size"], after["executable"]["size"]);
    EXPECT_EQ(before["executable"]["modified"], after["executable"]["modified"]);
    ASSERT_TRUE(before.contains("cdhashes"));
    ASSERT_TRUE(after.contains("cdhashes"));
    EXPECT_NE(before["cdhashes"], after["cdhashes"]);
    EXPECT_EQ(json["current"]["users"], nlohmann::json({"alice", "bob"}));

    expectNothingRan();
    EXPECT_EQ(m_goodDisk.contents(), goodBefore);
    EXPECT_EQ(m_suspectDisk.contents(), suspectBefore);
}

// Two copies of the same build with nothing changed: no difference, exit 0,
// and the one line about what a disk cannot say.
TEST_F(CliDiskDiffTest, IdenticalTreesShowNoDifference) {
    ASSERT_EQ(cli({"snapshot", "--root", m_good_root, "-o", m_baseline}).status, 0);
    const auto document = nlohmann::json::parse(test::readText(m_baseline));
    EXPECT_EQ(document["offline"], true);
    EXPECT_EQ(document["users"], nlohmann::json({"alice", "bob"}));
    const auto& agents = document["categories"]["User"];
    ASSERT_EQ(agents.size(), 2u);
    EXPECT_EQ(agents[0]["user"], "alice");
    EXPECT_EQ(agents[1]["user"], "bob");

    const CliRun diff = cli({"diff", "--root", m_suspect, m_baseline});
    EXPECT_EQ(diff.status, 0) << diff.out;
    EXPECT_EQ(diff.out, "");
    EXPECT_EQ(diff.err, "daemonary-cli diff: running and allowed in the background are not "
                        "compared: both sides were read from a disk\n");
    expectNothingRan();
}

// The snapshot's destination is the user's choice, but never the evidence;
// a folder that is not a Mac's disk is refused in one line.
TEST_F(CliDiskDiffTest, RefusesToWriteIntoTheDiskOrReadANonMac) {
    for (const std::string& inside :
         {m_good_root + "/good.json", m_good_root + "/Library/../x.json"}) {
        const CliRun run = cli({"snapshot", "--root", m_good_root, "-o", inside});
        EXPECT_EQ(run.status, 2);
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
        EXPECT_FALSE(fs::exists(inside));
    }
    // Through a link to the disk, too.
    fs::create_directory_symlink(m_good_root + "/Library", m_elsewhere.root() + "/link");
    EXPECT_EQ(
        cli({"snapshot", "--root", m_good_root, "-o", m_elsewhere.root() + "/link/x.json"}).status,
        2);
    EXPECT_FALSE(fs::exists(m_good_root + "/Library/x.json"));

    const std::string plain = m_elsewhere.root() + "/plain";
    fs::create_directories(plain + "/etc");
    ASSERT_EQ(cli({"snapshot", "--root", m_good_root, "-o", m_baseline}).status, 0);
    for (const auto& arguments : {std::vector<std::string>{"snapshot", "--root", plain},
                                  {"diff", "--root", plain, m_baseline}}) {
        const CliRun run = cli(arguments);
        EXPECT_EQ(run.status, 2);
        EXPECT_EQ(run.err, "daemonary-cli: " + plain +
                               " does not look like a Mac's disk (no System/Library or Library)\n");
    }
    EXPECT_EQ(cli({"diff", "--root", m_good_root, m_baseline, m_baseline}).status, 2);
    expectNothingRan();
}

// A baseline of the live Mac against its own disk: the states a disk cannot
// say are no change, so only what lies outside the live user's home shows.
TEST_F(CliDiskDiffTest, LiveBaselineAgainstADisk) {
    TemporaryHost live;
    Environment environment;
    environment.set("DAEMONARY_HOST_ROOT", live.root());
    environment.set("HOME", live.root() + "/Users/alice");
    fs::create_directories(live.root() + "/System/Library/LaunchDaemons");
    fs::copy(m_good_root + "/Library", live.root() + "/Library", fs::copy_options::recursive);
    // Its programs, not the disk's trap tools.
    fs::create_directories(live.root() + "/usr");
    fs::copy(m_good_root + "/usr/local", live.root() + "/usr/local", fs::copy_options::recursive);
    fs::copy(m_good_root + "/Users/alice", live.root() + "/Users/alice",
             fs::copy_options::recursive);
    const std::string baseline = live.root() + "/live.json";
    ASSERT_EQ(cli({"snapshot", "-o", baseline}).status, 0);

    const CliRun diff = cli({"diff", "--root", m_good_root, baseline});
    EXPECT_EQ(diff.status, 1) << diff.err;
    EXPECT_EQ(std::count(diff.err.begin(), diff.err.end(), '\n'), 1) << diff.err;
    EXPECT_THAT(diff.err, HasSubstr("the present was read from a disk"));
    // Bob's home was not on the live Mac; everything else is the same.
    EXPECT_THAT(diff.out, HasSubstr("0 modified"));
    EXPECT_THAT(diff.out, HasSubstr("1 added, 0 removed"));
    EXPECT_THAT(diff.out, HasSubstr("+ User  com.example.sync  /Users/bob/"));
}

} // namespace
} // namespace daemonary
