#include "discovery/LaunchctlTable.h"

#include "text/TextParsing.h"

#include <gtest/gtest.h>
#include <limits>

namespace daemonary {
namespace {

TEST(LaunchctlTableTest, ParsesToolOutputInLineOrderWithoutTheHeading) {
    const LaunchctlTable table = parseLaunchctlList("PID\tStatus\tLabel\n"
                                                    "-\t0\tcom.apple.SafariHistoryServiceAgent\n"
                                                    "1849\t0\tcom.apple.Finder\n"
                                                    "-\t-9\tcom.apple.progressd\n"
                                                    "22749\t255\tcom.apple.Spotlight\textra\n");
    ASSERT_EQ(table.size(), 4u);
    EXPECT_EQ(table.find("Label"), nullptr);
    EXPECT_EQ(table.entries()[0],
              (LaunchctlEntry{"com.apple.SafariHistoryServiceAgent", std::nullopt, 0}));
    EXPECT_EQ(table.entries()[1], (LaunchctlEntry{"com.apple.Finder", 1849, 0}));
    EXPECT_EQ(table.entries()[2], (LaunchctlEntry{"com.apple.progressd", std::nullopt, -9}));
    // Fields past the third are ignored.
    EXPECT_EQ(table.entries()[3], (LaunchctlEntry{"com.apple.Spotlight", 22749, 255}));
}

TEST(LaunchctlTableTest, FieldRules) {
    const LaunchctlTable table = parseLaunchctlList("+12\t1\tplus\n"
                                                    "2147483648\t0\tpid.overflow\n"
                                                    "12a\t0\tpid.garbage\n"
                                                    "\t0\tpid.empty\n"
                                                    "-2147483648\tx\tstatus.garbage\n"
                                                    "7\t-9223372036854775808\tstatus.min\n"
                                                    "8\t0\t  spaced label \n"
                                                    "only\ttwo\n"
                                                    "\n");
    EXPECT_EQ(table.find("plus")->pid, 12);
    EXPECT_EQ(table.find("pid.overflow")->pid, std::nullopt);
    EXPECT_EQ(table.find("pid.garbage")->pid, std::nullopt);
    EXPECT_EQ(table.find("pid.empty")->pid, std::nullopt);
    EXPECT_EQ(table.find("status.garbage")->pid, std::numeric_limits<std::int32_t>::min());
    EXPECT_EQ(table.find("status.garbage")->status, 0);
    EXPECT_EQ(table.find("status.min")->status, std::numeric_limits<std::int64_t>::min());
    // The label is taken as it stands, blanks included.
    ASSERT_NE(table.find("  spaced label "), nullptr);
    EXPECT_EQ(table.size(), 7u);
}

TEST(LaunchctlTableTest, RepeatedLabelReplacesValueAndKeepsFirstPosition) {
    const LaunchctlTable table = parseLaunchctlList("1\t0\ta\n2\t0\tb\n-\t3\ta\n");
    ASSERT_EQ(table.size(), 2u);
    EXPECT_EQ(table.entries()[0], (LaunchctlEntry{"a", std::nullopt, 3}));
    EXPECT_EQ(table.entries()[1].label, "b");
    EXPECT_EQ(table.position("b"), 1u);
}

TEST(LaunchctlTableTest, EveryLineTerminatorEndsALine) {
    const LaunchctlTable table = parseLaunchctlList("1\t0\tcrlf\r\n2\t0\tcr\r3\t0\tls\xE2\x80\xA8"
                                                    "4\t0\tps\xE2\x80\xA9"
                                                    "5\t0\tnel\xC2\x85"
                                                    "6\t0\tlast");
    EXPECT_EQ(table.size(), 6u);
    EXPECT_EQ(table.find("crlf")->pid, 1);
    EXPECT_EQ(table.find("cr")->pid, 2);
    EXPECT_EQ(table.find("ls")->pid, 3);
    EXPECT_EQ(table.find("ps")->pid, 4);
    EXPECT_EQ(table.find("nel")->pid, 5);
    EXPECT_EQ(table.find("last")->pid, 6);
}

TEST(TextParsingTest, SplitLinesAddsNoEmptyLineAfterAFinalTerminator) {
    EXPECT_EQ(splitLines("a\n\nb\n"), (std::vector<std::string_view>{"a", "", "b"}));
    EXPECT_TRUE(splitLines("").empty());
    EXPECT_EQ(splitLines("\r\n"), (std::vector<std::string_view>{""}));
}

TEST(TextParsingTest, DecimalIntegersAcceptSignAndDigitsOnly) {
    EXPECT_EQ(parseDecimalInt32("2147483647"), 2147483647);
    EXPECT_EQ(parseDecimalInt32("-2147483648"), std::numeric_limits<std::int32_t>::min());
    EXPECT_EQ(parseDecimalInt32("-2147483649"), std::nullopt);
    EXPECT_EQ(parseDecimalInt32("-"), std::nullopt);
    EXPECT_EQ(parseDecimalInt32(" 1"), std::nullopt);
    EXPECT_EQ(parseDecimalInt32("0x10"), std::nullopt);
    EXPECT_EQ(parseDecimalInt64("9223372036854775807"), std::numeric_limits<std::int64_t>::max());
    EXPECT_EQ(parseDecimalInt64("9223372036854775808"), std::nullopt);
}

TEST(TextParsingTest, TrimmingAndSplittingUseUnicodeWhiteSpace) {
    // NO-BREAK SPACE and IDEOGRAPHIC SPACE are blanks; a line end is not.
    EXPECT_EQ(trimWhitespace("\xC2\xA0 a b\t\xE3\x80\x80"), "a b");
    EXPECT_EQ(trimWhitespace(" a\n"), "a\n");
    EXPECT_EQ(trimWhitespaceAndNewlines("\r\n a \xE2\x80\xA8"), "a");
    EXPECT_EQ(trimWhitespaceAndNewlines(" \n"), "");
    // A lone continuation byte is not white space and is not cut in half.
    EXPECT_EQ(trimWhitespaceAndNewlines(" \x80 "), "\x80");
    EXPECT_EQ(splitAtWhitespace("  1 \t 2\xC2\xA0"
                                "3  "),
              (std::vector<std::string_view>{"1", "2", "3"}));
}

} // namespace
} // namespace daemonary
