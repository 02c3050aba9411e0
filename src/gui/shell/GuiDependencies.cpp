// Kept apart from the views so that the library's tests, which build their own
// dependencies, link without the discovery components.
#include "shell/GuiDependencies.h"

#include "MetadataManager.h"
#include "ServiceActionManager.h"
#include "inspector/ServiceDetailView.h"
#include "platform/QtWorkspace.h"
#include "shell/UserDefaults.h"
#include "table/AppState.h"
#include "table/SignerStore.h"

namespace daemonary {

GuiDependencies GuiDependencies::production() {
    GuiDependencies dependencies;
    dependencies.appState = &AppState::shared();
    dependencies.isSystemDefault = [](const LaunchItem& item) {
        return MetadataManager::shared().isSystemDefault(item);
    };
    dependencies.clock = Clock::system();
    // Actions may finish after the view that started them, so what they act
    // through lives as long as the process.
    static QtWorkspace workspace;
    static const ServiceActionManager actions(workspace);
    dependencies.signers = &SignerStore::shared();
    dependencies.defaults = &UserDefaults::standard();
    dependencies.inspectorFactory = ServiceDetailView::inspectorFactory(
        actions, dependencies.isSystemDefault, HostLayout::fromEnvironment(), dependencies.signers);
    dependencies.inspectorUpdater = ServiceDetailView::showInInspector;
    return dependencies;
}

} // namespace daemonary
