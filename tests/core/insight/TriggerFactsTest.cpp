// Trigger wording, one table per family of keys. Every row is a definition
// fragment and the exact sentences it must give, in order.

#include "insight/TriggerFacts.h"

#include "plist/PlistJson.h"
#include "plist/PropertyList.h"
#include "text/Text.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace daemonary {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;

struct Case {
    const char* name;
    PlistDictionary definition;
    std::vector<std::string> texts;
};

std::vector<std::string> textsOf(const PlistDictionary& definition) {
    std::vector<std::string> texts;
    for (const TriggerFact& fact : triggerFacts(definition)) {
        texts.push_back(fact.text);
    }
    return texts;
}

void expectTable(const std::vector<Case>& cases) {
    for (const Case& row : cases) {
        EXPECT_THAT(textsOf(row.definition), ElementsAreArray(row.texts)) << row.name;
        // The flag the window greys unreadable facts by matches the wording.
        for (const TriggerFact& fact : triggerFacts(row.definition)) {
            EXPECT_EQ(fact.unreadable, fact.text.find(" cannot be read: ") != std::string::npos)
                << row.name;
        }
    }
}

PlistDictionary calendar(PlistDictionary entry) {
    return {{"StartCalendarInterval", std::move(entry)}};
}

TEST(TriggerFactsTest, BooleanKeysSayBothWays) {
    expectTable({
        {"RunAtLoad true", {{"RunAtLoad", true}}, {"Runs when it is loaded (at boot or login)"}},
        {"RunAtLoad false", {{"RunAtLoad", false}}, {"Does not run when it is loaded"}},
        {"StartOnMount", {{"StartOnMount", true}}, {"Runs whenever a file system is mounted"}},
        {"LaunchOnlyOnce", {{"LaunchOnlyOnce", true}}, {"Runs only once per boot"}},
        {"Disabled", {{"Disabled", true}}, {"Disabled in its definition: not loaded by default"}},
        {"KeepAlive true", {{"KeepAlive", true}}, {"Kept alive: restarted whenever it exits"}},
        {"KeepAlive false", {{"KeepAlive", false}}, {"Not kept alive"}},
        {"nothing", {{"Label", std::string("x")}}, {}},
    });
}

TEST(TriggerFactsTest, KeepAliveConditionsOneFactEach) {
    expectTable({
        {"exit and crash",
         {{"KeepAlive", PlistDictionary{{"SuccessfulExit", false}, {"Crashed", true}}}},
         // Dictionary keys come in code-point order.
         {"Kept alive: restarted after it crashes",
          "Kept alive: restarted after it exits with a non-zero status"}},
        {"successful exit",
         {{"KeepAlive", PlistDictionary{{"SuccessfulExit", true}}}},
         {"Kept alive: restarted after it exits with status 0"}},
        {"network",
         {{"KeepAlive", PlistDictionary{{"NetworkState", true}}}},
         {"Kept alive while the network is up"}},
        {"paths",
         {{"KeepAlive", PlistDictionary{{"PathState", PlistDictionary{{"/var/run/a", true},
                                                                      {"/var/run/b", false}}}}}},
         {"Kept alive while /var/run/a exists", "Kept alive while /var/run/b does not exist"}},
        {"other job",
         {{"KeepAlive",
           PlistDictionary{{"OtherJobEnabled", PlistDictionary{{"com.example.other", true}}}}}},
         {"Kept alive while job com.example.other is loaded"}},
        {"after demand",
         {{"KeepAlive", PlistDictionary{{"AfterInitialDemand", true}}}},
         {"Kept alive once it has first been started on demand"}},
        {"unknown condition",
         {{"KeepAlive", PlistDictionary{{"Moon", true}}}},
         {"Kept alive on a condition launchd may not know: Moon"}},
        {"empty", {{"KeepAlive", PlistDictionary{}}}, {"KeepAlive lists no conditions"}},
    });
}

TEST(TriggerFactsTest, StartIntervalInUnits) {
    expectTable({
        {"hour", {{"StartInterval", std::int64_t{3600}}}, {"Runs every 1 h"}},
        {"mixed", {{"StartInterval", std::int64_t{5430}}}, {"Runs every 1 h 30 min 30 s"}},
        {"seconds", {{"StartInterval", std::int64_t{45}}}, {"Runs every 45 s"}},
        {"days", {{"StartInterval", std::int64_t{2 * 86400 + 60}}}, {"Runs every 2 d 1 min"}},
        {"zero",
         {{"StartInterval", std::int64_t{0}}},
         {"StartInterval cannot be read: 0 is not a positive number of seconds"}},
        {"negative",
         {{"StartInterval", std::int64_t{-5}}},
         {"StartInterval cannot be read: -5 is not a positive number of seconds"}},
    });
}

