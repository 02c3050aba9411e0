#include "ItemsTable.h"

#include "baseline/FingerprintReader.h"
#include "discovery/MetadataManager.h"
#include "insight/Signer.h"
#include "listing/Listing.h"

#include <algorithm>
#include <array>
#include <optional>
#include <set>

namespace daemonary {

namespace {

// How a key of the record's JSON becomes a column.
enum class Conversion {
    text,
    integer,
    flag,        // true -> 1, absent or false -> 0
    absentIsSet, // false -> 0, absent or true -> 1, null -> NULL (unknown)
};

struct ColumnSource {
    std::string_view column;
    std::string_view key;
    Conversion conversion;
};

constexpr std::array kSources{
    ColumnSource{"label", "label", Conversion::text},
    ColumnSource{"type", "type", Conversion::text},
    ColumnSource{"path", "path", Conversion::text},
    ColumnSource{"program", "executablePath", Conversion::text},
    ColumnSource{"pid", "pid", Conversion::integer},
    ColumnSource{"status", "status", Conversion::text},
    ColumnSource{"disabled", "disabled", Conversion::flag},
    ColumnSource{"allowed_in_background", "allowedInBackground", Conversion::absentIsSet},
    ColumnSource{"signer", "signer", Conversion::text},
    ColumnSource{"team", "team", Conversion::text},
    ColumnSource{"system_default", "systemDefault", Conversion::flag},
};

std::optional<std::string> convert(const nlohmann::ordered_json* value, Conversion conversion) {
    switch (conversion) {
    case Conversion::text:
        if (value && value->is_string()) {
            return columnText(value->get_ref<const std::string&>());
        }
        return std::nullopt;
    case Conversion::integer:
        if (value && value->is_number_integer()) {
            return std::to_string(value->get<std::int64_t>());
        }
        return std::nullopt;
    case Conversion::flag:
        return (value && value->is_boolean() && value->get<bool>()) ? "1" : "0";
    case Conversion::absentIsSet:
        if (value && value->is_null()) {
            return std::nullopt;
        }
        return (value && value->is_boolean() && !value->get<bool>()) ? "0" : "1";
    }
    return std::nullopt;
}

} // namespace

ItemsTable::ItemsTable(std::shared_ptr<const LaunchServiceManager> manager, SignerChecker checker,
                       const MetadataManager& metadata)
    : m_manager(std::move(manager)), m_checker(std::move(checker)), m_metadata(metadata) {}

const std::vector<TableColumn>& ItemsTable::columns() const {
    static const std::vector<TableColumn> columns{
        {"category", "TEXT"},       {"label", "TEXT"},       {"type", "TEXT"},
        {"path", "TEXT"},           {"program", "TEXT"},     {"pid", "INTEGER"},
        {"status", "TEXT"},         {"disabled", "INTEGER"}, {"allowed_in_background", "INTEGER"},
        {"signer", "TEXT"},         {"team", "TEXT"},        {"sha256", "TEXT"},
        {"program_sha256", "TEXT"}, {"cdhash", "TEXT"},      {"system_default", "INTEGER"},
    };
    return columns;
}

TableRow ItemsTable::row(LaunchScope scope, const nlohmann::ordered_json& record) {
    TableRow row;
    row.emplace("category", toText(scope));
    for (const ColumnSource& source : kSources) {
        const auto found = record.find(source.key);
        const nlohmann::ordered_json* value = found == record.end() ? nullptr : &*found;
        if (auto converted = convert(value, source.conversion)) {
            row.emplace(source.column, std::move(*converted));
        }
    }
    return row;
}

std::vector<TableRow> ItemsTable::generate(const QueryContext& context) const {
    const bool wantsSigners = uses(context, "signer") || uses(context, "team");
    const bool wantsDefinitionHash = uses(context, "sha256");
    const bool wantsProgramHash = uses(context, "program_sha256");
    const bool wantsCdHash = uses(context, "cdhash");
    const ListingRequest request{requestedScopes(context), uses(context, "disabled"), wantsSigners};
    const Listing listing = Listing::load(*m_manager, request, m_checker);
    const ListFacts facts = listing.facts(uses(context, "system_default") ? &m_metadata : nullptr);

    std::set<std::string, std::less<>> unused;
    for (const TableColumn& column : columns()) {
        if (!uses(context, column.name)) {
            unused.insert(column.name);
        }
    }

    // One reader for the query: a program named by several records is hashed
    // once.
    std::optional<FingerprintReader> reader;
    if (wantsDefinitionHash || wantsProgramHash || wantsCdHash) {
        reader.emplace(m_manager->layout());
    }

    std::vector<TableRow> rows;
    for (const auto& [scope, items] : listing.categories) {
        for (const LaunchItem& item : items) {
            TableRow next = row(scope, listRecordJson(item, facts));
            if (reader) {
                Fingerprint fingerprint = reader->read(item);
                if (wantsDefinitionHash && fingerprint.sha256) {
                    next.emplace("sha256", std::move(*fingerprint.sha256));
                }
                // A program over the hashing limit is stamped, and a stamp is
                // no hash: the column stays NULL for it.
                if (wantsProgramHash && fingerprint.programSha256) {
                    next.emplace("program_sha256", std::move(*fingerprint.programSha256));
                }
                // The program's, as a snapshot records it: read from its
                // signature without codesign; NULL for unsigned code.
                if (wantsCdHash && !fingerprint.cdHashes.empty()) {
                    next.emplace("cdhash", cdHashText(fingerprint.cdHashes));
                }
            }
            // Columns the query does not read are left out: osquery never
            // looks at them, and those not computed must not look computed.
            std::erase_if(next, [&](const auto& cell) { return unused.count(cell.first) > 0; });
            rows.push_back(std::move(next));
        }
    }
    return rows;
}

} // namespace daemonary
