// libFuzzer entry point for the `sfltool dumpbtm` parser and URL resolution.

#include "discovery/BackgroundTaskTable.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

namespace {

// A resolved path is absolute and never climbs.
bool climbsOrIsRelative(const std::optional<std::string>& path) {
    return path && (path->empty() || path->front() != '/' ||
                    path->find("/../") != std::string::npos || path->ends_with("/.."));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const daemonary::BackgroundTaskTable table(daemonary::parseDumpBtm(text), 501);
    for (const daemonary::BackgroundItem& record : table.records()) {
        if (climbsOrIsRelative(record.url) || climbsOrIsRelative(record.executablePath)) {
            std::abort();
        }
        // Only this user's, the system's and unattributed records speak for it.
        if (record.uid && *record.uid >= 0 && *record.uid != 501) {
            std::abort();
        }
        (void)table.parentOf(record);
        (void)record.dispositionWords();
        if (record.identifier) {
            (void)daemonary::plainIdentifier(*record.identifier);
        }
    }
    return 0;
}
