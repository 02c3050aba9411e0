// libFuzzer entry point for the `kmutil showloaded --list-only` parser.

#include "discovery/KernelServiceManager.h"
#include "text/TextParsing.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const daemonary::LoadedExtensionMap loaded =
        daemonary::KernelServiceManager::parseLoadedExtensions(text);
    // Identifiers are whole columns: never empty, never holding a blank.
    for (const auto& [identifier, index] : loaded) {
        if (identifier.empty() || identifier.find_first_of(" \t") != std::string::npos) {
            std::abort();
        }
    }
    // An input of one line gives that line's entry and nothing else.
    const std::vector<std::string_view> lines = daemonary::splitLines(text);
    if (lines.size() == 1) {
        const auto single = daemonary::KernelServiceManager::parseLoadedExtensionLine(lines[0]);
        if (single.has_value() != (loaded.size() == 1) ||
            (single && loaded.at(single->first) != single->second)) {
            std::abort();
        }
    }
    return 0;
}
