#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace daemonary {

// One term of a query's WHERE clause on one column, as osquery passes it on.
struct QueryConstraint {
    int op = 0; // osquery's operator code; kEquals for "="
    std::string expression;

    static constexpr int kEquals = 2;
    bool operator==(const QueryConstraint&) const = default;
};

struct QueryContextError {
    std::string message;
};

// What osquery tells a table about the query it is answering: the
// constraints per column, and which columns the query reads at all.
struct QueryContext {
    // A context larger than this is not one osquery writes for these tables.
    static constexpr std::size_t kMaxBytes = 1024 * 1024;
    static constexpr int kMaxNesting = 8;

    std::map<std::string, std::vector<QueryConstraint>, std::less<>> constraints;
    // Nothing when osquery did not say: every column is then read.
    std::optional<std::set<std::string, std::less<>>> usedColumns;
    // osquery's bit per column, in the table's column order, for cores that
    // send only that.
    std::optional<std::uint64_t> usedColumnsBitset;

    // Whether the query reads the column; `index` is its place in the table.
    bool uses(std::string_view column, std::size_t index) const;

    // The values a column must equal: nothing when no "=" names it, and an
    // empty set when two of them disagree.
    std::optional<std::set<std::string, std::less<>>> equalTo(std::string_view column) const;

    // The "context" of a generate request. Anything that is not the shape
    // osquery writes is an error, never a guess.
    static std::variant<QueryContext, QueryContextError> parse(std::string_view text);
};

} // namespace daemonary
