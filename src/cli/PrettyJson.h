#pragma once

#include <cstddef>
#include <nlohmann/json.hpp>
#include <string>

namespace daemonary {

// Appends `value` exactly as jsonText(value, 2) writes it (bytes that are not
// UTF-8 replaced by U+FFFD, C1 and bidirectional controls escaped), as if it sat `indent` spaces
// deep in an enclosing document. Lets a large document be written piece by
// piece instead of first being built whole: strings that need no escaping
// are copied directly, everything else is written by the library.
void appendPrettyJson(std::string& out, const nlohmann::ordered_json& value, std::size_t indent);

// A string value, quoted and escaped as jsonText writes it.
void appendJsonString(std::string& out, const std::string& text);

} // namespace daemonary
