// libFuzzer entry point for the parser of the login-item listing that
// osascript prints.

#include "discovery/LoginItemManager.h"
#include "platform/Log.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The parser logs rejected listings; the fuzzer's output stays readable.
    daemonary::Log::setSink([](std::string_view) {});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto items = daemonary::LoginItemManager::parseLoginItemOutput(text);
    for (const daemonary::LaunchItem& item : items) {
        // Names and paths are pieces of the input, never empty.
        if (item.label.empty() || !item.path || item.path->empty() || item.label.size() > size ||
            item.path->size() > size) {
            std::abort();
        }
    }
    return 0;
}
