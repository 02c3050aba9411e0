#include "text/JsonText.h"

#include <cstdio>

namespace daemonary {

namespace {

void appendEscape(std::string& out, unsigned code) {
    char escape[8];
    std::snprintf(escape, sizeof escape, "\\u%04x", code);
    out.append(escape);
}

} // namespace

std::string escapeJsonControls(std::string_view json) {
    std::string out;
    out.reserve(json.size());
    for (std::size_t i = 0; i < json.size(); ++i) {
        const auto byte = static_cast<unsigned char>(json[i]);
        const auto next = [&](std::size_t offset) {
            return i + offset < json.size() ? static_cast<unsigned char>(json[i + offset]) : 0;
        };
        if (byte == 0x7F) {
            appendEscape(out, byte);
        } else if (byte == 0xC2 && next(1) >= 0x80 && next(1) <= 0x9F) {
            appendEscape(out, next(1));
            i += 1;
        } else if (byte == 0xE2 && next(1) == 0x80 && next(2) >= 0xAA && next(2) <= 0xAE) {
            appendEscape(out, 0x2000u + (next(2) - 0x80u));
            i += 2;
        } else if (byte == 0xE2 && next(1) == 0x81 && next(2) >= 0xA6 && next(2) <= 0xA9) {
            appendEscape(out, 0x2040u + (next(2) - 0x80u));
            i += 2;
        } else {
            out.push_back(static_cast<char>(byte));
        }
    }
    return out;
}

std::string jsonText(const nlohmann::ordered_json& value, int indent) {
    return escapeJsonControls(
        value.dump(indent, ' ', false, nlohmann::ordered_json::error_handler_t::replace));
}

std::string jsonText(const nlohmann::json& value, int indent) {
    return escapeJsonControls(
        value.dump(indent, ' ', false, nlohmann::json::error_handler_t::replace));
}

} // namespace daemonary
