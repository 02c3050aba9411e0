// Background Task Management: the dumpbtm parser over both published shapes
// and hostile text, URL resolution, the scan of app bundles with its guards,
// and the join that gives every category the allowed state.

#include "discovery/BackgroundTasks.h"

#include "DiscoveryTestSupport.h"
#include "discovery/AppBundleScanner.h"
#include "discovery/BackgroundTaskTable.h"
#include "discovery/LaunchServiceManager.h"
#include "platform/ToolRunner.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace daemonary {
namespace {

using test::definitionXml;
using test::labelsOf;
using test::LogCapture;
using test::plistXml;
using test::TemporaryHost;
using test::writeFakeTool;
using test::writeFile;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

// As one re-implementation prints it: indented, aligned, decimal, no commas.
constexpr std::string_view kOlderShape = R"(========================
 Records for UID 501 : 1CAA5D2B-A526-49E2-9A6F-58CACBDF0AFB
========================

#1 
  UUID:              68D88F8B-A750-4A4D-AD31-520E2436FE9F
  Name:              LuLu
  Developer Name:    (null)
  Team Identifier:   VBG97UB4TA
  Type:              app  (0x2)
  Disposition:       [enabled allowed visible notified] (11)
  Indentifier:       anchor apple generic and identifier "com.objective-see.lulu.app"
  URL:               file:///Applications/LuLu.app/
  Executable Path:   (null)
  Generation:        2
  Parent Identifier: (null)
  
  #2 
  UUID:              17A60CB8-537A-44D1-A6F8-2EBD22439076
  Name:              AGSService
  Developer Name:    Adobe Creative Cloud
  Team Identifier:   JQ525L2MZD
  Type:              curated legacy daemon  (0x90010)
  Disposition:       [disabled disallowed visible notified] (8)
  Indentifier:       Adobe_Genuine_Software_Integrity_Service
  URL:               file:///Library/LaunchDaemons/com.adobe.agsservice.plist
  Executable Path:   /Library/Application Support/Adobe/AdobeGCClient/AGSService
  Generation:        1
  Assoc. Bundle IDs: [com.adobe.acc.AdobeCreativeCloud]
  Parent Identifier: Adobe Creative Cloud
)";

// As Apple's tool prints it on a recent system: flush left, commas, hex, a
// URL relative to the parent app, no record numbers.
constexpr std::string_view kNewerShape = R"(Name: CleanMyMac
Type: app (0x2)
Disposition: [enabled, allowed, notified] (0xb)
Identifier: 2.com.macpaw.CleanMyMac-mas
URL: file:///Applications/Clean%20My%20Mac.app/
Name: CleanMyMac Menu
Type: login item (0x4)
Disposition: [enabled, allowed, notified] (0xb)
Identifier: 4.com.macpaw.CleanMyMac-mas.Menu
URL: Contents/Library/LoginItems/CleanMyMac_5_MAS_Menu.app
Bundle Identifier: com.macpaw.CleanMyMac-mas.Menu
Parent Identifier: 2.com.macpaw.CleanMyMac-mas
)";

TEST(DumpBtmParser, BothPublishedShapes) {
    const std::vector<BackgroundItem> older = parseDumpBtm(kOlderShape);
    ASSERT_EQ(older.size(), 2u);
    EXPECT_EQ(older[0].name, "LuLu");
    EXPECT_EQ(older[0].developerName, std::nullopt); // "(null)"
    EXPECT_EQ(older[0].typeFlags, BackgroundItem::kApp);
    EXPECT_TRUE(older[0].allowed());
    EXPECT_EQ(older[1].type, "curated legacy daemon (0x90010)");
    EXPECT_TRUE(older[1].isLegacy() && older[1].isJob());
    EXPECT_FALSE(older[1].allowed());
    EXPECT_EQ(older[1].identifier, "Adobe_Genuine_Software_Integrity_Service");
    EXPECT_EQ(older[1].parentIdentifier, "Adobe Creative Cloud");

    const BackgroundTaskTable newer(parseDumpBtm(kNewerShape), 501);
    ASSERT_EQ(newer.records().size(), 2u);
    const BackgroundItem& menu = newer.records()[1];
    EXPECT_EQ(menu.typeFlags, BackgroundItem::kLoginItem);
    EXPECT_EQ(menu.dispositionWords(),
              (std::vector<std::string>{"enabled", "allowed", "visible", "notified"}));
    // Resolved through the parent app, whose URL had escapes.
    EXPECT_EQ(menu.url, "/Applications/Clean My Mac.app/Contents/Library/LoginItems/"
                        "CleanMyMac_5_MAS_Menu.app");
    EXPECT_EQ(newer.findJob("", "com.macpaw.CleanMyMac-mas.Menu"), 1u);
    ASSERT_NE(newer.parentOf(menu), nullptr);
    EXPECT_EQ(newer.parentOf(menu)->name, "CleanMyMac");
}