TEST(TriggerFactsTest, CalendarWildcardsAndWeekdays) {
    using I = std::int64_t;
    expectTable({
        {"daily", calendar({{"Hour", I{3}}, {"Minute", I{15}}}), {"Runs every day at 03:15"}},
        {"weekly",
         calendar({{"Weekday", I{1}}, {"Hour", I{9}}, {"Minute", I{0}}}),
         {"Runs Mondays at 09:00"}},
        {"monthly",
         calendar({{"Day", I{1}}, {"Hour", I{0}}, {"Minute", I{0}}}),
         {"Runs day 1 of every month at 00:00"}},
        {"weekday 0 is Sunday",
         calendar({{"Weekday", I{0}}, {"Hour", I{7}}, {"Minute", I{5}}}),
         {"Runs Sundays at 07:05"}},
        {"weekday 7 is Sunday too",
         calendar({{"Weekday", I{7}}, {"Hour", I{7}}, {"Minute", I{5}}}),
         {"Runs Sundays at 07:05"}},
        {"yearly",
         calendar({{"Month", I{3}}, {"Day", I{14}}, {"Hour", I{12}}, {"Minute", I{0}}}),
         {"Runs day 14 of March at 12:00"}},
        {"weekday in a month",
         calendar({{"Month", I{12}}, {"Weekday", I{5}}, {"Hour", I{18}}, {"Minute", I{30}}}),
         {"Runs Fridays in December at 18:30"}},
        {"day or weekday",
         calendar({{"Day", I{15}}, {"Weekday", I{2}}, {"Hour", I{8}}, {"Minute", I{0}}}),
         {"Runs day 15 of every month and Tuesdays at 08:00"}},
        {"minute only", calendar({{"Minute", I{30}}}), {"Runs every hour at minute 30"}},
        {"hour only",
         calendar({{"Hour", I{4}}}),
         {"Runs every day, every minute from 04:00 to 04:59"}},
        {"weekday and minute",
         calendar({{"Weekday", I{6}}, {"Minute", I{0}}}),
         {"Runs Saturdays, every hour at minute 0"}},
        {"month only", calendar({{"Month", I{1}}}), {"Runs every day in January, every minute"}},
        {"empty", calendar({}), {"Runs every minute"}},
    });
}

TEST(TriggerFactsTest, CalendarArraysAndBadEntries) {
    using I = std::int64_t;
    expectTable({
        {"array",
         {{"StartCalendarInterval",
           PlistArray{PlistDictionary{{"Hour", I{1}}, {"Minute", I{0}}},
                      PlistDictionary{{"Hour", I{13}}, {"Minute", I{0}}}}}},
         {"Runs every day at 01:00", "Runs every day at 13:00"}},
        {"empty array",
         {{"StartCalendarInterval", PlistArray{}}},
         {"StartCalendarInterval lists no times"}},
        {"hour out of range",
         calendar({{"Hour", I{24}}, {"Minute", I{0}}}),
         {"StartCalendarInterval entry cannot be read: Hour 24 is out of range (0 to 23)"}},
        {"weekday out of range",
         calendar({{"Weekday", I{8}}}),
         {"StartCalendarInterval entry cannot be read: Weekday 8 is out of range (0 to 7)"}},
        {"day zero",
         calendar({{"Day", I{0}}}),
         {"StartCalendarInterval entry cannot be read: Day 0 is out of range (1 to 31)"}},
        {"month thirteen",
         calendar({{"Month", I{13}}}),
         {"StartCalendarInterval entry cannot be read: Month 13 is out of range (1 to 12)"}},
        {"minute as text",
         calendar({{"Minute", std::string("15")}}),
         {"StartCalendarInterval entry cannot be read: Minute is a string, not an integer"}},
        {"one bad entry among good ones",
         {{"StartCalendarInterval",
           PlistArray{PlistDictionary{{"Hour", I{2}}, {"Minute", I{0}}}, std::string("daily")}}},
         {"Runs every day at 02:00",
          "StartCalendarInterval entry cannot be read: expected a dictionary, found a string"}},
        {"not a calendar",
         {{"StartCalendarInterval", I{5}}},
         {"StartCalendarInterval cannot be read: expected a dictionary or an array of "
          "dictionaries, found an integer"}},
    });
}

