#include "discovery/DisabledServices.h"

#include "ActionTestSupport.h"
#include "ListCommand.h"
#include "discovery/LaunchServiceManager.h"
#include "model/LaunchItemJson.h"
#include "platform/HostLayout.h"
#include "platform/Log.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sstream>
#include <unistd.h>

namespace daemonary {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using Entries = std::map<std::string, bool, std::less<>>;

class LogCapture {
public:
    LogCapture() {
        Log::setSink([this](std::string_view line) { lines.emplace_back(line); });
    }
    ~LogCapture() { Log::setSink({}); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<std::string> lines;
};

LaunchItem record(std::string label, ServiceType type, LaunchScope scope = LaunchScope::system) {
    LaunchItem item;
    item.label = std::move(label);
    item.type = type;
    item.scope = scope;
    item.status = ServiceStatus::inactive;
    return item;
}

TEST(PrintDisabledTest, ReadsBothValueFormsAndTheLoginItemsBlock) {
    struct Case {
        const char* name;
        std::string text;
        Entries services;
        Entries loginItems;
    };
    const std::vector<Case> cases = {
        {"current words, tab indented",
         "disabled services = {\n\t\"com.example.agent\" => disabled\n"
         "\t\"com.example.other\" => enabled\n}\n",
         {{"com.example.agent", true}, {"com.example.other", false}},
         {}},
        {"older true/false, CRLF, spaces",
         "disabled services = {\r\n    \"com.example.agent\" => true\r\n"
         "    \"com.example.other\" => false\r\n}\r\n",
         {{"com.example.agent", true}, {"com.example.other", false}},
         {}},
        {"login items block after a blank line",
         "disabled services = {\n\t\"a\" => enabled\n}\n\n"
         "disabled login items = {\n\t\"com.example.helper\" => disabled\n}\n",
         {{"a", false}},
         {{"com.example.helper", true}}},
        {"nested in a print of the domain, other blocks passed over",
         "system = {\n\ttype = system\n\tattractive services = {\n\t\tcom.apple.x\n\t}\n"
         "\tdisabled services = {\n\t\t\"com.apple.ftpd\" => disabled\n\t}\n}\n",
         {{"com.apple.ftpd", true}},
         {}},
        {"an empty list is a known list", "disabled services = {\n}\n", {}, {}},
        {"a label with quotes and spaces, the later value wins",
         "disabled services = {\n\t\"odd \"name\" here\" => disabled\n\t\"x\" => disabled\n"
         "\t\"x\" => enabled\n}\n",
         {{"odd \"name\" here", true}, {"x", false}},
         {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const LogCapture log;
        const auto parsed = parsePrintDisabled(c.text);
        ASSERT_TRUE(parsed.has_value());
        EXPECT_EQ(parsed->services, c.services);
        EXPECT_EQ(parsed->loginItems, c.loginItems);
        EXPECT_THAT(log.lines, IsEmpty());
    }
}

TEST(PrintDisabledTest, BadLinesAreLoggedAndSkipped) {
    const LogCapture log;
    const auto parsed = parsePrintDisabled("disabled services = {\n"
                                           "\t\"good\" => disabled\n"
                                           "\tcom.example.unquoted => disabled\n"
                                           "\t\"maybe\" => perhaps\n"
                                           "\t\"\" => disabled\n"
                                           "\t\"after\" => enabled\n"
                                           "}\n");
    ASSERT_TRUE(parsed.has_value());
    EXPECT_EQ(parsed->services, (Entries{{"good", true}, {"after", false}}));
    EXPECT_THAT(log.lines,
                ElementsAre("launchctl print-disabled: skipped line 3: com.example.unquoted => "
                            "disabled",
                            "launchctl print-disabled: skipped line 4: \"maybe\" => perhaps",
                            "launchctl print-disabled: skipped line 5: \"\" => disabled"));
}

TEST(PrintDisabledTest, OutputWithoutEitherBlockIsUnknown) {
    for (const std::string text :
         {"", "\n\n", "Unrecognized target specifier.\n", "login item associations = {\n}\n",
          "\"com.example.agent\" => disabled\n"}) {
        SCOPED_TRACE(text);
        EXPECT_EQ(parsePrintDisabled(text), std::nullopt);
    }
}

TEST(DisabledServicesTest, EachRecordIsJudgedInItsOwnDomain) {
    DisabledServices state;
    state.user = DisabledOverrides{{{"agent", true}, {"job", true}, {"daemon", true}},
                                   {{"Helper", true}, {"com.example.notes", true}}};
    // Login items by the bundle identifier their application declares.
    const auto loginItem = [](std::string name, std::optional<std::string> identifier) {
        LaunchItem item = record(std::move(name), ServiceType::loginItem, LaunchScope::user);
        item.bundleIdentifier = std::move(identifier);
        return item;
    };
    state.system = DisabledOverrides{{{"daemon", true}, {"agent", false}}, {}};

    struct Case {
        LaunchItem item;
        std::optional<bool> expected;
    };
    const std::vector<Case> cases = {
        {record("agent", ServiceType::launchAgent, LaunchScope::user), true},
        {record("agent", ServiceType::launchAgent, LaunchScope::macos), true},
        {record("other", ServiceType::launchAgent), false},
        {record("job", ServiceType::launchService, LaunchScope::mach), true},
        {record("daemon", ServiceType::launchDaemon), true},
        // The user domain's entry of that name says nothing about a daemon.
        {record("agent", ServiceType::launchDaemon), false},
        // Login items are read from their own block only.
        {record("Helper", ServiceType::loginItem, LaunchScope::user), true},
        {record("agent", ServiceType::loginItem, LaunchScope::user), false},
        {loginItem("Notes", "com.example.notes"), true},
        // A display name is anyone's to choose: one that equals a disabled
        // identifier says nothing about an application with another one.
        {loginItem("com.example.notes", "com.example.impostor"), false},
        {loginItem("Helper", "com.example.helper"), false},
        {record("daemon", ServiceType::startupItem), std::nullopt},
        {record("daemon", ServiceType::kernelExtension, LaunchScope::kernel), std::nullopt},
        {record("daemon", ServiceType::other, LaunchScope::privilegedHelperTools), std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.item.label + " as " + std::string(toText(c.item.type)));
        EXPECT_EQ(state.isDisabled(c.item), c.expected);
    }

    // A domain that could not be read answers nothing for its records.
    DisabledServices userUnknown = state;
    userUnknown.user.reset();
    EXPECT_EQ(userUnknown.isDisabled(record("agent", ServiceType::launchAgent)), std::nullopt);
    EXPECT_FALSE(userUnknown.hasDisabled(record("agent", ServiceType::launchAgent)));
    EXPECT_EQ(userUnknown.isDisabled(record("daemon", ServiceType::launchDaemon)), true);
}

TEST(DisabledServicesTest, ListJsonAddsTheFieldOnlyToDisabledRecords) {
    DisabledServices state;
    state.user = DisabledOverrides{{{"off", true}, {"on", false}}, {}};
    const std::vector<std::pair<LaunchScope, std::vector<LaunchItem>>> categories = {
        {LaunchScope::user,
         {record("off", ServiceType::launchAgent, LaunchScope::user),
          record("on", ServiceType::launchAgent, LaunchScope::user),
          record("unlisted", ServiceType::launchAgent, LaunchScope::user)}},
        {LaunchScope::system, {record("daemon", ServiceType::launchDaemon)}},
    };

    const auto document = nlohmann::json::parse(listJson(categories, nullptr, &state));
    EXPECT_EQ(document["User"][0]["disabled"], true);
    for (const auto& unmarked : {document["User"][1], document["User"][2], document["System"][0]}) {
        EXPECT_FALSE(unmarked.contains("disabled")) << unmarked.dump();
    }
    // The record's own form is untouched: the field reads back as nothing.
    const auto reread = launchItemFromJson(document["User"][0]);
    ASSERT_TRUE(std::holds_alternative<LaunchItem>(reread));
    EXPECT_EQ(std::get<LaunchItem>(reread), categories[0].second[0]);
    // Without any state the document is what it always was.
    EXPECT_EQ(listJson(categories, nullptr, nullptr), listJson(categories, nullptr));
    EXPECT_EQ(listJson(categories, nullptr, &state).find("\"disabled\": false"), std::string::npos);
}

TEST(DisabledServicesTest, ListTableShowsTheColumnForLaunchdCategoriesOnly) {
    DisabledServices state;
    state.user = DisabledOverrides{{{"com.example.off", true}}, {}};
    const std::vector<LaunchItem> items = {
        record("com.example.off", ServiceType::launchAgent),
        record("daemon", ServiceType::launchDaemon),
        record("Startup", ServiceType::startupItem),
    };
    std::ostringstream out;
    writeListTable(out, LaunchScope::system, items, nullptr, &state);
    EXPECT_EQ(out.str(), "System: 3 items, 0 running\n"
                         "LABEL                       PID  STATUS    DISABLED  PATH\n"
                         "com.example.off \u2014 Disabled    -  Inactive  yes       -\n"
                         "daemon                        -  Inactive  -         -\n"
                         "Startup                       -  Inactive  -         -\n");

    std::ostringstream kernel;
    writeListTable(kernel, LaunchScope::kernel, {}, nullptr, &state);
    EXPECT_THAT(kernel.str(), ::testing::Not(HasSubstr("DISABLED")));
}

// The I/O wrapper: one run per domain, failures logged once each.
class PrintDisabledRunTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(root.path().empty()); }

    void installLaunchctl(const std::string& body) {
        test::writeFile(root / "bin/launchctl",
                        "#!/bin/sh\nprintf '%s\\n' \"$*\" >> " + test::shellQuoted(root / "calls") +
                            "\n" + body,
                        true);
    }

    test::TemporaryFolder root;
    LaunchServiceManager manager{HostLayout(root.path(), root / "Users/test")};
};

TEST_F(PrintDisabledRunTest, ReadsTheUsersDomainAndTheSystemDomain) {
    installLaunchctl("case \"$2\" in\n"
                     "  system) printf 'disabled services = {\\n\\t\"d\" => true\\n}\\n' ;;\n"
                     "  *) printf 'disabled services = {\\n\\t\"a\" => disabled\\n}\\n' ;;\n"
                     "esac\n");
    const LogCapture log;
    const DisabledServices state = manager.loadDisabledServices();
    EXPECT_THAT(
        test::readLines(root / "calls"),
        ElementsAre("print-disabled gui/" + std::to_string(::getuid()), "print-disabled system"));
    ASSERT_TRUE(state.user && state.system);
    EXPECT_EQ(state.user->services, (Entries{{"a", true}}));
    EXPECT_EQ(state.system->services, (Entries{{"d", true}}));
    EXPECT_THAT(log.lines, IsEmpty());
}

TEST_F(PrintDisabledRunTest, UnusableAnswersLeaveTheirDomainUnknownWithOneLineEach) {
    installLaunchctl("case \"$2\" in\n"
                     "  system) printf 'Could not print\\n  disabled services\\n' >&2; exit 5 ;;\n"
                     "  *) printf 'nothing of use\\n' ;;\n"
                     "esac\n");
    const LogCapture log;
    const DisabledServices state = manager.loadDisabledServices();
    EXPECT_EQ(state.user, std::nullopt);
    EXPECT_EQ(state.system, std::nullopt);
    const std::string user = "gui/" + std::to_string(::getuid());
    EXPECT_THAT(log.lines,
                ElementsAre("launchctl print-disabled " + user +
                                " printed no disabled-services list; the disabled state is unknown",
                            "launchctl print-disabled system failed with status 5: Could not "
                            "print disabled services"));

    // No launchctl at all: the same, and never an exception or a hang.
    std::filesystem::remove(root / "bin/launchctl");
    const LogCapture missing;
    EXPECT_EQ(manager.loadDisabledServices(), DisabledServices{});
    EXPECT_EQ(missing.lines.size(), 2u);
}

} // namespace
} // namespace daemonary