// The published samples verbatim and the excerpt shapes, kept with the fuzz seeds.
std::string dumpSample(std::string_view name) {
    return test::readText(DAEMONARY_TEST_DATA_DIR "/fuzz/dumpbtm/" + std::string(name));
}

// An app named by its code requirement, a curated legacy daemon, and a
// quoted record whose app is not in the excerpt.
TEST(DumpBtmParser, PublishedSamplesAsPrinted) {
    const BackgroundTaskTable older(parseDumpBtm(dumpSample("published-older.txt")), 501);
    ASSERT_EQ(older.records().size(), 2u);
    const BackgroundItem& lulu = older.records()[0];
    EXPECT_EQ(lulu.uid, 501);
    EXPECT_EQ(lulu.url, "/Applications/LuLu.app");
    EXPECT_EQ(lulu.executablePath, std::nullopt);
    ASSERT_TRUE(lulu.identifier);
    EXPECT_TRUE(lulu.identifier->starts_with("anchor apple generic and identifier"));
    EXPECT_EQ(plainIdentifier(*lulu.identifier), "com.objective-see.lulu.app");
    EXPECT_EQ(lulu.dispositionFlags, 0xbu);
    const BackgroundItem& ags = older.records()[1];
    EXPECT_TRUE(ags.allowed() && ags.isLegacy() && ags.isJob());
    EXPECT_EQ(ags.executablePath, "/Library/Application Support/Adobe/AdobeGCClient/AGSService");
    EXPECT_EQ(older.findJob("/Library/LaunchDaemons/com.adobe.agsservice.plist", ""), 1u);
    // Another user reads none of them.
    EXPECT_THAT(BackgroundTaskTable(parseDumpBtm(dumpSample("published-older.txt")), 502).records(),
                IsEmpty());

    // No UID header: the record is everyone's. Its app is not in the excerpt:
    // kept, under its label without the number, with no path to show.
    const BackgroundTaskTable newer(parseDumpBtm(dumpSample("published-newer.txt")), 502);
    ASSERT_EQ(newer.records().size(), 1u);
    const BackgroundItem& menu = newer.records()[0];
    EXPECT_EQ(menu.uid, std::nullopt);
    EXPECT_EQ(menu.identifier, "4.com.macpaw.CleanMyMac-mas.Menu");
    EXPECT_EQ(menu.url, std::nullopt);
    EXPECT_TRUE(menu.allowed());
    EXPECT_EQ(newer.findJob("", "com.macpaw.CleanMyMac-mas.Menu"), 0u);
    EXPECT_THAT(newer.problems(), IsEmpty());
}

// Excerpts as people quote them: numbered any way or not at all, indentation
// shifted or stripped, trailing spaces, (null), either value form.
TEST(DumpBtmParser, ExcerptVariants) {
    const std::vector<BackgroundItem> records = parseDumpBtm(dumpSample("excerpt.txt"));
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].name, "First");
    EXPECT_EQ(records[0].developerName, std::nullopt);
    // The words say disabled and disallowed whatever the value claims.
    EXPECT_FALSE(records[0].allowed());
    EXPECT_EQ(records[0].dispositionWords(),
              (std::vector<std::string>{"disabled", "disallowed", "visible", "notified"}));
    EXPECT_EQ(records[1].typeFlags, 0x10010u);
    EXPECT_TRUE(records[1].allowed());
    EXPECT_EQ(plainIdentifier(*records[1].identifier), "com.example.second");
    EXPECT_EQ(plainIdentifier(*records[2].identifier), "com.example.third");
    EXPECT_EQ(records[2].parentIdentifier, std::nullopt);
}

