#include "text/TextParsing.h"

#include <limits>

namespace daemonary {

namespace {

struct CodePoint {
    char32_t value = 0;
    std::size_t length = 0; // 0 when the bytes are not a well-formed sequence
};

CodePoint decodeAt(std::string_view text, std::size_t position) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(position);
    if (lead < 0x80) {
        return {lead, 1};
    }
    std::size_t length = 0;
    char32_t value = 0;
    if ((lead & 0xE0) == 0xC0) {
        length = 2;
        value = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3;
        value = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4;
        value = lead & 0x07;
    } else {
        return {};
    }
    if (position + length > text.size()) {
        return {};
    }
    for (std::size_t i = 1; i < length; ++i) {
        const unsigned char next = byte(position + i);
        if ((next & 0xC0) != 0x80) {
            return {};
        }
        value = (value << 6) | (next & 0x3F);
    }
    return {value, length};
}

// Start of the code point that ends just before `end`.
std::size_t startOfLastCodePoint(std::string_view text, std::size_t end) {
    std::size_t start = end - 1;
    while (start > 0 && end - start < 4 &&
           (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) {
        --start;
    }
    return start;
}

bool isLineBreak(char32_t c) {
    return (c >= 0x0A && c <= 0x0D) || c == 0x85 || c == 0x2028 || c == 0x2029;
}

// Space separators (general category Zs) and the tab.
bool isBlank(char32_t c) {
    return c == 0x09 || c == 0x20 || c == 0xA0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200A) ||
           c == 0x202F || c == 0x205F || c == 0x3000;
}

template <typename Predicate> std::string_view trimBy(std::string_view text, Predicate matches) {
    std::size_t begin = 0;
    while (begin < text.size()) {
        const CodePoint c = decodeAt(text, begin);
        if (c.length == 0 || !matches(c.value)) {
            break;
        }
        begin += c.length;
    }
    std::size_t end = text.size();
    while (end > begin) {
        const std::size_t start = startOfLastCodePoint(text, end);
        const CodePoint c = decodeAt(text, start);
        if (c.length != end - start || !matches(c.value)) {
            break;
        }
        end = start;
    }
    return text.substr(begin, end - begin);
}

template <typename Integer> std::optional<Integer> parseDecimal(std::string_view text) {
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.empty()) {
        return std::nullopt;
    }
    // Accumulate towards the sign's side so that the minimum value fits.
    Integer value = 0;
    for (const char ch : text) {
        if (ch < '0' || ch > '9') {
            return std::nullopt;
        }
        const Integer digit = ch - '0';
        if (negative) {
            if (value < (std::numeric_limits<Integer>::min() + digit) / 10) {
                return std::nullopt;
            }
            value = static_cast<Integer>(value * 10 - digit);
        } else {
            if (value > (std::numeric_limits<Integer>::max() - digit) / 10) {
                return std::nullopt;
            }
            value = static_cast<Integer>(value * 10 + digit);
        }
    }
    return value;
}

} // namespace

bool nextLine(std::string_view& rest, std::string_view& line) {
    if (rest.empty()) {
        return false;
    }
    std::size_t position = 0;
    while (position < rest.size()) {
        const unsigned char byte = static_cast<unsigned char>(rest[position]);
        std::size_t terminator = 0;
        if (byte == '\n') {
            terminator = 1;
        } else if (byte == '\r') {
            terminator = position + 1 < rest.size() && rest[position + 1] == '\n' ? 2 : 1;
        } else if (byte == 0xC2 || byte == 0xE2) {
            const CodePoint c = decodeAt(rest, position);
            if (c.value == 0x85 || c.value == 0x2028 || c.value == 0x2029) {
                terminator = c.length;
            }
        }
        if (terminator != 0) {
            line = rest.substr(0, position);
            rest.remove_prefix(position + terminator);
            return true;
        }
        ++position;
    }
    line = rest;
    rest = {};
    return true;
}

std::vector<std::string_view> splitLines(std::string_view text) {
    std::vector<std::string_view> lines;
    std::string_view line;
    while (nextLine(text, line)) {
        lines.push_back(line);
    }
    return lines;
}

std::optional<std::int32_t> parseDecimalInt32(std::string_view text) {
    return parseDecimal<std::int32_t>(text);
}

std::optional<std::int64_t> parseDecimalInt64(std::string_view text) {
    return parseDecimal<std::int64_t>(text);
}

std::string_view trimWhitespace(std::string_view text) {
    return trimBy(text, isBlank);
}

std::string_view trimWhitespaceAndNewlines(std::string_view text) {
    return trimBy(text, [](char32_t c) { return isBlank(c) || isLineBreak(c); });
}

std::vector<std::string_view> splitAtWhitespace(std::string_view text, std::size_t maxPieces) {
    std::vector<std::string_view> pieces;
    std::size_t pieceStart = 0;
    std::size_t position = 0;
    while (position < text.size() && pieces.size() < maxPieces) {
        const CodePoint c = decodeAt(text, position);
        const std::size_t length = c.length == 0 ? 1 : c.length;
        if (c.length != 0 && isBlank(c.value)) {
            if (position > pieceStart) {
                pieces.push_back(text.substr(pieceStart, position - pieceStart));
            }
            pieceStart = position + length;
        }
        position += length;
    }
    if (pieceStart < text.size() && pieces.size() < maxPieces) {
        pieces.push_back(text.substr(pieceStart));
    }
    return pieces;
}

std::string asciiLowercased(std::string_view text) {
    std::string result(text);
    for (char& ch : result) {
        if (ch >= 'A' && ch <= 'Z') {
            ch = static_cast<char>(ch - 'A' + 'a');
        }
    }
    return result;
}

} // namespace daemonary
