#include "model/LaunchItem.h"

#include "model/LaunchItemJson.h"

#include <gtest/gtest.h>
#include <unordered_set>
#include <variant>

namespace daemonary {
namespace {

LaunchItem sampleItem() {
    LaunchItem item;
    item.label = "com.example.agent";
    item.path = "/Library/LaunchDaemons/com.example.agent.plist";
    item.executablePath = "/usr/local/bin/agent";
    item.pid = 42;
    item.index = 7;
    item.status = ServiceStatus::active;
    item.scope = LaunchScope::system;
    item.type = ServiceType::launchDaemon;
    return item;
}

TEST(LaunchItemTest, TextValuesRoundTripForEveryCase) {
    for (auto status : {ServiceStatus::active, ServiceStatus::inactive, ServiceStatus::onDemand,
                        ServiceStatus::unknown}) {
        EXPECT_EQ(serviceStatusFromText(toText(status)), status);
    }
    for (auto type :
         {ServiceType::launchService, ServiceType::launchAgent, ServiceType::launchDaemon,
          ServiceType::startupItem, ServiceType::kernelExtension, ServiceType::loginItem,
          ServiceType::xpcService, ServiceType::systemExtension, ServiceType::other}) {
        EXPECT_EQ(serviceTypeFromText(toText(type)), type);
    }
    for (auto scope : allScopes()) {
        EXPECT_EQ(launchScopeFromText(toText(scope)), scope);
        EXPECT_FALSE(symbolName(scope).empty());
    }
    EXPECT_EQ(toText(ServiceType::xpcService), "XPC Service");
    EXPECT_EQ(toText(LaunchScope::macos), "macOS");
    EXPECT_EQ(symbolName(LaunchScope::privilegedHelperTools),
              "externaldrive.trianglebadge.exclamationmark");
    EXPECT_EQ(symbolName(LaunchScope::kernel), "checkmark.seal");
}

TEST(LaunchItemTest, FromTextIsExactAndCaseSensitive) {
    EXPECT_EQ(serviceStatusFromText("On Demand"), ServiceStatus::onDemand);
    EXPECT_EQ(serviceStatusFromText("on demand"), std::nullopt);
    EXPECT_EQ(serviceStatusFromText("OnDemand"), std::nullopt);
    EXPECT_EQ(serviceStatusFromText("Active "), std::nullopt);
    EXPECT_EQ(launchScopeFromText("Privileged"), LaunchScope::privilegedHelperTools);
    EXPECT_EQ(launchScopeFromText("privilegedHelperTools"), std::nullopt);
    EXPECT_EQ(launchScopeFromText("macos"), std::nullopt);
    EXPECT_EQ(serviceTypeFromText(""), std::nullopt);
}

TEST(LaunchItemTest, AllScopesInSidebarOrder) {
    const auto& scopes = allScopes();
    ASSERT_EQ(scopes.size(), 8u);
    const std::array<std::string_view, 8> texts = {"Privileged", "System", "User",   "macOS",
                                                   "Mach",       "Kernel", "Others", "Background"};
    for (std::size_t i = 0; i < scopes.size(); ++i) {
        EXPECT_EQ(toText(scopes[i]), texts[i]);
    }
}

TEST(LaunchItemTest, IdJoinsLabelScopeAndPath) {
    LaunchItem job;
    job.label = "a";
    job.scope = LaunchScope::mach;
    EXPECT_EQ(job.id(), "a-Mach-");
    EXPECT_EQ(sampleItem().id(),
              "com.example.agent-System-/Library/LaunchDaemons/com.example.agent.plist");
}

TEST(LaunchItemTest, EqualityAndHashCoverEveryField) {
    const LaunchItem base = sampleItem();
    LaunchItem otherPid = base;
    otherPid.pid = 43;
    EXPECT_NE(base, otherPid);
    EXPECT_EQ(base.id(), otherPid.id());

    std::vector<LaunchItem> variants(8, base);
    variants[0].label = "x";
    variants[1].path.reset();
    variants[2].executablePath = "/other";
    variants[3].pid.reset();
    variants[4].index = 8;
    variants[5].status = ServiceStatus::inactive;
    variants[6].scope = LaunchScope::user;
    variants[7].type = ServiceType::launchAgent;
    std::unordered_set<LaunchItem> set{base};
    for (const auto& variant : variants) {
        EXPECT_NE(variant, base);
        set.insert(variant);
    }
    EXPECT_EQ(set.size(), 9u);
    EXPECT_EQ(set.count(sampleItem()), 1u);
    EXPECT_EQ(std::hash<LaunchItem>{}(base), std::hash<LaunchItem>{}(sampleItem()));

    // Absent and present-but-zero must not collide by construction.
    LaunchItem absent;
    LaunchItem zero;
    zero.pid = 0;
    EXPECT_NE(std::hash<LaunchItem>{}(absent), std::hash<LaunchItem>{}(zero));
}

TEST(LaunchItemTest, SortValues) {
    LaunchItem item;
    EXPECT_EQ(item.pidSortValue(), -1);
    EXPECT_EQ(item.pathSortValue(), "");
    item.pid = 99;
    EXPECT_EQ(item.pidSortValue(), 99);
    item.index = 3;
    EXPECT_EQ(item.pidSortValue(), 3);
    item.path = "/x";
    EXPECT_EQ(item.pathSortValue(), "/x");
}

TEST(LaunchItemJsonTest, WritesKeysInFieldOrderAndOmitsAbsentOptionals) {
    EXPECT_EQ(
        toJson(sampleItem()).dump(),
        R"({"label":"com.example.agent","path":"/Library/LaunchDaemons/com.example.agent.plist",)"
        R"("executablePath":"/usr/local/bin/agent","pid":42,"pidSource":"launchd","index":7,)"
        R"("status":"Active","scope":"System","type":"Launch Daemon"})");
    LaunchItem job;
    job.label = "j";
    job.scope = LaunchScope::mach;
    job.status = ServiceStatus::onDemand;
    job.type = ServiceType::launchService;
    EXPECT_EQ(toJson(job).dump(),
              R"({"label":"j","status":"On Demand","scope":"Mach","type":"Launch Service"})");
}

TEST(LaunchItemJsonTest, APidFoundByNameStaysAGuessThroughJson) {
    LaunchItem guessed = sampleItem();
    guessed.pidSource = PidSource::processName;
    EXPECT_EQ(guessed.pidText(), "42?");
    const auto written = toJson(guessed);
    EXPECT_EQ(written["pidSource"], "processName");
    const auto parsed = launchItemFromJson(nlohmann::json::parse(written.dump()));
    ASSERT_TRUE(std::holds_alternative<LaunchItem>(parsed));
    EXPECT_TRUE(std::get<LaunchItem>(parsed).pidIsGuess());

    // Written before the source was kept: launchd's.
    auto older = nlohmann::json::parse(written.dump());
    older.erase("pidSource");
    const auto old = launchItemFromJson(older);
    ASSERT_TRUE(std::holds_alternative<LaunchItem>(old));
    EXPECT_EQ(std::get<LaunchItem>(old).launchdPid(), 42);
    older["pidSource"] = "ps";
    EXPECT_TRUE(std::holds_alternative<JsonError>(launchItemFromJson(older)));
}

TEST(LaunchItemJsonTest, RoundTrips) {
    for (LaunchItem item : {sampleItem(), LaunchItem{}}) {
        const auto parsed = launchItemFromJson(nlohmann::json::parse(toJson(item).dump()));
        ASSERT_TRUE(std::holds_alternative<LaunchItem>(parsed));
        EXPECT_EQ(std::get<LaunchItem>(parsed), item);
    }
}

TEST(LaunchItemJsonTest, RejectsBadInputWithAMessage) {
    const auto base = nlohmann::json::parse(toJson(sampleItem()).dump());
    struct Case {
        const char* what;
        nlohmann::json input;
    };
    std::vector<Case> cases;
    for (const char* key : {"label", "status", "scope", "type"}) {
        auto copy = base;
        copy.erase(key);
        cases.push_back({key, copy});
    }
    auto add = [&](const char* key, nlohmann::json value) {
        auto copy = base;
        copy[key] = std::move(value);
        cases.push_back({key, copy});
    };
    add("status", "active");
    add("scope", "privilegedHelperTools");
    add("type", "Daemon");
    add("status", 1);
    add("label", nullptr);
    add("path", 5);
    add("executablePath", true);
    add("pid", "42");
    add("pid", 4.5);
    add("pid", 2147483648LL);
    add("index", -2147483649LL);
    add("index", 18446744073709551615ULL);
    cases.push_back({"array", nlohmann::json::array()});

    for (const auto& c : cases) {
        const auto parsed = launchItemFromJson(c.input);
        ASSERT_TRUE(std::holds_alternative<JsonError>(parsed)) << c.what << ": " << c.input;
        EXPECT_FALSE(std::get<JsonError>(parsed).message.empty());
    }

    auto edge = base;
    edge["pid"] = -2147483648LL;
    edge["index"] = 2147483647;
    const auto parsed = launchItemFromJson(edge);
    ASSERT_TRUE(std::holds_alternative<LaunchItem>(parsed));
    EXPECT_EQ(std::get<LaunchItem>(parsed).pid, -2147483647 - 1);
    EXPECT_EQ(std::get<LaunchItem>(parsed).index, 2147483647);
}

} // namespace
} // namespace daemonary