// Each user's block speaks for that user; the system's (-2) for everyone.
// The other user's block comes first and disallows the same job; a block
// whose UID cannot be read is no one's.
TEST(DumpBtmParser, TwoUsersDumpDecidesByUid) {
    const std::vector<BackgroundItem> printed = parseDumpBtm(dumpSample("two-users.txt"));
    ASSERT_EQ(printed.size(), 3u);
    EXPECT_EQ(printed[2].uid, -2);

    const BackgroundTaskTable mine(printed, 501);
    ASSERT_EQ(mine.records().size(), 2u);
    const auto agent = mine.findJob("", "com.example.agent");
    ASSERT_TRUE(agent);
    EXPECT_EQ(mine.records()[*agent].name, "Mine");
    EXPECT_TRUE(mine.records()[*agent].allowed());
    EXPECT_FALSE(mine.findJob("/Users/b/Library/LaunchAgents/a.plist", ""));

    const BackgroundTaskTable theirs(printed, 502);
    EXPECT_FALSE(theirs.records()[*theirs.findJob("", "com.example.agent")].allowed());
    for (const BackgroundTaskTable* table : {&mine, &theirs}) {
        const auto daemon = table->findJob("", "com.example.daemon");
        ASSERT_TRUE(daemon);
        EXPECT_FALSE(table->records()[*daemon].allowed());
    }
}

// Executable paths relative to the app resolve through it; one that climbs
// is refused and named, whatever its parent.
TEST(BtmUrls, ExecutablePathsResolveThroughTheApp) {
    const BackgroundTaskTable table(
        parseDumpBtm("Name: App\nType: app (0x2)\nIdentifier: 2.com.example.app\n"
                     "URL: file:///Applications/App.app/\n"
                     "Name: Helper\nType: daemon (0x10)\nIdentifier: 16.com.example.helper\n"
                     "URL: Contents/Library/LaunchDaemons/h.plist\n"
                     "Executable Path: Contents/Resources/helper\n"
                     "Parent Identifier: 2.com.example.app\n"
                     "Name: Climber\nType: agent (0x8)\nIdentifier: 8.com.example.climber\n"
                     "Executable Path: /Applications/App.app/../../private/secret\n"
                     "Name: Lost\nType: agent (0x8)\nExecutable Path: Contents/MacOS/lost\n"
                     "Parent Identifier: 2.com.example.gone\n"),
        501);
    ASSERT_EQ(table.records().size(), 4u);
    EXPECT_EQ(table.records()[1].executablePath, "/Applications/App.app/Contents/Resources/helper");
    EXPECT_EQ(table.records()[1].url,
              "/Applications/App.app/Contents/Library/LaunchDaemons/h.plist");
    EXPECT_EQ(table.records()[2].executablePath, std::nullopt);
    EXPECT_EQ(table.records()[3].executablePath, std::nullopt);
    ASSERT_EQ(table.problems().size(), 1u);
    EXPECT_THAT(table.problems()[0], HasSubstr("refused the executable path"));
}