TEST(TriggerFactsTest, PathsServicesSocketsAndEvents) {
    expectTable({
        {"watch paths",
         {{"WatchPaths", PlistArray{std::string("/etc/hosts"), std::string("/Library/Prefs")}}},
         {"Runs when /etc/hosts changes", "Runs when /Library/Prefs changes"}},
        {"queue directories",
         {{"QueueDirectories", PlistArray{std::string("/var/spool/x")}}},
         {"Runs while /var/spool/x is not empty"}},
        {"mach services",
         {{"MachServices", PlistDictionary{{"com.example.a", true},
                                           {"com.example.b", PlistDictionary{}},
                                           {"com.example.c", false}}}},
         {"Runs on demand for Mach service com.example.a",
          "Runs on demand for Mach service com.example.b",
          "Declares Mach service com.example.c but does not advertise it"}},
        {"sockets",
         {{"Sockets",
           PlistDictionary{
               {"Listeners", PlistDictionary{{"SockServiceName", std::string("8080")}}},
               {"Local", PlistArray{PlistDictionary{{"SockPathName", std::string("/tmp/s")}},
                                    PlistDictionary{{"SockServiceName", std::int64_t{22}}}}},
               {"Plain", PlistDictionary{}}}}},
         {"Runs when a client connects to socket \"Listeners\" (port 8080)",
          "Runs when a client connects to socket \"Local\" (path /tmp/s, port 22)",
          "Runs when a client connects to socket \"Plain\""}},
        {"launch events",
         {{"LaunchEvents", PlistDictionary{{"com.apple.iokit.matching",
                                            PlistDictionary{{"usb-in", PlistDictionary{}},
                                                            {"disk-in", PlistDictionary{}}}}}}},
         {"Runs on events from com.apple.iokit.matching: disk-in, usb-in"}},
    });
}

TEST(TriggerFactsTest, IdentityAndProcessType) {
    expectTable({
        {"user and group",
         {{"UserName", std::string("_www")}, {"GroupName", std::string("staff")}},
         {"Runs as user _www", "Runs as group staff"}},
        {"background",
         {{"ProcessType", std::string("Background")}},
         {"Process type: Background (limited resources, for work the user does not wait for)"}},
        {"interactive",
         {{"ProcessType", std::string("Interactive")}},
         {"Process type: Interactive (no limits, like an application)"}},
        {"unknown type",
         {{"ProcessType", std::string("Turbo")}},
         {"Process type: Turbo (not a type launchd knows)"}},
    });
}

TEST(TriggerFactsTest, CommandLineIsShellQuoted) {
    using S = std::string;
    expectTable({
        {"arguments",
         {{"ProgramArguments", PlistArray{S("/usr/bin/foo"), S("--bar"), S("two words")}}},
         {"Command: /usr/bin/foo --bar 'two words'"}},
        {"quote inside",
         {{"ProgramArguments", PlistArray{S("/bin/echo"), S("it's"), S("")}}},
         {"Command: /bin/echo 'it'\\''s' ''"}},
        {"program alone", {{"Program", S("/usr/libexec/tool")}}, {"Command: /usr/libexec/tool"}},
        {"program runs, first argument is only the name",
         {{"Program", S("/usr/libexec/real")},
          {"ProgramArguments", PlistArray{S("alias"), S("-v")}}},
         {"Command: /usr/libexec/real -v"}},
        {"shell characters",
         {{"ProgramArguments", PlistArray{S("/bin/sh"), S("-c"), S("echo $HOME; rm *")}}},
         {"Command: /bin/sh -c 'echo $HOME; rm *'"}},
    });
    EXPECT_EQ(shellQuoted("a-b_c.d/e:f,g=h+i@j%k"), "a-b_c.d/e:f,g=h+i@j%k");
    EXPECT_EQ(shellQuoted("tab\there"), "'tab\there'");
    EXPECT_EQ(shellQuoted("'"), "''\\'''");
}

