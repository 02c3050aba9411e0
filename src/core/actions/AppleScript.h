#pragma once

#include <string>
#include <string_view>

namespace daemonary {

// The text as an AppleScript string literal, quotes included. Backslash and
// double quote are escaped, so any text (a path with quotes in it, say) stays
// one literal and can never end it early and run script of its own.
std::string appleScriptStringLiteral(std::string_view text);

// The script that deletes the login items whose path is exactly this one.
std::string deleteLoginItemScript(std::string_view path);

} // namespace daemonary