TEST(DumpBtmParser, FieldVariants) {
    struct Case {
        std::string_view text;
        std::uint64_t typeFlags;
        std::optional<std::uint64_t> disposition;
    };
    const Case cases[] = {
        // "#1:" numbering, hex and decimal, flags without a value.
        {"#1:\nType: legacy agent (0x10008)\nDisposition: [enabled, allowed] (3)\n", 0x10008, 3},
        {"#7\nType: agent\nDisposition: [disabled disallowed visible]\n", 0x8, 0},
        {"Type: daemon (16)\nDisposition: [enabled, allowed, notified] (0xB)\n", 0x10, 0xb},
        // Words and value disagree: the words decide, the other bits stay.
        {"Type: agent (0x8)\nDisposition: [enabled allowed] (0x1)\n", 0x8, 3},
        {"Type: agent (0x8)\nDisposition: [disabled, disallowed, visible] (0xf)\n", 0x8, 8},
        // An unreadable value falls back to the words.
        {"Type: agent (0xZZ)\nDisposition: [allowed] (zzz)\n", 0x8, 2},
        // Unknown fields and types are kept apart from what is known.
        {"Type: quicklook (0x800)\nFlags: 7\nProgram Arguments: [a, b]\n", 0x800, std::nullopt},
    };
    for (const Case& c : cases) {
        const std::vector<BackgroundItem> records = parseDumpBtm(c.text);
        ASSERT_EQ(records.size(), 1u) << c.text;
        EXPECT_EQ(records[0].typeFlags, c.typeFlags) << c.text;
        EXPECT_EQ(records[0].dispositionFlags, c.disposition) << c.text;
    }
}

TEST(DumpBtmParser, HostileTextGivesNoRecords) {
    const std::string cases[] = {
        "",
        "garbage without fields\n\n\n",
        std::string("\x00\xff\xfe:\x01\x02", 6),
        "#1:\n#2:\n#3\n",
        "Records for UID 501 : x\n========\n",
        ": value without a key\n",
        std::string(100000, ':'),
        "Name: (null)\nURL: (null)\n",
    };
    for (const std::string& text : cases) {
        EXPECT_THAT(parseDumpBtm(text), IsEmpty()) << text.substr(0, 40);
    }
}

TEST(DumpBtmParser, AFloodOfRecordsIsCapped) {
    std::string flood;
    while (flood.size() < kMaxCapturedBytes - 16) {
        flood += "Name: x\n";
    }
    EXPECT_EQ(parseDumpBtm(flood).size(), kMaxBackgroundRecords);
}

TEST(BtmUrls, ResolveOrRefuse) {
    struct Case {
        std::string_view url;
        std::optional<std::string_view> parent;
        std::optional<std::string> path;
    };
    const Case cases[] = {
        {"file:///Applications/A%20B.app/", {}, "/Applications/A B.app"},
        {"file://localhost/Library/x.plist", {}, "/Library/x.plist"},
        {"Contents/Library/LoginItems/H.app", "/Applications/A.app",
         "/Applications/A.app/"
         "Contents/Library/LoginItems/"
         "H.app"},
        {"Contents/Library/LoginItems/H.app", std::nullopt, std::nullopt},
        {"file:///Applications/../etc/passwd", {}, std::nullopt},
        {"file:///Applications/%2E%2E/etc/passwd", {}, std::nullopt},
        {"../../../etc/passwd", "/Applications/A.app", std::nullopt},
        {"https://example.com/x.plist", {}, std::nullopt},
        {"file://evil.example/x.plist", {}, std::nullopt},
        {"file:///bad%zzescape", {}, std::nullopt},
        {"file:///nul%00byte", {}, std::nullopt},
        {"file:///truncated%2", {}, std::nullopt},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(pathFromBtmUrl(c.url, c.parent), c.path) << c.url;
    }
}

// A URL that climbs is refused and its record dropped; one relative to an app
// the dump does not hold keeps its record, with no path to show.
TEST(BtmUrls, RefusedRecordsAreNamedAndDropped) {
    const BackgroundTaskTable table(parseDumpBtm("Name: Climber\nType: agent (0x8)\n"
                                                 "URL: file:///Library/../../etc/x.plist\n"
                                                 "Name: Orphan child\nType: agent (0x8)\n"
                                                 "URL: Contents/x.plist\n"
                                                 "Parent Identifier: 2.unknown\n"),
                                    501);
    ASSERT_EQ(table.records().size(), 1u);
    EXPECT_EQ(table.records()[0].name, "Orphan child");
    EXPECT_EQ(table.records()[0].url, std::nullopt);
    EXPECT_EQ(table.problems().size(), 1u);
}

