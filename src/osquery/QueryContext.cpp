#include "QueryContext.h"

#include <nlohmann/json.hpp>

namespace daemonary {

namespace {

using Json = nlohmann::json;

std::optional<QueryContextError> readConstraint(const Json& entry, QueryContext& context) {
    if (!entry.is_object()) {
        return QueryContextError{"a constraint is not an object"};
    }
    const auto name = entry.find("name");
    if (name == entry.end() || !name->is_string()) {
        return QueryContextError{"a constraint has no column name"};
    }
    auto& terms = context.constraints[name->get<std::string>()];
    const auto list = entry.find("list");
    // Older cores write an empty list as an empty string.
    if (list == entry.end() || (list->is_string() && list->get_ref<const std::string&>().empty())) {
        return std::nullopt;
    }
    if (!list->is_array()) {
        return QueryContextError{"the constraint list of \"" + name->get<std::string>() +
                                 "\" is not an array"};
    }
    for (const Json& term : *list) {
        if (!term.is_object()) {
            return QueryContextError{"a constraint term is not an object"};
        }
        const auto op = term.find("op");
        const auto expr = term.find("expr");
        if (op == term.end() || expr == term.end() || !expr->is_string()) {
            return QueryContextError{"a constraint term needs \"op\" and a text \"expr\""};
        }
        QueryConstraint constraint{0, expr->get<std::string>()};
        if (op->is_number_unsigned() && op->get<std::uint64_t>() <= 255) {
            constraint.op = static_cast<int>(op->get<std::uint64_t>());
        } else if (op->is_string()) {
            // Cores before osquery 3 wrote numbers as text.
            const std::string& text = op->get_ref<const std::string&>();
            if (text.empty() || text.size() > 3 ||
                text.find_first_not_of("0123456789") != std::string::npos) {
                return QueryContextError{"a constraint operator is not a number"};
            }
            constraint.op = std::stoi(text);
        } else {
            return QueryContextError{"a constraint operator is not a number"};
        }
        terms.push_back(std::move(constraint));
    }
    return std::nullopt;
}

} // namespace

bool QueryContext::uses(std::string_view column, std::size_t index) const {
    if (usedColumns) {
        return usedColumns->find(column) != usedColumns->end();
    }
    if (usedColumnsBitset) {
        // The last bit stands for every column past the 63rd.
        return index >= 63 ? ((*usedColumnsBitset >> 63) & 1U) != 0
                           : ((*usedColumnsBitset >> index) & 1U) != 0;
    }
    return true;
}

std::optional<std::set<std::string, std::less<>>>
QueryContext::equalTo(std::string_view column) const {
    const auto found = constraints.find(column);
    if (found == constraints.end()) {
        return std::nullopt;
    }
    std::optional<std::set<std::string, std::less<>>> values;
    for (const QueryConstraint& term : found->second) {
        if (term.op != QueryConstraint::kEquals) {
            continue;
        }
        if (!values) {
            values.emplace();
            values->insert(term.expression);
        } else if (values->count(term.expression) == 0) {
            values->clear(); // a = 'x' AND a = 'y'
        }
    }
    return values;
}

std::variant<QueryContext, QueryContextError> QueryContext::parse(std::string_view text) {
    if (text.size() > kMaxBytes) {
        return QueryContextError{"the query context is larger than " + std::to_string(kMaxBytes) +
                                 " bytes"};
    }
    bool tooDeep = false;
    // Values nested past the limit are dropped as they are read, so a hostile
    // context never becomes a deep tree.
    const Json::parser_callback_t limitDepth = [&tooDeep](int depth, Json::parse_event_t, Json&) {
        if (depth > kMaxNesting) {
            tooDeep = true;
            return false;
        }
        return true;
    };
    const Json document = Json::parse(text, limitDepth, false);
    if (document.is_discarded()) {
        return QueryContextError{"the query context is not JSON"};
    }
    if (tooDeep) {
        return QueryContextError{"the query context nests deeper than " +
                                 std::to_string(kMaxNesting) + " levels"};
    }
    if (!document.is_object()) {
        return QueryContextError{"the query context is not a JSON object"};
    }

    QueryContext context;
    if (const auto constraints = document.find("constraints"); constraints != document.end()) {
        if (!constraints->is_array()) {
            return QueryContextError{"\"constraints\" is not an array"};
        }
        for (const Json& entry : *constraints) {
            if (auto error = readConstraint(entry, context)) {
                return *error;
            }
        }
    }
    if (const auto used = document.find("colsUsed"); used != document.end()) {
        if (!used->is_array()) {
            return QueryContextError{"\"colsUsed\" is not an array"};
        }
        context.usedColumns.emplace();
        for (const Json& column : *used) {
            if (!column.is_string()) {
                return QueryContextError{"a used column is not a name"};
            }
            context.usedColumns->insert(column.get<std::string>());
        }
    }
    if (const auto bits = document.find("colsUsedBitset"); bits != document.end()) {
        if (!bits->is_number_unsigned()) {
            return QueryContextError{"\"colsUsedBitset\" is not a number"};
        }
        context.usedColumnsBitset = bits->get<std::uint64_t>();
    }
    return context;
}

} // namespace daemonary