TEST(TriggerFactsTest, WrongTypesSayTheyCannotBeRead) {
    using S = std::string;
    expectTable({
        {"RunAtLoad as text",
         {{"RunAtLoad", S("YES")}},
         {"RunAtLoad cannot be read: expected a boolean, found a string"}},
        {"KeepAlive as number",
         {{"KeepAlive", std::int64_t{1}}},
         {"KeepAlive cannot be read: expected a boolean or a dictionary, found an integer"}},
        {"KeepAlive condition",
         {{"KeepAlive", PlistDictionary{{"Crashed", S("yes")}}}},
         {"KeepAlive condition Crashed cannot be read: expected a boolean, found a string"}},
        {"PathState as array",
         {{"KeepAlive", PlistDictionary{{"PathState", PlistArray{}}}}},
         {"KeepAlive condition PathState cannot be read: expected a dictionary, found an array"}},
        {"StartInterval as real",
         {{"StartInterval", 60.0}},
         {"StartInterval cannot be read: expected an integer, found a real number"}},
        {"WatchPaths as text",
         {{"WatchPaths", S("/etc")}},
         {"WatchPaths cannot be read: expected an array of paths, found a string"}},
        {"WatchPaths entry",
         {{"WatchPaths", PlistArray{S("/etc"), std::int64_t{3}}}},
         {"Runs when /etc changes",
          "WatchPaths entry cannot be read: expected a path, found an integer"}},
        {"MachServices as array",
         {{"MachServices", PlistArray{S("com.x")}}},
         {"MachServices cannot be read: expected a dictionary, found an array"}},
        {"Mach service value",
         {{"MachServices", PlistDictionary{{"com.x", S("on")}}}},
         {"Mach service com.x cannot be read: expected a boolean or a dictionary, found a "
          "string"}},
        {"socket value",
         {{"Sockets", PlistDictionary{{"S", true}}}},
         {"Socket S cannot be read: expected a dictionary or an array of dictionaries with a "
          "name or path, found a boolean"}},
        {"event stream",
         {{"LaunchEvents", PlistDictionary{{"com.x", PlistArray{}}}}},
         {"Event stream com.x cannot be read: expected a dictionary, found an array"}},
        {"UserName as number",
         {{"UserName", std::int64_t{0}}},
         {"UserName cannot be read: expected a string, found an integer"}},
        {"ProcessType as bool",
         {{"ProcessType", true}},
         {"ProcessType cannot be read: expected a string, found a boolean"}},
        {"arguments as text",
         {{"ProgramArguments", S("/bin/ls -l")}},
         {"Command cannot be read: ProgramArguments is a string, not an array of strings"}},
        {"argument not text",
         {{"ProgramArguments", PlistArray{S("/bin/ls"), std::int64_t{1}}}},
         {"Command cannot be read: ProgramArguments holds an integer, not only strings"}},
        {"program as data",
         {{"Program", PlistData{"\x01"}}},
         {"Command cannot be read: Program is data"}},
        {"no arguments",
         {{"ProgramArguments", PlistArray{}}},
         {"Command cannot be read: ProgramArguments is empty"}},
    });
}

TEST(TriggerFactsTest, FactsComeInAFixedOrderWithTheirValues) {
    const PlistDictionary definition = {
        {"ProgramArguments", PlistArray{std::string("/usr/bin/true")}},
        {"UserName", std::string("root")},
        {"StartInterval", std::int64_t{60}},
        {"RunAtLoad", true},
        {"KeepAlive", PlistDictionary{{"Crashed", true}}},
    };
    const std::vector<TriggerFact> facts = triggerFacts(definition);
    std::vector<std::string> kinds;
    for (const TriggerFact& fact : facts) {
        kinds.push_back(fact.kind);
    }
    EXPECT_THAT(kinds,
                ElementsAre("RunAtLoad", "KeepAlive", "StartInterval", "UserName", "Command"));
    ASSERT_EQ(facts.size(), 5u);
    EXPECT_EQ(facts[1].value, PlistValue(PlistDictionary{{"Crashed", true}}));
    EXPECT_EQ(facts[2].value, PlistValue(std::int64_t{60}));
    EXPECT_EQ(toJson(facts[4].value).dump(), R"({"ProgramArguments":["/usr/bin/true"]})");
}

TEST(PlistJsonTest, EveryValueTypeHasAJsonForm) {
    const PlistValue value = PlistDictionary{
        {"a", PlistArray{std::int64_t{-3}, 1.5, true, std::string("x")}},
        {"d", PlistDate{0}},
        {"z", PlistData{std::string("\xde\xad", 2)}},
        {"n", std::numeric_limits<double>::infinity()},
    };
    EXPECT_EQ(toJson(value).dump(),
              R"({"a":[-3,1.5,true,"x"],"d":"2001-01-01 00:00:00 +0000","n":"inf","z":"<dead>"})");
}

} // namespace
} // namespace daemonary
