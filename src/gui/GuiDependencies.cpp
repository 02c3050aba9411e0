// Kept apart from the views so that the library's tests, which build their own
// dependencies, link without the discovery components.
#include "GuiDependencies.h"

#include "AppState.h"
#include "MetadataManager.h"

namespace daemonary {

GuiDependencies GuiDependencies::production() {
    GuiDependencies dependencies;
    dependencies.appState = &AppState::shared();
    dependencies.isSystemDefault = [](const LaunchItem& item) {
        return MetadataManager::shared().isSystemDefault(item);
    };
    dependencies.clock = Clock::system();
    return dependencies;
}

} // namespace daemonary
