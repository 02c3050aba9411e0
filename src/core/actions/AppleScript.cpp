#include "actions/AppleScript.h"

namespace daemonary {

std::string appleScriptStringLiteral(std::string_view text) {
    std::string literal;
    literal.reserve(text.size() + 2);
    literal.push_back('"');
    for (const char c : text) {
        if (c == '\\' || c == '"') {
            literal.push_back('\\');
        }
        literal.push_back(c);
    }
    literal.push_back('"');
    return literal;
}

std::string deleteLoginItemScript(std::string_view path) {
    return "tell application \"System Events\" to delete (every login item whose path is " +
           appleScriptStringLiteral(path) + ")";
}

} // namespace daemonary
