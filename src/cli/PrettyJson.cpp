#include "PrettyJson.h"

#include "text/JsonText.h"

#include <algorithm>

namespace daemonary {

namespace {

constexpr std::size_t kIndentStep = 2;

// Printable ASCII other than the quote and the backslash: the library writes
// such text unchanged between quotes.
bool needsNoEscaping(const std::string& text) {
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return c >= 0x20 && c < 0x7F && c != '"' && c != '\\'; });
}

void appendByLibrary(std::string& out, const nlohmann::ordered_json& value) {
    out += jsonText(value);
}

} // namespace

void appendJsonString(std::string& out, const std::string& text) {
    if (needsNoEscaping(text)) {
        out.push_back('"');
        out += text;
        out.push_back('"');
        return;
    }
    appendByLibrary(out, nlohmann::ordered_json(text));
}

void appendPrettyJson(std::string& out, const nlohmann::ordered_json& value, std::size_t indent) {
    const std::size_t inner = indent + kIndentStep;
    if (value.is_object()) {
        if (value.empty()) {
            out += "{}";
            return;
        }
        out += "{\n";
        bool first = true;
        for (const auto& [key, member] : value.items()) {
            if (!first) {
                out += ",\n";
            }
            first = false;
            out.append(inner, ' ');
            appendJsonString(out, key);
            out += ": ";
            appendPrettyJson(out, member, inner);
        }
        out.push_back('\n');
        out.append(indent, ' ');
        out.push_back('}');
        return;
    }
    if (value.is_array()) {
        if (value.empty()) {
            out += "[]";
            return;
        }
        out += "[\n";
        bool first = true;
        for (const auto& element : value) {
            if (!first) {
                out += ",\n";
            }
            first = false;
            out.append(inner, ' ');
            appendPrettyJson(out, element, inner);
        }
        out.push_back('\n');
        out.append(indent, ' ');
        out.push_back(']');
        return;
    }
    if (value.is_string()) {
        appendJsonString(out, value.get_ref<const std::string&>());
        return;
    }
    // Numbers, booleans and null look the same at any depth.
    appendByLibrary(out, value);
}

} // namespace daemonary
