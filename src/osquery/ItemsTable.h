#pragma once

#include "ExtensionTable.h"
#include "discovery/LaunchServiceManager.h"
#include "insight/SignerChecker.h"

#include <memory>
#include <nlohmann/json.hpp>

namespace daemonary {

class MetadataManager;

// daemonary_items: one row per record of `daemonary-cli list`, every
// category, built from the record's listing JSON so the two never differ.
// Columns that cost a child process or a hash are computed only when the
// query reads them.
class ItemsTable : public ExtensionTable {
public:
    ItemsTable(std::shared_ptr<const LaunchServiceManager> manager, SignerChecker checker,
               const MetadataManager& metadata);

    std::string_view name() const override { return "daemonary_items"; }
    const std::vector<TableColumn>& columns() const override;
    std::vector<TableRow> generate(const QueryContext& context) const override;

    // The row for one record's listing JSON (the columns it has keys for).
    static TableRow row(LaunchScope scope, const nlohmann::ordered_json& record);

private:
    std::shared_ptr<const LaunchServiceManager> m_manager;
    SignerChecker m_checker;
    const MetadataManager& m_metadata;
};

} // namespace daemonary
