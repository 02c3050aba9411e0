#include "offline/MacUserRecord.h"

#include "MacTreeSupport.h"
#include "offline/DisabledFile.h"

#include <gtest/gtest.h>

namespace daemonary {
namespace {

using test::MacTree;
using test::plistXml;

TEST(MacUserRecordTest, ReadsTheFirstStringOfEachKeyAndNothingFromOtherShapes) {
    for (const bool binary : {false, true}) {
        EXPECT_EQ(parseMacUserRecord(MacTree::userRecord("alice", "501", "/Users/alice", binary)),
                  (MacUserRecord{"alice", 501, "/Users/alice"}));
    }
    const MacUserRecord bob{"bob", std::nullopt, "/Users/bob"};
    const std::string home =
        "<key>home</key><array><string>/Users/bob</string><string>/x</string></array>";
    EXPECT_EQ(parseMacUserRecord(plistXml("<dict><key>name</key><array><string>bob</string>"
                                          "</array>" +
                                          home + "</dict>")),
              bob);
    for (const char* uid : {"501abc", "-501", "99999999999"}) {
        EXPECT_EQ(parseMacUserRecord(MacTree::userRecord("bob", uid, "/Users/bob")), bob) << uid;
    }
    for (const std::string name :
         {"<string>bob</string>", "<array><integer>7</integer></array>", "<array/>"}) {
        EXPECT_FALSE(
            parseMacUserRecord(plistXml("<dict><key>name</key>" + name + home + "</dict>")))
            << name;
    }
    EXPECT_FALSE(parseMacUserRecord(plistXml("<array><string>bob</string></array>")));
    EXPECT_FALSE(parseMacUserRecord("not a property list"));
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
    // An empty file switched nothing off; what is no dictionary is unknown.
    EXPECT_TRUE(parseDisabledFile(plistXml("<dict/>")));
    EXPECT_FALSE(parseDisabledFile(plistXml("<array><string>com.example.off</string></array>")));
    EXPECT_FALSE(parseDisabledFile("garbage"));
}

} // namespace
} // namespace daemonary
