#include "offline/MacUserRecord.h"

#include "../DiscoveryTestSupport.h"
#include "MacTreeSupport.h"
#include "offline/DisabledFile.h"

#include <gtest/gtest.h>

namespace daemonary {
namespace {

using test::MacTree;
using test::plistXml;

TEST(MacUserRecordTest, ReadsTheFirstStringOfEachKeyFromXmlAndBinaryRecords) {
    const MacUserRecord expected{"alice", 501, "/Users/alice"};
    EXPECT_EQ(parseMacUserRecord(MacTree::userRecordXml("alice", "501", "/Users/alice")), expected);
    EXPECT_EQ(parseMacUserRecord(MacTree::userRecordBinary("alice", "501", "/Users/alice")),
              expected);
}

TEST(MacUserRecordTest, HostileRecordsGiveNothingOrNoUidAndNeverCrash) {
    // A huge array: only its first string counts.
    std::string many = "<array>";
    for (int i = 0; i < 20000; ++i) {
        many += "<string>/Users/x" + std::to_string(i) + "</string>";
    }
    many += "</array>";
    const auto huge = parseMacUserRecord(
        plistXml("<dict><key>name</key><array><string>bob</string></array><key>home</key>" + many +
                 "</dict>"));
    ASSERT_TRUE(huge);
    EXPECT_EQ(huge->home, "/Users/x0");
    EXPECT_FALSE(huge->uid);

    // Values that are not arrays of strings, and what is no record at all.
    for (const std::string body :
         {"<key>name</key><string>bob</string>",
          "<key>name</key><array><integer>7</integer></array>", "<key>name</key><array/>"}) {
        EXPECT_FALSE(parseMacUserRecord(plistXml(
            "<dict>" + body + "<key>home</key><array><string>/Users/bob</string></array></dict>")))
            << body;
    }
    EXPECT_FALSE(parseMacUserRecord(plistXml("<array><string>bob</string></array>")));
    EXPECT_FALSE(parseMacUserRecord("not a property list"));

    for (const char* uid : {"501abc", "-501", "99999999999"}) {
        const auto record = parseMacUserRecord(MacTree::userRecordXml("bob", uid, "/Users/bob"));
        ASSERT_TRUE(record) << uid;
        EXPECT_FALSE(record->uid) << uid;
    }
}

TEST(MacUserRecordTest, OnlyPeoplesAccountsWithAHomeOfTheirOwnUnderUsersAreLoginAccounts) {
    EXPECT_TRUE(isLoginAccount({"alice", 501, "/Users/alice/"}));
    EXPECT_TRUE(isLoginAccount({"carol", std::nullopt, "/Users/staff/carol"}));
    EXPECT_FALSE(isLoginAccount({"root", 501, "/Users/root"}));
    EXPECT_FALSE(isLoginAccount({"_svc", 600, "/Users/_svc"}));
    EXPECT_FALSE(isLoginAccount({"guest", 201, "/Users/Guest"}));
    EXPECT_FALSE(isLoginAccount({"a/b", 503, "/Users/ab"}));
    // Homes that only look as if they were under /Users, or are everyone's.
    for (const char* home : {"/Users/../private/var/root", "/Users/./", "/Users//x", "/Users/m/..",
                             "/Users", "/UsersX/m", "Users/m", "/Users/Shared"}) {
        EXPECT_FALSE(isLoginAccount({"mallory", 503, home})) << home;
    }
}

TEST(DisabledFileTest, BooleansAreTheDisabledStateAndAnythingElseIsSkipped) {
    const auto overrides = parseDisabledFile(
        plistXml("<dict><key>com.example.off</key><true/><key>com.example.on</key><false/>"
                 "<key>com.example.text</key><string>true</string><key>com.example.number</key>"
                 "<integer>1</integer></dict>"));
    ASSERT_TRUE(overrides);
    const std::map<std::string, bool, std::less<>> expected{{"com.example.off", true},
                                                            {"com.example.on", false}};
    EXPECT_EQ(overrides->services, expected);
    // Login items are keyed by bundle identifier in the same file.
    EXPECT_EQ(overrides->loginItems, expected);

    EXPECT_FALSE(parseDisabledFile(plistXml("<array><string>com.example.off</string></array>")));
    EXPECT_FALSE(parseDisabledFile("garbage"));
    const auto empty = parseDisabledFile(plistXml("<dict/>"));
    ASSERT_TRUE(empty);
    EXPECT_TRUE(empty->services.empty());
}

} // namespace
} // namespace daemonary
