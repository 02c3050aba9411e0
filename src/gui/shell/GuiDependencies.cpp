// Kept apart from the views so that the library's tests, which build their own
// dependencies, link without the discovery components.
#include "shell/GuiDependencies.h"

#include "actions/ServiceActionManager.h"
#include "baseline/BaselineState.h"
#include "discovery/LaunchServiceManager.h"
#include "discovery/MetadataManager.h"
#include "inspector/ServiceDetailView.h"
#include "platform/QtWorkspace.h"
#include "platform/ReadOnlyWorkspace.h"
#include "shell/StatusNotices.h"
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
    // Actions may finish after the view that started them, and even after
    // quitting has begun (a stuck tool), so what they act through is never
    // destroyed.
    static StatusNotices* const notices = new StatusNotices;
    static QtWorkspace* const workspace = new QtWorkspace(notices);
    static const ServiceActionManager* const actions = new ServiceActionManager(*workspace);
    dependencies.workspace = workspace;
    dependencies.notices = notices;
    dependencies.signers = &SignerStore::shared();
    dependencies.defaults = &UserDefaults::standard();
    dependencies.inspectorFactory =
        ServiceDetailView::inspectorFactory(*actions, dependencies.isSystemDefault,
                                            HostLayout::fromEnvironment(), dependencies.signers);
    dependencies.inspectorUpdater = ServiceDetailView::showInInspector;
    static ReadOnlyWorkspace* const evidence = new ReadOnlyWorkspace(*workspace);
    dependencies.diskInspector =
        [isSystemDefault = dependencies.isSystemDefault](LayoutOf layoutOf, SignerStore* signers) {
            return ServiceDetailView::diskInspector(*evidence, std::move(layoutOf), isSystemDefault,
                                                    signers);
        };
    static BaselineState baseline(AppState::shared(), BaselineState::defaultFilePath());
    dependencies.baseline = &baseline;
    static const LaunchServiceManager folders;
    dependencies.directoriesOf = [](LaunchScope scope) { return folders.directoriesRead(scope); };
    return dependencies;
}

} // namespace daemonary
