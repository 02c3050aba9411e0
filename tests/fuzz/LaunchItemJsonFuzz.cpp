// libFuzzer entry point for the JSON reader of service records: any document
// is read or rejected with a message, and a record that is read survives a
// round trip through its JSON form unchanged.

#include "model/LaunchItemJson.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <variant>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const nlohmann::json document = nlohmann::json::parse(data, data + size, nullptr, false);
    if (document.is_discarded()) {
        return 0;
    }
    const auto read = daemonary::launchItemFromJson(document);
    if (const auto* failure = std::get_if<daemonary::JsonError>(&read)) {
        if (failure->message.empty()) {
            std::abort();
        }
        return 0;
    }
    const daemonary::LaunchItem& item = std::get<daemonary::LaunchItem>(read);
    const nlohmann::json again = nlohmann::json::parse(daemonary::toJson(item).dump());
    const auto reread = daemonary::launchItemFromJson(again);
    const auto* same = std::get_if<daemonary::LaunchItem>(&reread);
    if (!same || !(*same == item)) {
        std::abort();
    }
    return 0;
}
