#include "ActionCommand.h"

#include "ActionTestSupport.h"
#include "CommandLineWorkspace.h"
#include "actions/ServiceActionManager.h"
#include "platform/Log.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sstream>
#include <unistd.h>

namespace daemonary {
namespace {

using test::readLines;
using test::TemporaryFolder;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

TEST(ActionOptionsTest, LabelAndScopes) {
    auto parsed = parseActionOptions(ActionVerb::start,
                                     {"--scope", "User", "com.example.a", "--scope=Privileged"});
    ASSERT_TRUE(std::holds_alternative<ActionOptions>(parsed));
    const ActionOptions& options = std::get<ActionOptions>(parsed);
    EXPECT_EQ(options.label, "com.example.a");
    // Sidebar order, whatever the order on the command line.
    EXPECT_THAT(options.scopes, ElementsAre(LaunchScope::privilegedHelperTools, LaunchScope::user));

    parsed = parseActionOptions(ActionVerb::stop, {"--", "-odd-label"});
    ASSERT_TRUE(std::holds_alternative<ActionOptions>(parsed));
    EXPECT_EQ(std::get<ActionOptions>(parsed).label, "-odd-label");
    EXPECT_EQ(std::get<ActionOptions>(parsed).scopes.size(), 8u);

    for (const std::vector<std::string>& bad : std::vector<std::vector<std::string>>{
             {}, {"a", "b"}, {"a", "--scope"}, {"a", "--scope", "users"}, {"--force", "a"}}) {
        EXPECT_TRUE(
            std::holds_alternative<ActionUsageError>(parseActionOptions(ActionVerb::toggle, bad)));
    }
}

class ActionCommandTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(root.path().empty());
        Log::setSink([](std::string_view) {});
        test::writeFile(definition, "<plist/>");
        test::installRecordingLaunchctl(root / "bin/launchctl", callLog);
    }
    void TearDown() override { Log::setSink({}); }

    LaunchItem record(LaunchScope scope, std::optional<std::int32_t> pid,
                      ServiceStatus status) const {
        LaunchItem item;
        item.label = "com.example.a";
        item.path = definition;
        item.pid = pid;
        item.status = status;
        item.scope = scope;
        item.type = ServiceType::launchAgent;
        return item;
    }

    int perform(ActionVerb verb, std::vector<LaunchScope> scopes,
                std::string label = "com.example.a") {
        out.str({});
        err.str({});
        ActionOptions options;
        options.verb = verb;
        options.label = std::move(label);
        options.scopes = std::move(scopes);
        ActionSources sources;
        sources.load = [this](LaunchScope scope) {
            loaded.push_back(scope);
            std::vector<LaunchItem> items;
            for (const LaunchItem& item : records) {
                if (item.scope == scope) {
                    items.push_back(item);
                }
            }
            return items;
        };
        sources.disabled = [this](const LaunchItem&) { return disabled; };
        sources.confirm = [this](const std::string& question) {
            questions.push_back(question);
            return answer;
        };
        return performAction(options, sources, actions, out, err);
    }

    TemporaryFolder root;
    const std::string definition = root / "home/Library/LaunchAgents/com.example.a.plist";
    const std::string callLog = root / "calls";
    const std::string domain = "gui/" + std::to_string(::getuid());
    CommandLineWorkspace workspace;
    ServiceActionManager actions{workspace, HostLayout(root.path(), root / "home")};
    std::vector<LaunchItem> records;
    std::vector<LaunchScope> loaded;
    std::optional<bool> disabled;
    std::optional<bool> answer;
    std::vector<std::string> questions;
    std::ostringstream out;
    std::ostringstream err;
};

TEST_F(ActionCommandTest, FirstRecordInSidebarOrderWinsAndLaterCategoriesStayUnloaded) {
    const std::vector<LaunchScope> all(allScopes().begin(), allScopes().end());
    records = {record(LaunchScope::user, 4242, ServiceStatus::active),
               record(LaunchScope::system, std::nullopt, ServiceStatus::inactive)};
    EXPECT_EQ(perform(ActionVerb::toggle, all), 0);
    EXPECT_THAT(loaded, ElementsAre(LaunchScope::privilegedHelperTools, LaunchScope::system));
    EXPECT_EQ(out.str(), "Started com.example.a (System)\n");
    EXPECT_THAT(readLines(callLog), ElementsAre("bootstrap " + domain + " " + definition,
                                                "kickstart -k " + domain + "/com.example.a"));

    loaded.clear();
    EXPECT_EQ(perform(ActionVerb::stop, {LaunchScope::user}), 0);
    EXPECT_THAT(loaded, ElementsAre(LaunchScope::user));
    EXPECT_EQ(out.str(), "Stopped com.example.a (User), was PID 4242\n");
    EXPECT_EQ(readLines(callLog).back(), "bootout " + domain + " " + definition);
}

