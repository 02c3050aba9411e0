#include "offline/DisabledFile.h"

#include "plist/PropertyList.h"

namespace daemonary {

std::optional<DisabledOverrides> parseDisabledFile(std::string_view bytes) {
    const std::optional<PlistValue> value = parsePropertyList(bytes);
    const PlistDictionary* entries = value ? value->dictionary() : nullptr;
    if (entries == nullptr) {
        return std::nullopt;
    }
    DisabledOverrides overrides;
    for (const auto& [label, state] : *entries) {
        if (const bool* disabled = state.boolean(); disabled && !label.empty()) {
            overrides.services.emplace(label, *disabled);
            overrides.loginItems.emplace(label, *disabled);
        }
    }
    return overrides;
}

} // namespace daemonary
