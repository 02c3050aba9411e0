#include "model/LaunchItemJson.h"

#include <limits>
#include <string_view>
#include <utility>

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

using BackgroundText = std::optional<std::string> BackgroundItem::*;

constexpr std::pair<const char*, BackgroundText> kBackgroundTexts[] = {
    {"uuid", &BackgroundItem::uuid},
    {"name", &BackgroundItem::name},
    {"developerName", &BackgroundItem::developerName},
    {"teamIdentifier", &BackgroundItem::teamIdentifier},
    {"type", &BackgroundItem::type},
    {"identifier", &BackgroundItem::identifier},
    {"url", &BackgroundItem::url},
    {"executablePath", &BackgroundItem::executablePath},
    {"bundleIdentifier", &BackgroundItem::bundleIdentifier},
    {"parentIdentifier", &BackgroundItem::parentIdentifier},
};

nlohmann::ordered_json backgroundJson(const BackgroundItem& facts) {
    nlohmann::ordered_json object = nlohmann::ordered_json::object();
    if (facts.uid) {
        object["uid"] = *facts.uid;
    }
    for (const auto& [key, member] : kBackgroundTexts) {
        if (const auto& value = facts.*member) {
            object[key] = *value;
        }
        if (std::string_view(key) == "type" && facts.dispositionFlags) {
            object["disposition"] = facts.dispositionWords();
        }
    }
    return object;
}

std::uint64_t flagsIn(std::string_view text) {
    const auto open = text.rfind("(0x");
    if (open == std::string_view::npos) {
        return 0;
    }
    std::uint64_t value = 0;
    for (const char c : text.substr(open + 3)) {
        const int digit = c >= '0' && c <= '9'   ? c - '0'
                          : c >= 'a' && c <= 'f' ? c - 'a' + 10
                          : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                 : -1;
        if (digit < 0 || value >> 60) {
            break;
        }
        value = value * 16 + static_cast<std::uint64_t>(digit);
    }
    return value;
}

std::optional<JsonError> readBackgroundItem(const Json& object,
                                            std::optional<BackgroundItem>& out) {
    const auto found = object.find("backgroundItem");
    if (found == object.end() || found->is_null()) {
        return std::nullopt;
    }
    if (!found->is_object()) {
        return error("\"backgroundItem\" must be an object");
    }
    BackgroundItem facts;
    if (const auto uid = found->find("uid"); uid != found->end() && !uid->is_null()) {
        if (!uid->is_number_integer() ||
            (uid->is_number_unsigned() &&
             uid->get<std::uint64_t>() >
                 static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))) {
            return error("\"uid\" must be an integer");
        }
        facts.uid = uid->get<std::int64_t>();
    }
    for (const auto& [key, member] : kBackgroundTexts) {
        if (auto failure = readOptionalText(*found, key, facts.*member)) {
            return failure;
        }
    }
    if (facts.type) {
        facts.typeFlags = flagsIn(*facts.type);
    }
    if (const auto words = found->find("disposition"); words != found->end()) {
        if (!words->is_array()) {
            return error("\"disposition\" must be an array of strings");
        }
        std::uint64_t flags = 0;
        for (const Json& word : *words) {
            if (!word.is_string()) {
                return error("\"disposition\" must be an array of strings");
            }
            const auto& text = word.get_ref<const std::string&>();
            flags |= text == "enabled"    ? BackgroundItem::kEnabled
                     : text == "allowed"  ? BackgroundItem::kAllowed
                     : text == "hidden"   ? BackgroundItem::kHidden
                     : text == "notified" ? BackgroundItem::kNotified
                                          : 0;
        }
        facts.dispositionFlags = flags;
    }
    out = std::move(facts);
    return std::nullopt;
}

