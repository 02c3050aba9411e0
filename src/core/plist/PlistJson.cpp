#include "plist/PlistJson.h"

#include <cmath>

namespace daemonary {

nlohmann::ordered_json toJson(const PlistValue& value) {
    struct Convert {
        const PlistValue& whole;
        nlohmann::ordered_json operator()(const PlistDictionary& dictionary) const {
            nlohmann::ordered_json object = nlohmann::ordered_json::object();
            for (const auto& [key, member] : dictionary) {
                object[key] = toJson(member);
            }
            return object;
        }
        nlohmann::ordered_json operator()(const PlistArray& array) const {
            nlohmann::ordered_json list = nlohmann::ordered_json::array();
            for (const PlistValue& element : array) {
                list.push_back(toJson(element));
            }
            return list;
        }
        nlohmann::ordered_json operator()(const std::string& text) const { return text; }
        nlohmann::ordered_json operator()(std::int64_t number) const { return number; }
        nlohmann::ordered_json operator()(double number) const {
            if (std::isfinite(number)) {
                return number;
            }
            return whole.description();
        }
        nlohmann::ordered_json operator()(bool flag) const { return flag; }
        nlohmann::ordered_json operator()(const PlistDate&) const { return whole.description(); }
        nlohmann::ordered_json operator()(const PlistData&) const { return whole.description(); }
    };
    return std::visit(Convert{value}, value.storage());
}

} // namespace daemonary
