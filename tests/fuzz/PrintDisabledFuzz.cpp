// libFuzzer entry point for the `launchctl print-disabled` parser: whatever it
// reads must read back the same once written in the tool's own format.

#include "discovery/DisabledServices.h"
#include "platform/Log.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

void writeBlock(std::string& text, std::string_view name,
                const std::map<std::string, bool, std::less<>>& entries) {
    text.append(name).append(" = {\n");
    for (const auto& [label, disabled] : entries) {
        text.append("\t\"").append(label).append("\" => ");
        text.append(disabled ? "disabled\n" : "enabled\n");
    }
    text.append("}\n");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    daemonary::Log::setSink([](std::string_view) {});
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto parsed = daemonary::parsePrintDisabled(text);
    if (!parsed) {
        return 0;
    }
    for (const auto* entries : {&parsed->services, &parsed->loginItems}) {
        for (const auto& [label, disabled] : *entries) {
            if (label.empty()) {
                std::abort();
            }
        }
    }
    std::string written;
    writeBlock(written, "disabled services", parsed->services);
    writeBlock(written, "disabled login items", parsed->loginItems);
    if (daemonary::parsePrintDisabled(written) != parsed) {
        std::abort();
    }
    return 0;
}
