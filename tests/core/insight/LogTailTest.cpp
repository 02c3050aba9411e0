// Log tails: which files a definition names, and exactly which lines of them
// are shown, however they are encoded or ended.

#include "insight/LogTail.h"

#include "DiscoveryTestSupport.h"
#include "platform/HostLayout.h"
#include "text/Text.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace daemonary {
namespace {

using test::TemporaryHost;
using test::writeFile;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

// "line 00042" padded so every line, newline included, is width bytes.
std::string lineText(std::size_t number, std::size_t width = 11) {
    std::string digits = std::to_string(number);
    digits.insert(0, width - 6 - digits.size(), '0');
    return "line " + digits;
}

std::string numberedLines(std::size_t count, std::size_t width = 11) {
    std::string text;
    for (std::size_t i = 0; i < count; ++i) {
        text += lineText(i, width) + "\n";
    }
    return text;
}

TEST(LogTailLinesTest, LineEndingsAndPartialFirstLines) {
    struct Case {
        const char* name;
        std::string bytes;
        bool fromStart;
        std::vector<std::string> lines;
    };
    const std::vector<Case> cases = {
        {"LF", "a\nb\n", true, {"a", "b"}},
        {"CRLF", "a\r\nb\r\n", true, {"a", "b"}},
        {"blank CRLF lines kept", "a\r\n\r\nb", true, {"a", "", "b"}},
        {"no final newline", "a\nb", true, {"a", "b"}},
        {"lone CR is shown, not obeyed",
         "50%\r100%\n",
         true,
         {"50%\xE2\x90\x8D"
          "100%"}},
        {"empty", "", true, {}},
        {"partial first line dropped", "tail of a line\nwhole\n", false, {"whole"}},
        {"a single cut line is all there is", "no line end at all", false, {"no line end at all"}},
        {"a single cut line ending the read", "cut line\n", false, {"cut line"}},
    };
    for (const Case& row : cases) {
        EXPECT_EQ(lastLines(row.bytes, row.fromStart, 50), row.lines) << row.name;
    }
    EXPECT_THAT(lastLines("1\n2\n3\n4\n", true, 2), ElementsAre("3", "4"));
}

TEST(LogTailLinesTest, InvalidUtf8AndControlsAreShownHarmlessly) {
    struct Case {
        const char* name;
        std::string bytes;
        std::string shown;
    };
    const std::string fffd = "\xEF\xBF\xBD";
    const std::vector<Case> cases = {
        {"valid text kept", "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80",
         "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80"},
        {"stray bytes", "ok \xFF\xFE end", "ok " + fffd + fffd + " end"},
        {"truncated sequence is one replacement", "x\xE2\x82", "x" + fffd},
        {"truncated then ASCII", "\xE2\x82y", fffd + "y"},
        {"overlong", "\xC0\xAF", fffd + fffd},
        {"surrogate", "\xED\xA0\x80", fffd + fffd + fffd},
        {"beyond U+10FFFF", "\xF4\x90\x80\x80", fffd + fffd + fffd + fffd},
        {"tab kept, escape and bell shown", "\x1B[31mred\x07\tX",
         "\xE2\x90\x9B[31mred\xE2\x90\x87\tX"},
        {"NUL and DEL", std::string("a\0b\x7F", 4),
         "a\xE2\x90\x80"
         "b\xE2\x90\xA1"},
        {"C1 control", "a\xC2\x85z", "a\\u{85}z"},
        {"right-to-left override", "evil\xE2\x80\xAEtxt.exe", "evil\\u{202E}txt.exe"},
    };
    for (const Case& row : cases) {
        EXPECT_EQ(displayableText(row.bytes), row.shown) << row.name;
    }
}

class LogTailTest : public ::testing::Test {
protected:
    HostLayout layout() const { return HostLayout(host.root(), host / "/Users/demo"); }
    TemporaryHost host;
};

TEST_F(LogTailTest, ExactLastLinesAcrossTheReadLimit) {
    const std::string path = host / "/var/log/long.log";
    // With 11-byte lines the limit falls inside a line, with 16-byte lines
    // on a line start; either way only whole lines show.
    for (const std::size_t width : {std::size_t{11}, std::size_t{16}}) {
        const std::size_t count = 7000;
        const std::string text = numberedLines(count, width);
        writeFile(path, text);
        const LogTail tail = readLogTail(path);
        ASSERT_EQ(tail.state, LogState::present);
        EXPECT_EQ(tail.size, text.size());
        EXPECT_TRUE(tail.cut);
        ASSERT_EQ(tail.lines.size(), kLogTailLines);
        EXPECT_EQ(tail.lines.front(), lineText(count - 50, width));
        EXPECT_EQ(tail.lines.back(), lineText(count - 1, width));

        const LogTail everything = readLogTail(path, 100000);
        const std::size_t start = text.size() - kLogTailBytes;
        const std::size_t first = start / width + 1;
        ASSERT_FALSE(everything.lines.empty());
        EXPECT_EQ(everything.lines.front(), lineText(first, width)) << width;
        EXPECT_EQ(everything.lines.back(), lineText(count - 1, width));
        EXPECT_EQ(everything.lines.size(), count - first);
    }
}

TEST_F(LogTailTest, ShortFileSizeTimeAndCut) {
    const std::string path = host / "/var/log/short.log";
    writeFile(path, "one\r\ntwo\r\n");
    const timespec times[2] = {{1700000000, 0}, {1700000000, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    const LogTail tail = readLogTail(path);
    EXPECT_EQ(tail.state, LogState::present);
    EXPECT_EQ(tail.size, 10u);
    EXPECT_EQ(tail.modifiedSeconds, 1700000000);
    EXPECT_THAT(tail.lines, ElementsAre("one", "two"));
    EXPECT_FALSE(tail.cut);

    writeFile(path, numberedLines(51));
    EXPECT_TRUE(readLogTail(path).cut);
    writeFile(path, numberedLines(50));
    EXPECT_FALSE(readLogTail(path).cut);
}

TEST_F(LogTailTest, MissingFileHasNoLogYet) {
    const LogTail tail = readLogTail(host / "/var/log/none.log");
    EXPECT_EQ(tail.state, LogState::missing);
    EXPECT_THAT(tail.lines, IsEmpty());
    EXPECT_EQ(logStateText(tail, {}), "No log file yet");
}

TEST_F(LogTailTest, LogFilesOfADefinition) {
    const std::string home = host / "/Users/demo";
    struct Case {
        const char* name;
        PlistDictionary definition;
        bool userAgent;
        std::vector<LogFile> files;
    };
    using S = std::string;
    const std::vector<Case> cases = {
        {"both, taken under the host root",
         {{"StandardOutPath", S("/var/log/a.log")}, {"StandardErrorPath", S("/var/log/b.log")}},
         false,
         {{{"StandardOutPath"}, "/var/log/a.log", host / "/var/log/a.log", {}},
          {{"StandardErrorPath"}, "/var/log/b.log", host / "/var/log/b.log", {}}}},
        {"one file for both",
         {{"StandardOutPath", S("/var/log/a.log")}, {"StandardErrorPath", S("/var/log/a.log")}},
         false,
         {{{"StandardOutPath", "StandardErrorPath"},
           "/var/log/a.log",
           host / "/var/log/a.log",
           {}}}},
        {"tilde for a user agent",
         {{"StandardErrorPath", S("~/Library/Logs/x.log")}},
         true,
         {{{"StandardErrorPath"}, "~/Library/Logs/x.log", home + "/Library/Logs/x.log", {}}}},
        {"tilde for a daemon",
         {{"StandardOutPath", S("~/x.log")}},
         false,
         {{{"StandardOutPath"}, "~/x.log", "", S("Not an absolute path: ~/x.log")}}},
        {"another user's tilde",
         {{"StandardOutPath", S("~root/x.log")}},
         true,
         {{{"StandardOutPath"}, "~root/x.log", "", S("Not an absolute path: ~root/x.log")}}},
        {"wrong type",
         {{"StandardOutPath", std::int64_t{1}}},
         false,
         {{{"StandardOutPath"},
           "",
           "",
           S("StandardOutPath cannot be read: expected a string, found an integer")}}},
        {"none", {{"Label", S("x")}}, false, {}},
    };
    for (const Case& row : cases) {
        EXPECT_EQ(logFilesOf(row.definition, layout(), row.userAgent), row.files) << row.name;
    }
}

TEST_F(LogTailTest, TwoPathsToOneFileAreShownOnce) {
    writeFile(host / "/var/log/real.log", "hello\n");
    ASSERT_EQ(::symlink((host / "/var/log/real.log").c_str(), (host / "/var/log/link.log").c_str()),
              0);
    const PlistDictionary definition = {
        {"StandardOutPath", std::string("/var/log/real.log")},
        {"StandardErrorPath", std::string("/var/log/link.log")},
    };
    const std::vector<LogReport> reports = readLogs(definition, layout(), false);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_THAT(reports[0].file.keys, ElementsAre("StandardOutPath", "StandardErrorPath"));
    EXPECT_THAT(reports[0].tail.lines, ElementsAre("hello"));

    // Two missing files are two logs: nothing says they would be one.
    const PlistDictionary missing = {
        {"StandardOutPath", std::string("/var/log/o.log")},
        {"StandardErrorPath", std::string("/var/log/e.log")},
    };
    const std::vector<LogReport> two = readLogs(missing, layout(), false);
    ASSERT_EQ(two.size(), 2u);
    EXPECT_EQ(two[0].tail.state, LogState::missing);
    EXPECT_EQ(two[1].tail.state, LogState::missing);
}

TEST_F(LogTailTest, UnusablePathIsReportedNotRead) {
    const std::vector<LogReport> reports =
        readLogs({{"StandardOutPath", std::string("relative.log")}}, layout(), false);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].tail.state, LogState::invalidPath);
    EXPECT_EQ(logStateText(reports[0].tail, reports[0].file), "Not an absolute path: relative.log");
}

} // namespace
} // namespace daemonary
