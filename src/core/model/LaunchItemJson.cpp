#include "model/LaunchItemJson.h"

#include <limits>

namespace daemonary {

namespace {

using Json = nlohmann::json;

JsonError error(std::string message) {
    return JsonError{std::move(message)};
}

// Reads an optional text field; absent (or null) is fine, any other type is not.
std::optional<JsonError> readOptionalText(const Json& object, const char* key,
                                          std::optional<std::string>& out) {
    const auto found = object.find(key);
    if (found == object.end() || found->is_null()) {
        return std::nullopt;
    }
    if (!found->is_string()) {
        return error(std::string("\"") + key + "\" must be a string");
    }
    out = found->get<std::string>();
    return std::nullopt;
}

std::optional<JsonError> readOptionalInt32(const Json& object, const char* key,
                                           std::optional<std::int32_t>& out) {
    const auto found = object.find(key);
    if (found == object.end() || found->is_null()) {
        return std::nullopt;
    }
    constexpr auto low = std::numeric_limits<std::int32_t>::min();
    constexpr auto high = std::numeric_limits<std::int32_t>::max();
    if (found->is_number_unsigned()) {
        const auto value = found->get<std::uint64_t>();
        if (value > static_cast<std::uint64_t>(high)) {
            return error(std::string("\"") + key + "\" is out of range");
        }
        out = static_cast<std::int32_t>(value);
        return std::nullopt;
    }
    if (found->is_number_integer()) {
        const auto value = found->get<std::int64_t>();
        if (value < low || value > high) {
            return error(std::string("\"") + key + "\" is out of range");
        }
        out = static_cast<std::int32_t>(value);
        return std::nullopt;
    }
    return error(std::string("\"") + key + "\" must be an integer");
}

template <typename Enum>
std::optional<JsonError> readRequiredEnum(const Json& object, const char* key,
                                          std::optional<Enum> (*fromText)(std::string_view),
                                          Enum& out) {
    const auto found = object.find(key);
    if (found == object.end()) {
        return error(std::string("missing \"") + key + "\"");
    }
    if (!found->is_string()) {
        return error(std::string("\"") + key + "\" must be a string");
    }
    const auto& text = found->get_ref<const std::string&>();
    const auto value = fromText(text);
    if (!value) {
        return error(std::string("unknown ") + key + " \"" + text + "\"");
    }
    out = *value;
    return std::nullopt;
}

} // namespace

nlohmann::ordered_json toJson(const LaunchItem& item) {
    nlohmann::ordered_json object = nlohmann::ordered_json::object();
    object["label"] = item.label;
    if (item.path) {
        object["path"] = *item.path;
    }
    if (item.executablePath) {
        object["executablePath"] = *item.executablePath;
    }
    if (item.bundleIdentifier) {
        object["bundleIdentifier"] = *item.bundleIdentifier;
    }
    if (item.pid) {
        object["pid"] = *item.pid;
    }
    if (item.index) {
        object["index"] = *item.index;
    }
    object["status"] = std::string(toText(item.status));
    object["scope"] = std::string(toText(item.scope));
    object["type"] = std::string(toText(item.type));
    return object;
}

std::variant<LaunchItem, JsonError> launchItemFromJson(const nlohmann::json& object) {
    if (!object.is_object()) {
        return error("a service record must be a JSON object");
    }
    LaunchItem item;
    const auto label = object.find("label");
    if (label == object.end()) {
        return error("missing \"label\"");
    }
    if (!label->is_string()) {
        return error("\"label\" must be a string");
    }
    item.label = label->get<std::string>();

    if (auto failure = readOptionalText(object, "path", item.path)) {
        return *failure;
    }
    if (auto failure = readOptionalText(object, "executablePath", item.executablePath)) {
        return *failure;
    }
    if (auto failure = readOptionalText(object, "bundleIdentifier", item.bundleIdentifier)) {
        return *failure;
    }
    if (auto failure = readOptionalInt32(object, "pid", item.pid)) {
        return *failure;
    }
    if (auto failure = readOptionalInt32(object, "index", item.index)) {
        return *failure;
    }
    if (auto failure = readRequiredEnum(object, "status", &serviceStatusFromText, item.status)) {
        return *failure;
    }
    if (auto failure = readRequiredEnum(object, "scope", &launchScopeFromText, item.scope)) {
        return *failure;
    }
    if (auto failure = readRequiredEnum(object, "type", &serviceTypeFromText, item.type)) {
        return *failure;
    }
    return item;
}

} // namespace daemonary
