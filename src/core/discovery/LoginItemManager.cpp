#include "discovery/LoginItemManager.h"

#include "platform/FileSystem.h"
#include "platform/Log.h"
#include "platform/ToolRunner.h"
#include "plist/PropertyList.h"
#include "text/Text.h"
#include "text/TextParsing.h"

#include <string>

namespace daemonary {

namespace {

// An Info.plist is a few kilobytes; a larger one is not read for a name.
constexpr std::size_t kMaxInfoPlistBytes = 1024 * 1024;

} // namespace

std::vector<LaunchItem> LoginItemManager::fetchLoginItems(const HostLayout& layout) {
    Log::info("Fetching login items...");
    const std::string osascript = layout.osascript();

    // Starting System Events first keeps the listing from timing out on a
    // cold start. Its standard output is captured and dropped so that nothing
    // the tool prints can end up in the caller's own output. An osascript
    // that does not answer here would not answer the listing either.
    const ToolResult warmUp =
        runTool(osascript, {"-e", std::string(kWarmUpScript)}, layout.toolOptions(true, false));
    if (warmUp.timedOut) {
        Log::line(timedOutMessage("osascript", layout.toolTimeout()));
        return {};
    }

    const ToolResult listing =
        runTool(osascript, {"-e", std::string(kListingScript)}, layout.toolOptions(true, true));
    if (listing.timedOut) {
        Log::line(timedOutMessage("osascript", layout.toolTimeout()));
        return {};
    }
    if (listing.launchError) {
        Log::line("Failed to run osascript for login items: " + listing.launchError->description);
        return {};
    }
    if (listing.exitStatus != 0) {
        const auto message = decodeUtf8(listing.standardError);
        Log::line("LoginItemManager error (status " + std::to_string(listing.exitStatus) +
                  "): " + message.value_or("Unknown error"));
        return {};
    }
    const auto output = decodeUtf8(listing.standardOutput);
    if (!output) {
        Log::line("LoginItemManager: No output from osascript");
        return {};
    }
    std::vector<LaunchItem> items = parseLoginItemOutput(*output);
    for (LaunchItem& item : items) {
        if (item.path && item.path->starts_with('/')) {
            const auto infoPlist = layout.insideHost(*item.path + "/Contents/Info.plist");
            if (auto bytes = infoPlist ? readFile(*infoPlist, kMaxInfoPlistBytes) : std::nullopt) {
                item.bundleIdentifier = bundleIdentifier(*bytes);
            }
        }
    }
    Log::info("Found " + std::to_string(items.size()) + " login items");
    return items;
}

std::optional<std::string> LoginItemManager::bundleIdentifier(std::string_view infoPlist) {
    const auto value = parsePropertyList(infoPlist);
    if (!value || !value->dictionary()) {
        return std::nullopt;
    }
    const auto found = value->dictionary()->find("CFBundleIdentifier");
    if (found == value->dictionary()->end() || !found->second.string() ||
        found->second.string()->empty()) {
        return std::nullopt;
    }
    return *found->second.string();
}

std::vector<LaunchItem> LoginItemManager::parseLoginItemOutput(std::string_view text) {
    constexpr std::string_view kSeparator = ", ";
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    for (;;) {
        const std::size_t found = text.find(kSeparator, start);
        if (found == std::string_view::npos) {
            parts.push_back(text.substr(start));
            break;
        }
        parts.push_back(text.substr(start, found - start));
        start = found + kSeparator.size();
    }

    if (parts.size() % 2 != 0) {
        Log::line("LoginItemManager: Unexpected output format count " +
                  std::to_string(parts.size()));
        return {};
    }

    const std::size_t half = parts.size() / 2;
    std::vector<LaunchItem> items;
    items.reserve(half);
    for (std::size_t i = 0; i < half; ++i) {
        const std::string_view name = trimWhitespaceAndNewlines(parts[i]);
        const std::string_view path = trimWhitespaceAndNewlines(parts[i + half]);
        if (name.empty() || path.empty()) {
            continue;
        }
        LaunchItem item;
        item.label = std::string(name);
        item.path = std::string(path);
        item.status = ServiceStatus::unknown;
        item.scope = LaunchScope::user;
        item.type = ServiceType::loginItem;
        items.push_back(std::move(item));
    }
    return items;
}

} // namespace daemonary
