#pragma once

#include "HostContext.h"

#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace daemonary::hostsim {

// The only scripts the simulated System Events understands.
struct LaunchSystemEvents {};
struct ListLoginItems {};
struct DeleteLoginItems {
    std::string path; // the AppleScript string literal, unescaped
};
struct ScriptError {
    std::string message; // osascript's "<from>:<to>: syntax error: ..." form
};
using LoginItemScript =
    std::variant<LaunchSystemEvents, ListLoginItems, DeleteLoginItems, ScriptError>;

// Recognises one of the three login-item scripts. Anything else, including a
// delete whose string literal is followed by more than the closing
// parenthesis, is a syntax error and is never run.
LoginItemScript parseLoginItemScript(std::string_view script);

// osascript -e SCRIPT [-e SCRIPT]...
int runOsascript(const HostContext& host, const std::vector<std::string>& arguments);

} // namespace daemonary::hostsim
