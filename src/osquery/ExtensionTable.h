#pragma once

#include "QueryContext.h"
#include "model/LaunchItem.h"

#include <map>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace daemonary {

struct TableColumn {
    std::string name;
    std::string type; // osquery's type names: "TEXT", "INTEGER"
};

// Column name -> value; a column the query does not read may be left out.
using TableRow = std::map<std::string, std::string>;

// One table an extension offers: osquery asks for its columns when the
// extension registers and for its rows whenever a query reads it.
class ExtensionTable {
public:
    virtual ~ExtensionTable() = default;

    virtual std::string_view name() const = 0;
    virtual const std::vector<TableColumn>& columns() const = 0;
    virtual std::vector<TableRow> generate(const QueryContext& context) const = 0;

    // Whether the query reads the named column.
    bool uses(const QueryContext& context, std::string_view column) const;
};

// The categories a query can match: those its `category = '...'` terms
// name, in sidebar order; every category when it has none.
std::vector<LaunchScope> requestedScopes(const QueryContext& context);

// Text as the record's JSON form carries it: bytes that are not UTF-8 become
// U+FFFD, as they do in `daemonary-cli list --json`.
std::string columnText(const std::string& bytes);

} // namespace daemonary
