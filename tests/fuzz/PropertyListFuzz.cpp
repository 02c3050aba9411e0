// libFuzzer entry point for the property-list reader: any input must parse or
// be rejected, never crash, hang or leak.

#include "plist/PropertyList.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    if (const auto value = daemonary::parsePropertyList(bytes)) {
        // Exercise the description of every value kind the input produced.
        (void)value->description();
        if (const auto* dictionary = value->dictionary()) {
            for (const auto& [key, member] : *dictionary) {
                (void)member.description();
            }
        } else if (const auto* array = value->array()) {
            for (const auto& member : *array) {
                (void)member.description();
            }
        }
    }
    return 0;
}