TEST_F(ActionCommandTest, RefusalsRunNothing) {
    records = {record(LaunchScope::user, std::nullopt, ServiceStatus::active),
               record(LaunchScope::others, std::nullopt, ServiceStatus::onDemand)};
    EXPECT_EQ(perform(ActionVerb::start, {LaunchScope::user}), kActionFailed);
    EXPECT_THAT(err.str(), HasSubstr("com.example.a (User) is already running (Active)"));
    EXPECT_EQ(perform(ActionVerb::stop, {LaunchScope::others}), kActionFailed);
    EXPECT_THAT(err.str(), HasSubstr("com.example.a (Others) is not running (On Demand)"));
    EXPECT_EQ(perform(ActionVerb::start, {LaunchScope::user}, "com.example.other"), kNoSuchRecord);
    EXPECT_THAT(err.str(), HasSubstr("no service labelled \"com.example.other\" in User"));
    EXPECT_THAT(readLines(callLog), IsEmpty());
    EXPECT_THAT(out.str(), IsEmpty());
}

TEST_F(ActionCommandTest, FailureIsOnePlainSentenceWithLaunchctlsReason) {
    test::installRecordingLaunchctl(
        root / "bin/launchctl", callLog,
        {{"kickstart",
          {1, "Could not kickstart service \"com.example.a\": 1: Operation not permitted\n"
              "Try re-running the command as root for richer errors.\n"}}});
    records = {record(LaunchScope::user, std::nullopt, ServiceStatus::inactive)};
    EXPECT_EQ(perform(ActionVerb::start, {LaunchScope::user}), kActionFailed);
    EXPECT_EQ(err.str(), "daemonary-cli start: Failed to start com.example.a (User): Could not "
                         "kickstart service \"com.example.a\": 1: Operation not permitted\n");
    EXPECT_THAT(out.str(), IsEmpty());
}

TEST_F(ActionCommandTest, RemoveAsksUnlessToldYesAndRefusesWithoutAnAnswer) {
    records = {record(LaunchScope::user, std::nullopt, ServiceStatus::inactive)};
    answer = false;
    EXPECT_EQ(perform(ActionVerb::remove, {LaunchScope::user}), kActionFailed);
    ASSERT_EQ(questions.size(), 1u);
    EXPECT_THAT(questions.back(), HasSubstr(definition + " moves to the Trash"));
    EXPECT_THAT(readLines(callLog), IsEmpty());
    EXPECT_TRUE(std::filesystem::exists(definition));

    // This workspace has no Trash: the failure is the one line.
    answer = true;
    EXPECT_EQ(perform(ActionVerb::remove, {LaunchScope::user}), kActionFailed);
    EXPECT_EQ(err.str(), "daemonary-cli remove: Failed to remove com.example.a (User): Moving " +
                             definition + " to the Trash: not available from the command line\n");
    EXPECT_THAT(readLines(callLog), ElementsAre("list"));
    EXPECT_TRUE(std::holds_alternative<ActionUsageError>(
        parseActionOptions(ActionVerb::stop, {"--yes", "com.example.a"})));
}

TEST(CommandLineWorkspaceTest, TrashTakesAFreeNameAndNeverOverwrites) {
    TemporaryFolder root;
    const std::string trash = root / "home/.Trash";
    CommandLineWorkspace workspace(trash);
    const std::string first = root / "a/x.plist";
    const std::string second = root / "b/x.plist";
    test::writeFile(first, "first");
    test::writeFile(second, "second");
    EXPECT_EQ(workspace.moveToTrash(first), std::nullopt);
    EXPECT_EQ(workspace.moveToTrash(second), std::nullopt);
    EXPECT_EQ(test::readWholeFile(trash + "/x.plist"), "first");
    EXPECT_EQ(test::readWholeFile(trash + "/x 2.plist"), "second");
    EXPECT_FALSE(std::filesystem::exists(first));

    const std::optional<WorkspaceError> missing = workspace.moveToTrash(root / "a/gone.plist");
    ASSERT_TRUE(missing);
    EXPECT_THAT(missing->text, HasSubstr("No such file or directory"));
}

} // namespace
} // namespace daemonary
