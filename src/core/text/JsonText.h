#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

namespace daemonary {

// JSON as the library writes it (bytes that are not UTF-8 replaced by
// U+FFFD), with DEL, the C1 controls (U+0080-U+009F) and the bidirectional
// controls (U+202A-U+202E, U+2066-U+2069) also written as \uXXXX, as the
// library writes C0 controls: a terminal showing the document can be neither
// steered (CSI is U+009B) nor made to show text reordered.
std::string jsonText(const nlohmann::ordered_json& value, int indent = -1);
std::string jsonText(const nlohmann::json& value, int indent = -1);

// The same escapes, on JSON text the library wrote (valid UTF-8): such code
// points only occur inside strings, where the escape means the same.
std::string escapeJsonControls(std::string_view json);

} // namespace daemonary
