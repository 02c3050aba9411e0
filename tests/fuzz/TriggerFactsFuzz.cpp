// libFuzzer entry point for what the detail pane and `show` make of hostile
// files: any definition gives trigger facts and JSON without crashing, and
// any log bytes come out as valid UTF-8 with no control character but tab.

#include "insight/LogTail.h"
#include "insight/TriggerFacts.h"
#include "platform/ToolRunner.h"
#include "plist/PlistJson.h"
#include "plist/PropertyList.h"
#include "text/Text.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

namespace {

void requireShowable(const std::string& text) {
    if (!daemonary::decodeUtf8(text)) {
        std::abort();
    }
    for (const char ch : text) {
        const auto byte = static_cast<unsigned char>(ch);
        if ((byte < 0x20 && byte != '\t') || byte == 0x7F) {
            std::abort();
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    if (const auto value = daemonary::parsePropertyList(bytes)) {
        (void)daemonary::toJson(*value).dump(-1, ' ', false,
                                             nlohmann::ordered_json::error_handler_t::replace);
        if (const auto* definition = value->dictionary()) {
            for (const daemonary::TriggerFact& fact : daemonary::triggerFacts(*definition)) {
                requireShowable(daemonary::displayableText(fact.text));
            }
        }
    }
    for (const bool fromStart : {true, false}) {
        const auto lines = daemonary::lastLines(bytes, fromStart, daemonary::kLogTailLines);
        if (lines.size() > daemonary::kLogTailLines) {
            std::abort();
        }
        for (const std::string& line : lines) {
            requireShowable(line);
        }
    }
    return 0;
}
