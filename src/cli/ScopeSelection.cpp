#include "ScopeSelection.h"

#include "text/TextParsing.h"

#include <string_view>

namespace daemonary {

namespace {
constexpr std::string_view kOption = "--scope";
constexpr std::string_view kOptionWithValue = "--scope=";
} // namespace

bool ScopeSelection::isScopeOption(const std::string& argument) {
    return argument == kOption || argument.starts_with(kOptionWithValue);
}

std::optional<ScopeSelection::Error> ScopeSelection::take(const std::vector<std::string>& arguments,
                                                          std::size_t& i) {
    const std::string& argument = arguments[i];
    std::string name;
    if (argument == kOption) {
        if (i + 1 >= arguments.size()) {
            return Error{"--scope needs a category name; valid names: " + validNames()};
        }
        name = arguments[++i];
    } else {
        name = argument.substr(kOptionWithValue.size());
    }
    m_any = true;
    // Typed names need not match the sidebar's capitals ("background",
    // "MACOS"); files and snapshots keep the exact spelling.
    const std::string typed = asciiLowercased(name);
    if (typed == "all") {
        m_requested.fill(true);
        return std::nullopt;
    }
    for (const LaunchScope scope : allScopes()) {
        if (asciiLowercased(toText(scope)) == typed) {
            m_requested[static_cast<std::size_t>(scope)] = true;
            return std::nullopt;
        }
    }
    return Error{"unknown scope \"" + name + "\"; valid names: " + validNames()};
}

std::vector<LaunchScope> ScopeSelection::scopes() const {
    std::vector<LaunchScope> scopes;
    for (const LaunchScope scope : allScopes()) {
        if (!m_any || m_requested[static_cast<std::size_t>(scope)]) {
            scopes.push_back(scope);
        }
    }
    return scopes;
}

std::string ScopeSelection::validNames() {
    std::string names;
    for (const LaunchScope scope : allScopes()) {
        names.append(toText(scope));
        names.append(", ");
    }
    names.append("all");
    return names;
}

} // namespace daemonary
