// libFuzzer entry point for the `launchctl list` parser, and a differential
// check of the fast containing-label step against its plain definition on the
// table the input produced.

#include "discovery/LabelMatcher.h"
#include "discovery/LaunchServiceManager.h"
#include "discovery/LaunchctlTable.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const daemonary::LaunchctlTable table = daemonary::parseLaunchctlList(text);

    // Every label must be found again where the table keeps it.
    for (std::size_t i = 0; i < table.entries().size(); ++i) {
        if (table.position(table.entries()[i].label) != i) {
            std::abort();
        }
    }

    // Labels to look for: each table label, its halves, and the input's
    // own lines, so that containment, overlaps and misses all occur.
    std::vector<std::string> labels;
    for (const daemonary::LaunchctlEntry& entry : table.entries()) {
        labels.push_back(entry.label);
        labels.push_back(entry.label.substr(entry.label.size() / 2));
        labels.push_back(entry.label.substr(0, entry.label.size() / 2));
    }
    for (std::size_t start = 0; start < text.size() && labels.size() < 200;) {
        const std::size_t end = text.find('\n', start);
        labels.emplace_back(text.substr(start, end == std::string_view::npos ? end : end - start));
        start = end == std::string_view::npos ? text.size() : end + 1;
    }
    const std::vector<std::string_view> views(labels.begin(), labels.end());
    if (daemonary::LabelMatcher(views).firstContaining(table) !=
        daemonary::findContainingLabels(views, table)) {
        std::abort();
    }
    return 0;
}