// A host root with an app that registers one of each kind of job.
class BackgroundHostTest : public ::testing::Test {
protected:
    BackgroundHostTest() {
        writeFakeTool(host / "/bin/launchctl", "PID\tStatus\tLabel\n");
        app = host / "/Applications/Harbor.app";
        writeFile(app + "/Contents/Library/LaunchAgents/com.harbor.agent.plist",
                  plistXml("<dict><key>Label</key><string>com.harbor.agent</string>"
                           "<key>BundleProgram</key><string>Contents/MacOS/agent</string></dict>"));
        writeFile(app + "/Contents/Library/LaunchDaemons/com.harbor.daemon.plist",
                  definitionXml("com.harbor.daemon", "/usr/local/bin/harbord"));
        writeFile(app + "/Contents/Library/LoginItems/Helper.app/Contents/Info.plist",
                  plistXml("<dict><key>CFBundleIdentifier</key><string>com.harbor.helper"
                           "</string><key>CFBundleExecutable</key><string>Helper</string>"
                           "</dict>"));
    }

    void writeSfltool(std::string_view output, int status = 0) const {
        writeFakeTool(host / "/usr/bin/sfltool", output, "", status);
    }
    LaunchServiceManager manager() const {
        return LaunchServiceManager(host.layout(),
                                    std::make_shared<test::FixedProcessSource>(ProcessSnapshot{}));
    }
    std::vector<LaunchItem> scan() const { return AppBundleScanner(host.layout()).scan(); }

    TemporaryHost host;
    std::string app;
};

TEST_F(BackgroundHostTest, FindsTheThreePlacesWithTheirPrograms) {
    // A vendor folder one level down counts; a bundle inside a bundle does not.
    writeFile(host / "/Applications/Vendor/Tool.app/Contents/Library/LaunchAgents/t.plist",
              definitionXml("com.vendor.tool", "/usr/bin/true"));
    writeFile(app + "/Contents/Resources/Nested.app/Contents/Library/LaunchAgents/n.plist",
              definitionXml("com.nested"));
    const std::vector<LaunchItem> items = scan();
    EXPECT_THAT(labelsOf(items), ElementsAre("com.harbor.agent", "com.harbor.daemon",
                                             "com.harbor.helper", "com.vendor.tool"));
    EXPECT_EQ(items[0].executablePath, app + "/Contents/MacOS/agent");
    EXPECT_EQ(items[1].executablePath, "/usr/local/bin/harbord");
    EXPECT_EQ(items[2].executablePath, app + "/Contents/Library/LoginItems/Helper.app/Contents/"
                                             "MacOS/Helper");
    EXPECT_EQ(items[2].type, ServiceType::loginItem);
    for (const LaunchItem& item : items) {
        EXPECT_EQ(item.scope, LaunchScope::background);
    }
    EXPECT_EQ(items[0].parentApp, app);
}

TEST_F(BackgroundHostTest, GuardsAgainstHostileBundles) {
    TemporaryHost outside;
    writeFile(outside / "/Evil.app/Contents/Library/LaunchAgents/e.plist",
              definitionXml("com.outside"));
    // An app that is a link leaving the root, and one that stays inside it.
    ASSERT_EQ(::symlink((outside / "/Evil.app").c_str(), (host / "/Applications/Evil.app").c_str()),
              0);
    ASSERT_EQ(::symlink(app.c_str(), (host / "/Applications/Alias.app").c_str()), 0);
    const std::string agents = app + "/Contents/Library/LaunchAgents/";
    // Special files where definitions belong must neither block nor be read.
    ASSERT_EQ(::mkfifo((agents + "fifo.plist").c_str(), 0644), 0);
    ASSERT_EQ(::symlink("/dev/zero", (agents + "zero.plist").c_str()), 0);
    ASSERT_EQ(::symlink((outside / "/Evil.app/Contents/Library/LaunchAgents/e.plist").c_str(),
                        (agents + "escape.plist").c_str()),
              0);
    writeFile(agents + "climb.plist",
              plistXml("<dict><key>Label</key><string>com.climb</string><key>BundleProgram"
                       "</key><string>../../../bin/sh</string></dict>"));
    LogCapture log;
    const std::vector<LaunchItem> items = scan();
    const std::vector<std::string> labels = labelsOf(items);
    EXPECT_THAT(labels, Not(Contains("com.outside")));
    // The alias inside the root is followed: the agent appears twice, once per name.
    EXPECT_EQ(std::count(labels.begin(), labels.end(), "com.harbor.agent"), 2);
    const auto climb = std::find(labels.begin(), labels.end(), "com.climb");
    ASSERT_NE(climb, labels.end());
    EXPECT_EQ(items[static_cast<std::size_t>(climb - labels.begin())].executablePath, std::nullopt);
    EXPECT_THAT(log.lines(), Contains(HasSubstr("links outside the host")));
}

