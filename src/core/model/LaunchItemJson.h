#pragma once

#include "model/LaunchItem.h"

#include <nlohmann/json.hpp>
#include <string>
#include <variant>

namespace daemonary {

struct JsonError {
    std::string message;
};

// Keys in field order; absent optionals omitted.
nlohmann::ordered_json toJson(const LaunchItem& item);

// "label", "status", "scope" and "type" are required; an enumeration text that
// matches no case is an error, never a default.
std::variant<LaunchItem, JsonError> launchItemFromJson(const nlohmann::json& object);

} // namespace daemonary
