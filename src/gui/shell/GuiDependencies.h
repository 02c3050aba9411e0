#pragma once

#include "model/LaunchItem.h"
#include "platform/HostLayout.h"
#include "table/Clock.h"

#include <QString>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class QWidget;

namespace daemonary {

class AppState;
class BaselineState;
class ServiceTableView;
class SignerStore;
class StatusNotices;
class UserDefaults;
class Workspace;

// What the views need from outside, passed down from the application entry.
// Tests fill it with fakes; production() wires the real components.
struct GuiDependencies {
    // Builds the inspector's content for the one selected record. The table
    // owns the returned widget and lends itself for the refresh trigger.
    using InspectorFactory = std::function<QWidget*(const LaunchItem&, ServiceTableView&)>;
    // Shows another record in content the factory made, which keeps its own
    // state (open tree nodes, files being read); false when it cannot, and
    // the content is made afresh.
    using InspectorUpdater = std::function<bool(QWidget&, const LaunchItem&)>;
    using SystemDefaultPredicate = std::function<bool(const LaunchItem&)>;

    AppState* appState = nullptr;
    SystemDefaultPredicate isSystemDefault; // none: nothing is a system default
    std::shared_ptr<Clock> clock = Clock::system();
    InspectorFactory inspectorFactory; // none: a plain summary of the record
    InspectorUpdater inspectorUpdater; // none: every record gets new content
    SignerStore* signers = nullptr;    // none: no Signed By texts
    UserDefaults* defaults = nullptr;  // none: table columns are not remembered
    BaselineState* baseline = nullptr; // none: no baseline, no marks
    Workspace* workspace = nullptr;    // none: nothing offers Reveal but the inspector
    StatusNotices* notices = nullptr;  // none: only the window's own news in its status bar
    // The folders a category is read from, watched for changes; none: no watching.
    std::function<std::vector<std::string>(LaunchScope)> directoriesOf;

    // The root of the Mac's disk the records were read from, as shown; empty
    // for this host. Records of a disk are evidence: nothing acts on them.
    QString diskRoot;
    // Where a disk's record has its files: under the disk's root, in its
    // user's home.
    using LayoutOf = std::function<HostLayout(const LaunchItem&)>;
    struct Inspector {
        InspectorFactory factory;
        InspectorUpdater updater;
    };
    // Makes the inspector for the records of a disk, with the signers found
    // there; none: a plain summary.
    using DiskInspector = std::function<Inspector(LayoutOf, SignerStore*)>;
    DiskInspector diskInspector;

    // The shared AppState, the shared MetadataManager, the real clock and the
    // service detail pane acting through the platform's workspace.
    static GuiDependencies production();
};

} // namespace daemonary
