#pragma once

#include "HostLayout.h"
#include "LaunchItem.h"
#include "ProcessMonitor.h"

#include <memory>
#include <vector>

namespace daemonary {

// Discovery of one category at a time. Holds only values fixed at creation, so
// every member may be called from several threads at once.
// (Interface stub: the discovery work fills this in.)
class LaunchServiceManager {
public:
    explicit LaunchServiceManager(
        HostLayout layout = HostLayout::fromEnvironment(),
        std::shared_ptr<const ProcessSource> processes = std::make_shared<ProcessMonitor>());

    // The records of one category, in gathering order. Never fails.
    std::vector<LaunchItem> loadItems(LaunchScope scope) const;

    const HostLayout& layout() const;
};

} // namespace daemonary
