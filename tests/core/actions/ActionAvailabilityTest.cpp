#include "actions/ActionAvailability.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace daemonary {
namespace {

using ::testing::HasSubstr;
using Kind = ToggleOffer::Kind;

LaunchItem agent() {
    LaunchItem item;
    item.label = "com.example.agent";
    item.path = "/Users/demo/Library/LaunchAgents/com.example.agent.plist";
    item.scope = LaunchScope::user;
    item.type = ServiceType::launchAgent;
    item.status = ServiceStatus::inactive;
    return item;
}

TEST(ActionAvailabilityTest, StartIsOfferedOnlyWhereItCanWork) {
    struct Case {
        const char* name;
        LaunchItem item;
        std::optional<bool> disabled;
        Kind kind;
        bool available;
        const char* says;
    };
    LaunchItem orphan = agent();
    orphan.scope = LaunchScope::background;
    orphan.orphaned = true;
    LaunchItem notAllowed = agent();
    notAllowed.allowedInBackground = false;
    LaunchItem noDefinition = agent();
    noDefinition.path.reset();
    LaunchItem daemon = agent();
    daemon.type = ServiceType::launchDaemon;
    LaunchItem plugin = agent();
    plugin.type = ServiceType::other;
    LaunchItem running = agent();
    running.pid = 412;
    running.status = ServiceStatus::active;
    LaunchItem guessed = agent();
    guessed.pid = 413;
    guessed.pidSource = PidSource::processName;
    guessed.status = ServiceStatus::unknown;
    LaunchItem runningDaemon = daemon;
    runningDaemon.pid = 414;

    const Case cases[] = {
        {"idle agent", agent(), std::nullopt, Kind::start, true, "bootstrap"},
        {"disabled", agent(), true, Kind::enableAndStart, true, "enable"},
        {"orphan", orphan, true, Kind::start, false, "app is gone"},
        {"not allowed", notAllowed, false, Kind::start, false, "General \u25B8 Login Items"},
        {"no definition", noDefinition, false, Kind::start, false, "no definition file"},
        {"stopped daemon", daemon, false, Kind::start, false, "sudo launchctl bootstrap system"},
        {"plug-in", plugin, false, Kind::start, false, "Only launch agents"},
        {"running", running, true, Kind::stop, true, "bootout"},
        {"guessed pid", guessed, false, Kind::stop, false, "PID 413 is only a process"},
        {"running daemon", runningDaemon, false, Kind::stop, false,
         "sudo launchctl bootout system/com.example.agent"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const ToggleOffer offer = ActionAvailability::toggle(c.item, c.disabled);
        EXPECT_EQ(offer.kind, c.kind);
        EXPECT_EQ(offer.available, c.available);
        EXPECT_THAT(offer.explanation, HasSubstr(c.says));
    }
}

TEST(ActionAvailabilityTest, RemoveIsForTheUsersOwnItems) {
    EXPECT_EQ(ActionAvailability::removeRefusal(agent()), std::nullopt);
    LaunchItem system = agent();
    system.scope = LaunchScope::system;
    EXPECT_THAT(ActionAvailability::removeRefusal(system).value_or(""), HasSubstr("User"));
    LaunchItem daemon = system;
    daemon.type = ServiceType::launchDaemon;
    daemon.label = "com.example.d; rm -rf ~";
    // The label reaches the suggested command as one quoted word.
    EXPECT_THAT(ActionAvailability::removeRefusal(daemon).value_or(""),
                HasSubstr("sudo launchctl bootout 'system/com.example.d; rm -rf ~'"));
}

} // namespace
} // namespace daemonary
