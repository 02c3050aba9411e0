#include "plist/UnicodeText.h"

#include "text/Text.h"

#include <cstddef>
#include <cstdint>

namespace daemonary {

namespace {

constexpr std::string_view kUtf8Mark = "\xEF\xBB\xBF";
constexpr std::string_view kUtf16BigMark = "\xFE\xFF";
constexpr std::string_view kUtf16LittleMark = "\xFF\xFE";
constexpr std::string_view kUtf32BigMark{"\x00\x00\xFE\xFF", 4};
constexpr std::string_view kUtf32LittleMark{"\xFF\xFE\x00\x00", 4};

std::uint32_t readUnit(std::string_view bytes, std::size_t at, std::size_t size, ByteOrder order) {
    std::uint32_t value = 0;
    for (std::size_t k = 0; k < size; ++k) {
        const std::size_t index = order == ByteOrder::bigEndian ? at + k : at + size - 1 - k;
        value = (value << 8) | static_cast<unsigned char>(bytes[index]);
    }
    return value;
}

bool isSurrogate(std::uint32_t value) {
    return value >= 0xD800 && value <= 0xDFFF;
}

} // namespace

std::optional<std::string> utf8FromUtf16(std::string_view bytes, ByteOrder order) {
    if (bytes.size() % 2 != 0) {
        return std::nullopt;
    }
    std::string out;
    out.reserve(bytes.size() + bytes.size() / 2);
    for (std::size_t i = 0; i < bytes.size(); i += 2) {
        const std::uint32_t unit = readUnit(bytes, i, 2, order);
        if (!isSurrogate(unit)) {
            appendUtf8(out, unit);
            continue;
        }
        // A high surrogate followed by a low one; anything else is malformed.
        if (unit >= 0xDC00 || i + 2 >= bytes.size()) {
            return std::nullopt;
        }
        const std::uint32_t low = readUnit(bytes, i + 2, 2, order);
        if (low < 0xDC00 || low > 0xDFFF) {
            return std::nullopt;
        }
        appendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
        i += 2;
    }
    return out;
}

std::optional<std::string> utf8FromUtf32(std::string_view bytes, ByteOrder order) {
    if (bytes.size() % 4 != 0) {
        return std::nullopt;
    }
    std::string out;
    out.reserve(bytes.size());
    for (std::size_t i = 0; i < bytes.size(); i += 4) {
        const std::uint32_t codePoint = readUnit(bytes, i, 4, order);
        if (codePoint > 0x10FFFF || isSurrogate(codePoint)) {
            return std::nullopt;
        }
        appendUtf8(out, codePoint);
    }
    return out;
}

bool startsWithByteOrderMark(std::string_view bytes) {
    // The UTF-32 marks begin with a UTF-16 one, so these four cover all five.
    return bytes.starts_with(kUtf8Mark) || bytes.starts_with(kUtf16BigMark) ||
           bytes.starts_with(kUtf16LittleMark) || bytes.starts_with(kUtf32BigMark);
}

std::optional<std::string> utf8FromMarkedText(std::string_view bytes) {
    // UTF-32 first: its little-endian mark starts with UTF-16's.
    if (bytes.starts_with(kUtf32BigMark)) {
        return utf8FromUtf32(bytes.substr(4), ByteOrder::bigEndian);
    }
    if (bytes.starts_with(kUtf32LittleMark)) {
        return utf8FromUtf32(bytes.substr(4), ByteOrder::littleEndian);
    }
    if (bytes.starts_with(kUtf16BigMark)) {
        return utf8FromUtf16(bytes.substr(2), ByteOrder::bigEndian);
    }
    if (bytes.starts_with(kUtf16LittleMark)) {
        return utf8FromUtf16(bytes.substr(2), ByteOrder::littleEndian);
    }
    if (bytes.starts_with(kUtf8Mark)) {
        return std::string(bytes.substr(kUtf8Mark.size()));
    }
    return std::string(bytes);
}

} // namespace daemonary
