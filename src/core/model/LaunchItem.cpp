#include "model/LaunchItem.h"

#include <utility>

namespace daemonary {

namespace {

// One table per enumeration keeps the text value and the reverse lookup from
// drifting apart.
constexpr std::pair<ServiceStatus, std::string_view> kStatusTexts[] = {
    {ServiceStatus::active, "Active"},
    {ServiceStatus::inactive, "Inactive"},
    {ServiceStatus::onDemand, "On Demand"},
    {ServiceStatus::unknown, "Unknown"},
};

constexpr std::pair<PidSource, std::string_view> kPidSourceTexts[] = {
    {PidSource::launchd, "launchd"},
    {PidSource::processName, "processName"},
};

constexpr std::pair<ServiceType, std::string_view> kTypeTexts[] = {
    {ServiceType::launchService, "Launch Service"},
    {ServiceType::launchAgent, "Launch Agent"},
    {ServiceType::launchDaemon, "Launch Daemon"},
    {ServiceType::startupItem, "Startup Item"},
    {ServiceType::kernelExtension, "Kernel Extension"},
    {ServiceType::loginItem, "Login Item"},
    {ServiceType::xpcService, "XPC Service"},
    {ServiceType::systemExtension, "System Extension"},
    {ServiceType::other, "Other"},
};

struct ScopeInfo {
    LaunchScope scope;
    std::string_view text;
    std::string_view symbol;
};

constexpr ScopeInfo kScopes[] = {
    {LaunchScope::privilegedHelperTools, "Privileged",
     "externaldrive.trianglebadge.exclamationmark"},
    {LaunchScope::system, "System", "gearshape.2"},
    {LaunchScope::user, "User", "person.circle"},
    {LaunchScope::macos, "macOS", "apple.logo"},
    {LaunchScope::mach, "Mach", "cpu"},
    {LaunchScope::kernel, "Kernel", "checkmark.seal"},
    {LaunchScope::others, "Others", "ellipsis.circle"},
    {LaunchScope::background, "Background", "clock.arrow.circlepath"},
};

template <typename Enum, std::size_t N>
std::string_view textIn(const std::pair<Enum, std::string_view> (&table)[N], Enum value) {
    for (const auto& [candidate, text] : table) {
        if (candidate == value) {
            return text;
        }
    }
    return {};
}

template <typename Enum, std::size_t N>
std::optional<Enum> valueIn(const std::pair<Enum, std::string_view> (&table)[N],
                            std::string_view text) {
    for (const auto& [candidate, candidateText] : table) {
        if (candidateText == text) {
            return candidate;
        }
    }
    return std::nullopt;
}

const ScopeInfo* scopeInfo(LaunchScope scope) {
    for (const auto& info : kScopes) {
        if (info.scope == scope) {
            return &info;
        }
    }
    return nullptr;
}

void combineHash(std::size_t& seed, std::size_t value) {
    seed ^= value + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2);
}

template <typename T> std::size_t optionalHash(const std::optional<T>& value) {
    // Absent and present-with-default must hash apart.
    return value ? std::hash<T>{}(*value) * 31 + 1 : 0;
}

} // namespace

std::string_view toText(ServiceStatus status) {
    return textIn(kStatusTexts, status);
}

std::string_view toText(ServiceType type) {
    return textIn(kTypeTexts, type);
}

std::string_view toText(LaunchScope scope) {
    const ScopeInfo* info = scopeInfo(scope);
    return info ? info->text : std::string_view{};
}

std::string_view toText(PidSource source) {
    return textIn(kPidSourceTexts, source);
}

std::optional<PidSource> pidSourceFromText(std::string_view text) {
    return valueIn(kPidSourceTexts, text);
}

std::optional<ServiceStatus> serviceStatusFromText(std::string_view text) {
    return valueIn(kStatusTexts, text);
}

std::optional<ServiceType> serviceTypeFromText(std::string_view text) {
    return valueIn(kTypeTexts, text);
}

std::optional<LaunchScope> launchScopeFromText(std::string_view text) {
    for (const auto& info : kScopes) {
        if (info.text == text) {
            return info.scope;
        }
    }
    return std::nullopt;
}

const std::array<LaunchScope, 8>& allScopes() {
    static const std::array<LaunchScope, 8> scopes = {
        LaunchScope::privilegedHelperTools,
        LaunchScope::system,
        LaunchScope::user,
        LaunchScope::macos,
        LaunchScope::mach,
        LaunchScope::kernel,
        LaunchScope::others,
        LaunchScope::background,
    };
    return scopes;
}

std::string_view symbolName(LaunchScope scope) {
    const ScopeInfo* info = scopeInfo(scope);
    return info ? info->symbol : std::string_view{};
}

std::vector<std::string> BackgroundItem::dispositionWords() const {
    if (!dispositionFlags) {
        return {};
    }
    const std::uint64_t flags = *dispositionFlags;
    std::vector<std::string> words = {
        (flags & kEnabled) ? "enabled" : "disabled",
        (flags & kAllowed) ? "allowed" : "disallowed",
        (flags & kHidden) ? "hidden" : "visible",
    };
    if (flags & kNotified) {
        words.emplace_back("notified");
    }
    return words;
}

std::string LaunchItem::id() const {
    std::string result = label;
    result += '-';
    result += toText(scope);
    result += '-';
    if (path) {
        result += *path;
    }
    return result;
}

std::int32_t LaunchItem::pidSortValue() const {
    if (index) {
        return *index;
    }
    if (pid) {
        return *pid;
    }
    return -1;
}

std::string LaunchItem::pidText() const {
    if (!pid) {
        return {};
    }
    return std::to_string(*pid) + (pidIsGuess() ? "?" : "");
}

std::string LaunchItem::pathSortValue() const {
    return path.value_or(std::string{});
}

} // namespace daemonary

std::size_t
std::hash<daemonary::LaunchItem>::operator()(const daemonary::LaunchItem& item) const noexcept {
    std::size_t seed = std::hash<std::string>{}(item.label);
    daemonary::combineHash(seed, daemonary::optionalHash(item.path));
    daemonary::combineHash(seed, daemonary::optionalHash(item.executablePath));
    daemonary::combineHash(seed, item.runs ? daemonary::optionalHash(item.runs->path) : 0);
    daemonary::combineHash(seed, daemonary::optionalHash(item.bundleIdentifier));
    daemonary::combineHash(seed, daemonary::optionalHash(item.pid));
    daemonary::combineHash(seed, static_cast<std::size_t>(item.pidSource));
    daemonary::combineHash(seed, daemonary::optionalHash(item.index));
    daemonary::combineHash(seed, static_cast<std::size_t>(item.status));
    daemonary::combineHash(seed, static_cast<std::size_t>(item.scope));
    daemonary::combineHash(seed, static_cast<std::size_t>(item.type));
    daemonary::combineHash(seed, daemonary::optionalHash(item.parentApp));
    daemonary::combineHash(seed, daemonary::optionalHash(item.allowedInBackground));
    daemonary::combineHash(seed, item.orphaned ? 1 : 2);
    daemonary::combineHash(seed, daemonary::optionalHash(item.user));
    // The facts follow the label and path; equal records still hash equal.
    daemonary::combineHash(seed, item.backgroundItem ? 1 : 2);
    return seed;
}
