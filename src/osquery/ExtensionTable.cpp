#include "ExtensionTable.h"

#include "text/Text.h"

#include <nlohmann/json.hpp>

namespace daemonary {

bool ExtensionTable::uses(const QueryContext& context, std::string_view column) const {
    const auto& all = columns();
    for (std::size_t i = 0; i < all.size(); ++i) {
        if (all[i].name == column) {
            return context.uses(column, i);
        }
    }
    return false;
}

std::vector<LaunchScope> requestedScopes(const QueryContext& context) {
    const auto wanted = context.equalTo("category");
    std::vector<LaunchScope> scopes;
    for (const LaunchScope scope : allScopes()) {
        if (!wanted || wanted->count(toText(scope)) > 0) {
            scopes.push_back(scope);
        }
    }
    return scopes;
}

std::string columnText(const std::string& bytes) {
    if (auto valid = decodeUtf8(bytes)) {
        return std::move(*valid);
    }
    // The library's own replacement, so the column and the listing agree.
    const std::string quoted =
        nlohmann::json(bytes).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    return nlohmann::json::parse(quoted).get<std::string>();
}

} // namespace daemonary
