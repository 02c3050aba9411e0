#include "discovery/DisabledServices.h"

#include "platform/Log.h"
#include "text/TextParsing.h"

namespace daemonary {

namespace {

constexpr std::string_view kServicesBlock = "disabled services";
constexpr std::string_view kLoginItemsBlock = "disabled login items";

// "name = {" gives the name; nothing for any other line.
std::optional<std::string_view> blockName(std::string_view line) {
    if (!line.ends_with('{')) {
        return std::nullopt;
    }
    line.remove_suffix(1);
    line = trimWhitespace(line);
    if (!line.ends_with('=')) {
        return std::nullopt;
    }
    line.remove_suffix(1);
    return trimWhitespace(line);
}

std::optional<bool> disabledValue(std::string_view value) {
    if (value == "disabled" || value == "true") {
        return true;
    }
    if (value == "enabled" || value == "false") {
        return false;
    }
    return std::nullopt;
}

struct Entry {
    std::string_view label;
    bool disabled = false;
};

// `"label" => value`. The label is taken between the first and the last
// quote before the arrow: launchd prints labels without escaping them.
std::optional<Entry> parseEntry(std::string_view line) {
    const std::size_t arrow = line.rfind("=>");
    if (arrow == std::string_view::npos) {
        return std::nullopt;
    }
    const std::string_view quoted = trimWhitespace(line.substr(0, arrow));
    const auto value = disabledValue(trimWhitespace(line.substr(arrow + 2)));
    if (!value || quoted.size() < 3 || quoted.front() != '"' || quoted.back() != '"') {
        return std::nullopt;
    }
    return Entry{quoted.substr(1, quoted.size() - 2), *value};
}

void logSkipped(std::size_t number, std::string_view line) {
    Log::line("launchctl print-disabled: skipped line " + std::to_string(number) + ": " +
              std::string(line));
}

} // namespace

std::optional<DisabledOverrides> parsePrintDisabled(std::string_view text) {
    DisabledOverrides overrides;
    bool sawBlock = false;
    // Inside one of the two lists: where its entries go. Blocks of other
    // names are only counted, so that the lists are found at any depth (as
    // `launchctl print system` nests them) and text between them is passed
    // over: when no list is found at all, the caller reports the output once.
    std::map<std::string, bool, std::less<>>* target = nullptr;

    std::string_view line;
    std::size_t number = 0;
    while (nextLine(text, line)) {
        ++number;
        const std::string_view trimmed = trimWhitespace(line);
        if (trimmed.empty()) {
            continue;
        }
        if (target == nullptr) {
            if (const auto name = blockName(trimmed)) {
                if (*name == kServicesBlock) {
                    target = &overrides.services;
                    sawBlock = true;
                } else if (*name == kLoginItemsBlock) {
                    target = &overrides.loginItems;
                    sawBlock = true;
                }
            }
            continue;
        }
        if (trimmed == "}") {
            target = nullptr;
            continue;
        }
        if (const auto entry = parseEntry(trimmed)) {
            (*target)[std::string(entry->label)] = entry->disabled;
        } else {
            logSkipped(number, trimmed);
        }
    }
    if (!sawBlock) {
        return std::nullopt;
    }
    return overrides;
}

std::optional<LaunchdDomain> disabledStateDomain(const LaunchItem& item) {
    switch (item.type) {
    case ServiceType::launchDaemon:
        return LaunchdDomain::system;
    case ServiceType::launchAgent:
    case ServiceType::launchService:
    case ServiceType::loginItem:
        return LaunchdDomain::user;
    case ServiceType::startupItem:
    case ServiceType::kernelExtension:
    case ServiceType::xpcService:
    case ServiceType::systemExtension:
    case ServiceType::other:
        break;
    }
    return std::nullopt;
}

std::optional<bool> DisabledServices::isDisabled(const LaunchItem& item) const {
    const auto domain = disabledStateDomain(item);
    if (!domain) {
        return std::nullopt;
    }
    const DisabledOverrides* overrides = nullptr;
    if (*domain == LaunchdDomain::system) {
        overrides = system ? &*system : nullptr;
    } else if (item.user) {
        const auto found = users.find(*item.user);
        overrides = found != users.end() ? &found->second : nullptr;
    } else {
        overrides = user ? &*user : nullptr;
    }
    if (overrides == nullptr) {
        return std::nullopt;
    }
    // Login items are listed by the system in a block of their own, by
    // bundle identifier: a display name is anyone's to choose, so it only
    // stands in when the application has no identifier.
    const bool loginItem = item.type == ServiceType::loginItem;
    const auto& entries = loginItem ? overrides->loginItems : overrides->services;
    const std::string& key =
        loginItem && item.bundleIdentifier ? *item.bundleIdentifier : item.label;
    const auto found = entries.find(key);
    return found != entries.end() && found->second;
}

bool DisabledServices::appliesTo(LaunchScope scope) {
    switch (scope) {
    case LaunchScope::system:
    case LaunchScope::user:
    case LaunchScope::macos:
    case LaunchScope::mach:
    case LaunchScope::background:
        return true;
    case LaunchScope::privilegedHelperTools:
    case LaunchScope::kernel:
    case LaunchScope::others:
        break;
    }
    return false;
}

} // namespace daemonary
