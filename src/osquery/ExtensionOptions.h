#pragma once

#include <chrono>
#include <string>
#include <variant>
#include <vector>

namespace daemonary {

struct ExtensionOptionsError {
    std::string message;
};

// The command line osquery starts an extension with:
// --socket PATH [--timeout SECONDS] [--interval SECONDS] [--verbose].
struct ExtensionOptions {
    std::string socket;
    std::chrono::seconds timeout{3};
    std::chrono::seconds interval{3};
    bool verbose = false;
    bool help = false;
    // Flags a newer osquery may pass; each is logged once and ignored.
    std::vector<std::string> ignored;

    // Both "--name VALUE" and "--name=VALUE".
    static std::variant<ExtensionOptions, ExtensionOptionsError>
    parse(const std::vector<std::string>& arguments);
};

inline constexpr const char* kExtensionUsage =
    "Usage: daemonary.ext --socket PATH [--timeout SECONDS] [--interval SECONDS] [--verbose]\n"
    "Serves the daemonary_items and daemonary_triggers tables to the osquery process whose\n"
    "extension socket is PATH. osquery starts it with these flags (--extensions_autoload).\n";

} // namespace daemonary
