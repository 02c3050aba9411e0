// Log paths that point at things no log should be: each gives its plain
// answer at once, and never reads more than the tail's limit.

#include "DiscoveryTestSupport.h"
#include "insight/LogTail.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace daemonary {
namespace {

using test::TemporaryHost;
using test::writeFile;
using ::testing::ElementsAre;
using ::testing::EndsWith;
using ::testing::IsEmpty;
using ::testing::StartsWith;

class LogTailHardeningTest : public ::testing::Test {
protected:
    TemporaryHost host;
};

TEST_F(LogTailHardeningTest, SpecialFilesAreNeverRead) {
    const std::string logs = host / "/var/log";
    test::makeDirectory(logs);
    // With no writer, a blocking open of a FIFO would never return.
    ASSERT_EQ(::mkfifo((logs + "/fifo.log").c_str(), 0644), 0);
    ASSERT_EQ(::symlink("/dev/zero", (logs + "/zero.log").c_str()), 0);
    ASSERT_EQ(::symlink((logs + "/fifo.log").c_str(), (logs + "/fifo-link.log").c_str()), 0);
    test::makeDirectory(logs + "/folder.log");
    for (const char* name : {"/fifo.log", "/zero.log", "/fifo-link.log", "/folder.log"}) {
        const LogTail tail = readLogTail(logs + name);
        EXPECT_EQ(tail.state, LogState::notRegularFile) << name;
        EXPECT_THAT(tail.lines, IsEmpty()) << name;
        EXPECT_EQ(logStateText(tail, {}), "Not a regular file, not read") << name;
    }

    ASSERT_EQ(::symlink((logs + "/nowhere").c_str(), (logs + "/dangling.log").c_str()), 0);
    EXPECT_EQ(readLogTail(logs + "/dangling.log").state, LogState::missing);
}

// Ten gigabytes of hole (no disk used) followed by the given text.
void writeSparseLog(const std::string& path, off_t hole, std::string_view ending) {
    writeFile(path, "");
    ASSERT_EQ(::truncate(path.c_str(), hole), 0);
    const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::pwrite(fd, ending.data(), ending.size(), hole),
              static_cast<ssize_t>(ending.size()));
    ::close(fd);
}

constexpr off_t kTenGigabytes = off_t{10} * 1024 * 1024 * 1024;

TEST_F(LogTailHardeningTest, SparseTenGigabyteLogReadsOnlyItsEnd) {
    const std::string path = host / "/var/log/huge.log";
    const std::string ending = "\nsecond to last\nlast line\n";
    writeSparseLog(path, kTenGigabytes, ending);

    const LogTail tail = readLogTail(path);
    ASSERT_EQ(tail.state, LogState::present);
    EXPECT_EQ(tail.size, static_cast<std::uint64_t>(kTenGigabytes) + ending.size());
    EXPECT_TRUE(tail.cut);
    // The hole before the first line end is the cut-off start of a line.
    EXPECT_THAT(tail.lines, ElementsAre("second to last", "last line"));
}

TEST_F(LogTailHardeningTest, OneLineLongerThanTheReadIsShownCut) {
    const std::string path = host / "/var/log/one-line.log";
    writeSparseLog(path, kTenGigabytes, "the end\n");

    const LogTail tail = readLogTail(path);
    ASSERT_EQ(tail.state, LogState::present);
    EXPECT_TRUE(tail.cut);
    ASSERT_EQ(tail.lines.size(), 1u);
    // The hole reads as NUL bytes, each shown as one three-byte symbol.
    EXPECT_EQ(tail.lines[0].size(), 3 * (kLogTailBytes - 8) + 7);
    EXPECT_THAT(tail.lines[0], StartsWith("\xE2\x90\x80"));
    EXPECT_THAT(tail.lines[0], EndsWith("the end"));
}

} // namespace
} // namespace daemonary
