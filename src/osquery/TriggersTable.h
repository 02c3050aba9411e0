#pragma once

#include "ExtensionTable.h"
#include "discovery/LaunchServiceManager.h"

#include <memory>

namespace daemonary {

// daemonary_triggers: why each launchd job runs, one row per trigger fact of
// its definition (the facts `daemonary-cli show` lists under "Why it runs").
class TriggersTable : public ExtensionTable {
public:
    explicit TriggersTable(std::shared_ptr<const LaunchServiceManager> manager);

    std::string_view name() const override { return "daemonary_triggers"; }
    const std::vector<TableColumn>& columns() const override;
    std::vector<TableRow> generate(const QueryContext& context) const override;

private:
    std::shared_ptr<const LaunchServiceManager> m_manager;
};

} // namespace daemonary
