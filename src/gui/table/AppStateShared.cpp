// The process-wide AppState lives apart from AppState.cpp so that code using an
// injected loader (the tests) links without the discovery components.
#include "discovery/LaunchServiceManager.h"
#include "table/AppState.h"

#include <memory>
#include <utility>

namespace daemonary {

AppState& AppState::shared() {
    static AppState* const instance = [] {
        auto manager = std::make_shared<const LaunchServiceManager>();
        auto* state = new AppState([manager](LaunchScope scope) {
            DiscoveredCategory category = manager->loadCategory(scope);
            return AppState::Discovery{std::move(category.items), std::move(category.problems)};
        });
        state->setDisabledLoader([manager](LaunchScope scope) {
            return DisabledServices::appliesTo(scope) ? manager->loadDisabledServices()
                                                      : DisabledServices{};
        });
        return state;
    }();
    return *instance;
}

} // namespace daemonary
