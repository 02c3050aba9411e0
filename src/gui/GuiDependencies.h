#pragma once

#include "Clock.h"
#include "LaunchItem.h"

#include <functional>
#include <memory>

class QWidget;

namespace daemonary {

class AppState;
class ServiceTableView;

// What the views need from outside, passed down from the application entry.
// Tests fill it with fakes; production() wires the real components.
struct GuiDependencies {
    // Builds the inspector's content for the one selected record. The table
    // owns the returned widget and lends itself for the refresh trigger.
    using InspectorFactory = std::function<QWidget*(const LaunchItem&, ServiceTableView&)>;
    using SystemDefaultPredicate = std::function<bool(const LaunchItem&)>;

    AppState* appState = nullptr;
    SystemDefaultPredicate isSystemDefault; // none: nothing is a system default
    std::shared_ptr<Clock> clock = Clock::system();
    InspectorFactory inspectorFactory; // none: a plain summary of the record

    // The shared AppState, the shared MetadataManager and the real clock.
    static GuiDependencies production();
};

} // namespace daemonary
