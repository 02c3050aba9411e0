// The process-wide AppState lives apart from AppState.cpp so that code using an
// injected loader (the tests) links without the discovery components.
#include "discovery/LaunchServiceManager.h"
#include "table/AppState.h"

#include <memory>
#include <utility>

namespace daemonary {

namespace {

AppState::Discovery discover(const LaunchServiceManager& manager, const HostPicture& picture,
                             LaunchScope scope) {
    DiscoveredCategory category = manager.loadCategory(scope, picture);
    AppState::Discovery discovery{std::move(category.items), std::move(category.problems), {}};
    discovery.disabled =
        DisabledServices::appliesTo(scope) ? picture.disabled() : DisabledServices{};
    // A category of the start-up picture does not wait for tools it does not
    // read (osascript may take seconds to start System Events).
    picture.writeFinishedLog();
    return discovery;
}

} // namespace

AppState& AppState::shared() {
    static AppState* const instance = [] {
        auto manager = std::make_shared<const LaunchServiceManager>();
        auto* state = new AppState(AppState::DiscoveryLoader([manager](LaunchScope scope) {
            const std::vector<LaunchScope> scopes{scope};
            return discover(
                *manager, manager->takePicture(HostPicture::Needs::forScopes(scopes, true)), scope);
        }));
        // Taking a picture only starts its tool runs, each on a thread of its
        // own; the loads wait for them on the discovery pool.
        state->setLoadPlanner([manager](const std::vector<LaunchScope>& scopes) {
            const HostPicture picture =
                manager->takePicture(HostPicture::Needs::forScopes(scopes, true));
            return AppState::DiscoveryLoader([manager, picture](LaunchScope scope) {
                return discover(*manager, picture, scope);
            });
        });
        return state;
    }();
    return *instance;
}

} // namespace daemonary
