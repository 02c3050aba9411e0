// libFuzzer entry point for the `sfltool dumpbtm` parser and URL resolution.

#include "discovery/BackgroundTaskTable.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const daemonary::BackgroundTaskTable table(daemonary::parseDumpBtm(text), 501);
    for (const daemonary::BackgroundItem& record : table.records()) {
        // A resolved URL is absolute and never climbs.
        if (record.url &&
            (record.url->empty() || record.url->front() != '/' ||
             record.url->find("/../") != std::string::npos || record.url->ends_with("/.."))) {
            std::abort();
        }
        (void)table.parentOf(record);
        (void)record.dispositionWords();
    }
    return 0;
}