std::optional<JsonError> readRunningProgram(const Json& object,
                                            std::optional<RunningProgram>& out) {
    const auto found = object.find("runs");
    if (found == object.end() || found->is_null()) {
        return std::nullopt;
    }
    if (!found->is_object()) {
        return error("\"runs\" must be an object");
    }
    RunningProgram runs;
    if (auto failure = readRequiredEnum(*found, "kind", &runningKindFromText, runs.kind)) {
        return error("\"runs\": " + failure->message);
    }
    std::optional<std::string> through;
    if (auto failure = readOptionalText(*found, "path", runs.path)) {
        return error("\"runs\": " + failure->message);
    }
    if (auto failure = readOptionalText(*found, "through", through)) {
        return error("\"runs\": " + failure->message);
    }
    if ((runs.kind == RunningKind::inlineCommand) == runs.path.has_value()) {
        return error("\"runs\": a path goes with a script or a program, and only with them");
    }
    runs.through = through.value_or("");
    out = std::move(runs);
    return std::nullopt;
}

std::optional<JsonError> readOptionalBool(const Json& object, const char* key, bool& out) {
    const auto found = object.find(key);
    if (found == object.end() || found->is_null()) {
        return std::nullopt;
    }
    if (!found->is_boolean()) {
        return error(std::string("\"") + key + "\" must be true or false");
    }
    out = found->get<bool>();
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
    if (item.runs) {
        nlohmann::ordered_json runs = {{"kind", std::string(toText(item.runs->kind))}};
        if (item.runs->path) {
            runs["path"] = *item.runs->path;
        }
        runs["through"] = item.runs->through;
        object["runs"] = std::move(runs);
    }
    if (item.bundleIdentifier) {
        object["bundleIdentifier"] = *item.bundleIdentifier;
    }
    if (item.pid) {
        object["pid"] = *item.pid;
        object["pidSource"] = std::string(toText(item.pidSource));
    }
    if (item.index) {
        object["index"] = *item.index;
    }
    object["status"] = std::string(toText(item.status));
    object["scope"] = std::string(toText(item.scope));
    object["type"] = std::string(toText(item.type));
    if (item.user) {
        object["user"] = *item.user;
    }
    if (item.parentApp) {
        object["parentApp"] = *item.parentApp;
    }
    // Absent: allowed; null: unknown (Background Task Management gave no
    // answer); false: not allowed.
    if (item.allowedInBackground != true) {
        object["allowedInBackground"] =
            item.allowedInBackground ? nlohmann::ordered_json(false) : nlohmann::ordered_json();
    }
    if (item.orphaned) {
        object["orphaned"] = true;
    }
    if (item.backgroundItem) {
        object["backgroundItem"] = backgroundJson(*item.backgroundItem);
    }
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
    if (auto failure = readRunningProgram(object, item.runs)) {
        return *failure;
    }
    if (auto failure = readOptionalText(object, "bundleIdentifier", item.bundleIdentifier)) {
        return *failure;
    }
    if (auto failure = readOptionalInt32(object, "pid", item.pid)) {
        return *failure;
    }
    // Records written before the source was kept had launchd's pids only.
    if (object.contains("pidSource")) {
        if (auto failure =
                readRequiredEnum(object, "pidSource", &pidSourceFromText, item.pidSource)) {
            return *failure;
        }
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
    if (auto failure = readOptionalText(object, "user", item.user)) {
        return *failure;
    }
    if (auto failure = readOptionalText(object, "parentApp", item.parentApp)) {
        return *failure;
    }
    if (const auto allowed = object.find("allowedInBackground"); allowed != object.end()) {
        if (allowed->is_null()) {
            item.allowedInBackground = std::nullopt;
        } else if (allowed->is_boolean()) {
            item.allowedInBackground = allowed->get<bool>();
        } else {
            return error("\"allowedInBackground\" must be true, false or null");
        }
    }
    if (auto failure = readOptionalBool(object, "orphaned", item.orphaned)) {
        return *failure;
    }
    if (auto failure = readBackgroundItem(object, item.backgroundItem)) {
        return *failure;
    }
    return item;
}

} // namespace daemonary
