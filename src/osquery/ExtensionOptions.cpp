#include "ExtensionOptions.h"

#include <charconv>
#include <optional>

namespace daemonary {

namespace {

// osquery passes whole seconds; a day is more than any deployment waits.
constexpr long kMaxSeconds = 24 * 60 * 60;

std::optional<std::chrono::seconds> seconds(const std::string& text) {
    long value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value < 0 ||
        value > kMaxSeconds) {
        return std::nullopt;
    }
    return std::chrono::seconds(value);
}

} // namespace

std::variant<ExtensionOptions, ExtensionOptionsError>
ExtensionOptions::parse(const std::vector<std::string>& arguments) {
    ExtensionOptions options;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        std::string name = arguments[i];
        std::optional<std::string> value;
        if (const auto equals = name.find('=');
            name.starts_with("--") && equals != std::string::npos) {
            value = name.substr(equals + 1);
            name.resize(equals);
        }
        if (name == "--verbose") {
            options.verbose = true;
            continue;
        }
        if (name == "--help" || name == "-h") {
            options.help = true;
            continue;
        }
        const bool takesValue = name == "--socket" || name == "--timeout" || name == "--interval";
        if (!takesValue) {
            options.ignored.push_back(arguments[i]);
            continue;
        }
        if (!value) {
            if (i + 1 == arguments.size()) {
                return ExtensionOptionsError{name + " needs a value"};
            }
            value = arguments[++i];
        }
        if (name == "--socket") {
            if (value->empty()) {
                return ExtensionOptionsError{"--socket needs a path"};
            }
            options.socket = *value;
            continue;
        }
        const auto parsed = seconds(*value);
        if (!parsed) {
            return ExtensionOptionsError{name + " takes whole seconds from 0 to " +
                                         std::to_string(kMaxSeconds) + ", not \"" + *value + "\""};
        }
        (name == "--timeout" ? options.timeout : options.interval) = *parsed;
    }
    if (options.socket.empty() && !options.help) {
        return ExtensionOptionsError{"--socket PATH is required"};
    }
    return options;
}

} // namespace daemonary