TEST_F(BackgroundHostTest, JoinsRecordsAndMarksEveryCategory) {
    // The switched-off legacy agent lives in /Library/LaunchAgents.
    writeFile(host / "/Library/LaunchAgents/com.legacy.plist", definitionXml("com.legacy"));
    writeSfltool("#1:\nName: Harbor\nType: app (0x2)\nIdentifier: 2.com.harbor\n"
                 "URL: file:///Applications/Harbor.app/\n"
                 "#2:\nName: Agent\nType: agent (0x8)\nDisposition: [enabled] (0x1)\n"
                 "Identifier: 8.com.harbor.agent\n"
                 "URL: Contents/Library/LaunchAgents/com.harbor.agent.plist\n"
                 "Parent Identifier: 2.com.harbor\n"
                 "#3:\nName: Legacy\nType: legacy agent (0x10008)\n"
                 "Disposition: [enabled, disallowed] (0x1)\nIdentifier: com.legacy\n"
                 "URL: file:///Library/LaunchAgents/com.legacy.plist\n"
                 "#4:\nName: Gone\nType: agent (0x8)\nIdentifier: 8.com.gone.agent\n"
                 "URL: file:///Applications/Gone.app/Contents/Library/LaunchAgents/g.plist\n"
                 "Executable Path: /Applications/Gone.app/Contents/MacOS/g\n"
                 "#5:\nName: Leaves\nType: agent (0x8)\n"
                 "URL: file:///Applications/Link/x.plist\n"
                 // Its app is not in the dump; switched off all the same.
                 "#6:\nName: Relay\nType: daemon (0x10)\nDisposition: [enabled, disallowed] (0x3)\n"
                 "Identifier: 16.com.relay.daemon\nURL: Contents/Library/LaunchDaemons/r.plist\n"
                 "Executable Path: Contents/MacOS/relay\nParent Identifier: 2.com.absent\n"
                 // Its files are gone; a program path that climbs to one that
                 // is there must not make it look installed.
                 "#7:\nName: Sneak\nType: agent (0x8)\nIdentifier: 8.com.sneak\n"
                 "URL: file:///Applications/Sneak.app/Contents/Library/LaunchAgents/s.plist\n"
                 "Executable Path: /Applications/Sneak.app/../../bin/sh\n");
    writeFile(host / "/bin/sh", "#!/bin/sh\n", true);
    TemporaryHost outside;
    writeFile(outside / "/x.plist", definitionXml("com.outside"));
    ASSERT_EQ(::symlink(outside.root().c_str(), (host / "/Applications/Link").c_str()), 0);

    LogCapture log;
    const LaunchServiceManager discovery = manager();
    const HostPicture picture = discovery.takePicture(
        HostPicture::Needs::forScopes({{LaunchScope::system, LaunchScope::background}}, false));
    const std::vector<LaunchItem> system = discovery.loadItems(LaunchScope::system, picture);
    const std::vector<LaunchItem> background =
        discovery.loadItems(LaunchScope::background, picture);

    ASSERT_EQ(system.size(), 1u);
    EXPECT_EQ(system[0].allowedInBackground, false);
    ASSERT_TRUE(system[0].backgroundItem);
    EXPECT_EQ(system[0].backgroundItem->name, "Legacy");

    // Not repeated in Background; the record outside the root is not listed.
    EXPECT_THAT(labelsOf(background),
                ElementsAre("com.harbor.agent", "com.harbor.daemon", "com.harbor.helper",
                            "com.gone.agent", "com.relay.daemon", "com.sneak"));
    EXPECT_EQ(background[0].allowedInBackground, false);
    EXPECT_FALSE(background[0].orphaned);
    EXPECT_EQ(background[1].allowedInBackground, true);
    EXPECT_FALSE(background[1].backgroundItem);
    EXPECT_TRUE(background[3].orphaned);
    EXPECT_EQ(background[3].parentApp, std::nullopt);
    EXPECT_EQ(background[4].allowedInBackground, false);
    EXPECT_EQ(background[4].path, std::nullopt);
    EXPECT_EQ(background[4].executablePath, std::nullopt);
    EXPECT_FALSE(background[4].orphaned);
    EXPECT_EQ(background[4].backgroundItem->identifier, "16.com.relay.daemon");
    EXPECT_TRUE(background[5].orphaned);
    EXPECT_EQ(background[5].executablePath, std::nullopt);
    EXPECT_THAT(log.lines(), Contains(HasSubstr("URL leaves the host")));
}

