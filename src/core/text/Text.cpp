#include "text/Text.h"

#include <cstdint>
#include <cstdio>
#include <ctime>

namespace daemonary {

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

void appendShowable(std::string& out, char32_t code) {
    if (code == U'\t') {
        out.push_back('\t');
    } else if (code < 0x20) {
        appendUtf8(out, 0x2400 + code); // ␀ ... ␟
    } else if (code == 0x7F) {
        appendUtf8(out, 0x2421); // ␡
    } else if ((code >= 0x80 && code <= 0x9F) || (code >= 0x202A && code <= 0x202E) ||
               (code >= 0x2066 && code <= 0x2069)) {
        char escape[16];
        std::snprintf(escape, sizeof escape, "\\u{%X}", static_cast<unsigned>(code));
        out.append(escape);
    } else {
        appendUtf8(out, code);
    }
}

} // namespace

void appendUtf8(std::string& out, char32_t code) {
    if (code < 0x80) {
        out.push_back(static_cast<char>(code));
    } else if (code < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (code >> 6)));
        out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else if (code < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (code >> 12)));
        out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (code >> 18)));
        out.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    }
}

std::string displayableText(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    std::size_t i = 0;
    while (i < bytes.size()) {
        const auto lead = static_cast<unsigned char>(bytes[i]);
        if (lead < 0x80) {
            appendShowable(out, lead);
            ++i;
            continue;
        }
        std::size_t need = 0;
        unsigned char low = 0x80;
        unsigned char high = 0xBF;
        char32_t code = 0;
        if (lead >= 0xC2 && lead <= 0xDF) {
            need = 1;
            code = lead & 0x1F;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            need = 2;
            code = lead & 0x0F;
            low = lead == 0xE0 ? 0xA0 : 0x80;  // no overlong forms
            high = lead == 0xED ? 0x9F : 0xBF; // no surrogates
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            need = 3;
            code = lead & 0x07;
            low = lead == 0xF0 ? 0x90 : 0x80;
            high = lead == 0xF4 ? 0x8F : 0xBF; // nothing past U+10FFFF
        } else {
            out.append(kReplacement);
            ++i;
            continue;
        }
        std::size_t taken = 1;
        bool valid = true;
        for (; taken <= need; ++taken) {
            if (i + taken >= bytes.size()) {
                valid = false;
                break;
            }
            const auto next = static_cast<unsigned char>(bytes[i + taken]);
            const unsigned char from = taken == 1 ? low : 0x80;
            const unsigned char to = taken == 1 ? high : 0xBF;
            if (next < from || next > to) {
                valid = false;
                break;
            }
            code = (code << 6) | (next & 0x3F);
        }
        if (!valid) {
            // The lead and the continuation bytes that fitted are one maximal
            // invalid sequence, replaced once.
            out.append(kReplacement);
            i += taken;
            continue;
        }
        appendShowable(out, code);
        i += need + 1;
    }
    return out;
}

std::string shellQuoted(std::string_view word) {
    if (word.empty()) {
        return "''";
    }
    bool plain = true;
    for (const char ch : word) {
        const bool safe = (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') ||
                          (ch >= '0' && ch <= '9') ||
                          std::string_view("_@%+=:,./-").find(ch) != std::string_view::npos;
        if (!safe) {
            plain = false;
            break;
        }
    }
    if (plain) {
        return std::string(word);
    }
    std::string quotedWord = "'";
    for (const char ch : word) {
        if (ch == '\'') {
            quotedWord += "'\\''";
        } else {
            quotedWord.push_back(ch);
        }
    }
    quotedWord.push_back('\'');
    return quotedWord;
}

std::optional<std::string> decodeUtf8(std::string_view bytes) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::size_t size = bytes.size();
    std::size_t i = 0;
    while (i < size) {
        const unsigned char lead = p[i];
        if (lead < 0x80) {
            ++i;
            continue;
        }
        std::size_t length = 0;
        std::uint32_t codePoint = 0;
        std::uint32_t minimum = 0;
        if ((lead & 0xE0) == 0xC0) {
            length = 2;
            codePoint = lead & 0x1F;
            minimum = 0x80;
        } else if ((lead & 0xF0) == 0xE0) {
            length = 3;
            codePoint = lead & 0x0F;
            minimum = 0x800;
        } else if ((lead & 0xF8) == 0xF0) {
            length = 4;
            codePoint = lead & 0x07;
            minimum = 0x10000;
        } else {
            return std::nullopt; // continuation byte or 0xF8..0xFF as a lead
        }
        if (size - i < length) {
            return std::nullopt; // truncated sequence
        }
        for (std::size_t k = 1; k < length; ++k) {
            const unsigned char next = p[i + k];
            if ((next & 0xC0) != 0x80) {
                return std::nullopt;
            }
            codePoint = (codePoint << 6) | (next & 0x3F);
        }
        if (codePoint < minimum || codePoint > 0x10FFFF ||
            (codePoint >= 0xD800 && codePoint <= 0xDFFF)) {
            return std::nullopt; // overlong, out of range or a surrogate
        }
        i += length;
    }
    return std::string(bytes);
}

std::string formatUtcTimestamp(std::chrono::system_clock::time_point time) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(time);
    std::tm parts{};
    ::gmtime_r(&seconds, &parts);
    char text[32] = {};
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
    return text;
}

std::optional<std::chrono::system_clock::time_point> parseUtcTimestamp(std::string_view text) {
    // YYYY-MM-DDTHH:MM:SSZ, digits exactly where the writer puts them.
    static constexpr std::string_view kShape = "0000-00-00T00:00:00Z";
    if (text.size() != kShape.size()) {
        return std::nullopt;
    }
    for (std::size_t i = 0; i < kShape.size(); ++i) {
        const bool digit = text[i] >= '0' && text[i] <= '9';
        if (kShape[i] == '0' ? !digit : text[i] != kShape[i]) {
            return std::nullopt;
        }
    }
    const auto number = [&](std::size_t at, std::size_t count) {
        int value = 0;
        for (std::size_t i = at; i < at + count; ++i) {
            value = value * 10 + (text[i] - '0');
        }
        return value;
    };
    std::tm parts{};
    parts.tm_year = number(0, 4) - 1900;
    parts.tm_mon = number(5, 2) - 1;
    parts.tm_mday = number(8, 2);
    parts.tm_hour = number(11, 2);
    parts.tm_min = number(14, 2);
    parts.tm_sec = number(17, 2);
    if (parts.tm_mon > 11 || parts.tm_mday < 1 || parts.tm_mday > 31 || parts.tm_hour > 23 ||
        parts.tm_min > 59 || parts.tm_sec > 60) {
        return std::nullopt;
    }
    const std::time_t seconds = ::timegm(&parts);
    if (seconds == static_cast<std::time_t>(-1)) {
        return std::nullopt;
    }
    return std::chrono::system_clock::from_time_t(seconds);
}

} // namespace daemonary