// A tool that gives no answer leaves the allowed state unknown, in every
// category, never "allowed"; a system without the tool has nothing switched off.
TEST_F(BackgroundHostTest, UnusableToolLeavesTheScan) {
    writeFile(host / "/Library/LaunchAgents/com.legacy.plist", definitionXml("com.legacy"));
    const auto allowedStates = [this](LaunchScope scope) {
        std::vector<std::optional<bool>> states;
        for (const LaunchItem& item : manager().loadItems(scope)) {
            states.push_back(item.allowedInBackground);
        }
        return states;
    };
    struct Case {
        std::string script;
        std::string logged;
    };
    const Case cases[] = {
        {"echo 'sfltool: requires authorization' >&2; exit 1", "failed with status 1"},
        {"printf '\\377\\376Name: x\\n'", "not UTF-8"},
        {"head -c 17000000 /dev/zero", "Could not run sfltool dumpbtm"},
        {"echo 'nothing it knows'", "printed no records"},
    };
    const std::vector<std::optional<bool>> unknown(3, std::nullopt);
    for (const Case& c : cases) {
        writeFile(host / "/usr/bin/sfltool", "#!/bin/sh\n" + c.script + "\n", true);
        LogCapture log;
        const std::vector<LaunchItem> items = manager().loadItems(LaunchScope::background);
        EXPECT_EQ(items.size(), 3u) << c.script;
        EXPECT_THAT(log.lines(), Contains(HasSubstr(c.logged))) << c.script;
        EXPECT_EQ(allowedStates(LaunchScope::background), unknown) << c.script;
        EXPECT_EQ(allowedStates(LaunchScope::system), std::vector{std::optional<bool>()})
            << c.script;
    }
    ToolResult late;
    late.timedOut = true;
    late.standardOutput = "Name: x\nType: agent (0x8)\n";
    EXPECT_FALSE(BackgroundTasks::tableFromRun(late, 501).known());
    // UID blocks without records are an answer: nothing is switched off.
    writeSfltool("========================\n Records for UID 0 : X\n========================\n");
    EXPECT_EQ(allowedStates(LaunchScope::system), std::vector{std::optional(true)});
    ::unlink((host / "/usr/bin/sfltool").c_str());
    LogCapture log;
    EXPECT_EQ(manager().loadItems(LaunchScope::background).size(), 3u);
    EXPECT_THAT(log.lines(), Contains(HasSubstr("Could not run sfltool dumpbtm")));
    EXPECT_EQ(allowedStates(LaunchScope::system), std::vector{std::optional(true)});
}

} // namespace
} // namespace daemonary
