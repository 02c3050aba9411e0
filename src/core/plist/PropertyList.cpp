#include "plist/PropertyList.h"

#include "plist/UnicodeText.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <plist/plist.h>

namespace daemonary {

namespace {

// ---------------------------------------------------------------------------
// Nesting check for XML property lists.
//
// The library builds and frees its tree recursively, so input nested deeply
// enough overflows the stack. This scan runs first, without recursion, and
// must never see less nesting than the library would build. It reads the
// regions in which the library builds nothing as the library does, and counts
// nothing inside them: a comment ends at the first "-->" and a CDATA section
// at the first "]]>", whatever quotes they hold; a processing instruction and
// the DOCTYPE step over quoted text. A region that never ends stops the
// library, so nothing after it counts either. Everywhere else the scan errs
// towards more depth: a tag runs to the later of the quote-aware and the
// plain reading, every "<array"/"<dict" in it counts as an opening, and a
// closing tag counts only when it ends in '>'.

constexpr std::size_t npos = std::string_view::npos;

bool startsWith(std::string_view text, std::size_t at, std::string_view prefix) {
    return text.size() - at >= prefix.size() && text.compare(at, prefix.size(), prefix) == 0;
}

// Position of `terminator` at or after `from`, optionally stepping over
// "..." runs; npos when missing (an unmatched quote runs to the end).
std::size_t findTerminator(std::string_view text, std::size_t from, std::string_view terminator,
                           bool skipQuotes) {
    std::size_t i = from;
    while (i < text.size()) {
        if (startsWith(text, i, terminator)) {
            return i;
        }
        if (skipQuotes && text[i] == '"') {
            const std::size_t close = text.find('"', i + 1);
            if (close == npos) {
                return npos;
            }
            i = close + 1;
            continue;
        }
        ++i;
    }
    return npos;
}

// First of any of `chars` at or after `from`, optionally stepping over quotes.
std::size_t findAnyOf(std::string_view text, std::size_t from, std::string_view chars,
                      bool skipQuotes) {
    std::size_t i = from;
    while (i < text.size()) {
        if (skipQuotes && text[i] == '"') {
            const std::size_t close = text.find('"', i + 1);
            if (close == npos) {
                return npos;
            }
            i = close + 1;
            continue;
        }
        for (const char wanted : chars) {
            if (text[i] == wanted) {
                return i;
            }
        }
        ++i;
    }
    return npos;
}

// End (one past) of a region closed by the first `terminator`, quotes or not;
// the end of the text when there is none.
std::size_t plainRegionEnd(std::string_view text, std::size_t from, std::string_view terminator) {
    const std::size_t close = text.find(terminator, std::min(from, text.size()));
    return close == npos ? text.size() : close + terminator.size();
}

// "<!DOCTYPE ...>" or "<!DOCTYPE ... [ ... ]>".
std::size_t declarationEnd(std::string_view text, std::size_t from, bool skipQuotes) {
    const std::size_t stop = findAnyOf(text, from, "[>", skipQuotes);
    if (stop == npos) {
        return text.size();
    }
    if (text[stop] == '>') {
        return stop + 1;
    }
    const std::size_t close = findTerminator(text, stop + 1, "]>", skipQuotes);
    return close == npos ? text.size() : close + 2;
}

bool isNameEnd(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '>' || c == '<' || c == '/';
}

bool isContainerName(std::string_view text, std::size_t nameStart) {
    for (std::string_view name : {std::string_view("array"), std::string_view("dict")}) {
        if (startsWith(text, nameStart, name)) {
            const std::size_t after = nameStart + name.size();
            // Running into the end still counts: more depth is the safe answer.
            if (after >= text.size() || isNameEnd(text[after])) {
                return true;
            }
        }
    }
    return false;
}

std::size_t countOpeningsIn(std::string_view text, std::size_t from, std::size_t to) {
    std::size_t count = 0;
    std::size_t i = text.find('<', from);
    while (i != npos && i < to) {
        if (startsWith(text, i + 1, "array") || startsWith(text, i + 1, "dict")) {
            ++count;
        }
        i = text.find('<', i + 1);
    }
    return count;
}

bool xmlNestingWithinLimit(std::string_view text, std::size_t limit) {
    std::size_t depth = 0;
    std::size_t i = 0;
    auto open = [&](std::size_t count) {
        depth += count;
        return depth <= limit;
    };
    while (i < text.size()) {
        i = text.find('<', i);
        if (i == npos) {
            break;
        }
        std::size_t end = 0;
        if (startsWith(text, i, "<!--")) {
            end = plainRegionEnd(text, i + 4, "-->");
        } else if (startsWith(text, i, "<![CDATA[")) {
            end = plainRegionEnd(text, i + 9, "]]>");
        } else if (startsWith(text, i, "<?")) {
            const std::size_t close = findTerminator(text, i + 2, "?>", true);
            end = close == npos ? text.size() : close + 2;
        } else if (startsWith(text, i, "<!DOCTYPE")) {
            end = declarationEnd(text, i + 9, true);
        } else if (startsWith(text, i, "<!")) {
            // Nothing the library accepts; read it both ways and count what
            // it holds, as for a tag.
            end = std::max(declarationEnd(text, i + 2, false), declarationEnd(text, i + 2, true));
            if (!open(countOpeningsIn(text, i + 1, end))) {
                return false;
            }
        } else {
            // A tag. The library ends it at the next '<' or '>', stepping over
            // quotes; take the later of that and the plain reading. Without a
            // quote before the first '<' or '>' both readings end there, and
            // the tag holds no opening.
            std::size_t plain = findAnyOf(text, i + 1, "<>\"", false);
            std::size_t quoted = plain;
            if (plain != npos && text[plain] == '"') {
                plain = findAnyOf(text, plain, "<>", false);
                quoted = findAnyOf(text, i + 1, "<>", true);
            }
            const std::size_t stop =
                (plain == npos || quoted == npos) ? npos : std::max(plain, quoted);
            const bool closing = startsWith(text, i, "</");
            const std::size_t nameStart = i + (closing ? 2 : 1);
            // Openings hidden in attribute values count too.
            if (!open(countOpeningsIn(text, i + 1, stop == npos ? text.size() : stop))) {
                return false;
            }
            if (closing) {
                if (stop != npos && text[stop] == '>' && isContainerName(text, nameStart) &&
                    depth > 0) {
                    --depth;
                }
            } else if (isContainerName(text, nameStart)) {
                const bool emptyElement =
                    stop != npos && plain == quoted && text[stop] == '>' && text[stop - 1] == '/';
                if (!emptyElement && !open(1)) {
                    return false;
                }
            }
            if (stop == npos) {
                return true;
            }
            // A '<' ends the tag without being consumed.
            i = text[stop] == '<' ? stop : stop + 1;
            continue;
        }
        i = end;
    }
    return true;
}

// ---------------------------------------------------------------------------
// Structure check for binary property lists ("bplist00").
//
// Walks the object graph from the top object without recursion, checking
// every offset and reference against the file, rejecting cycles, and
// bounding both the nesting and the size of the tree the library would
// expand (shared objects are expanded once per reference).

constexpr std::size_t kTrailerSize = 32;
constexpr std::size_t kHeaderSize = 8;
// Far above any real definition, far below what exhausts memory or time.
constexpr std::uint64_t kMaxExpandedObjects = 500'000;

std::uint64_t readBigEndian(const unsigned char* p, std::size_t size) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < size; ++i) {
        value = (value << 8) | p[i];
    }
    return value;
}

class BinaryPlistChecker {
public:
    explicit BinaryPlistChecker(std::string_view bytes)
        : m_data(reinterpret_cast<const unsigned char*>(bytes.data())), m_size(bytes.size()) {}

    bool check(std::size_t depthLimit) {
        if (m_size < kHeaderSize + kTrailerSize) {
            return false;
        }
        const unsigned char* trailer = m_data + m_size - kTrailerSize;
        m_offsetSize = trailer[6];
        m_refSize = trailer[7];
        m_objectCount = readBigEndian(trailer + 8, 8);
        const std::uint64_t top = readBigEndian(trailer + 16, 8);
        m_tableOffset = readBigEndian(trailer + 24, 8);
        const std::uint64_t tableEnd = m_size - kTrailerSize;
        if (m_offsetSize < 1 || m_offsetSize > 8 || m_refSize < 1 || m_refSize > 8 ||
            m_objectCount == 0 || top >= m_objectCount || m_tableOffset < kHeaderSize ||
            m_tableOffset > tableEnd || m_objectCount > (tableEnd - m_tableOffset) / m_offsetSize) {
            return false;
        }

        // Per object: 0 unvisited, 1 on the current path, 2 finished.
        std::vector<std::uint8_t> state(m_objectCount, 0);
        std::vector<std::uint32_t> depth(m_objectCount, 0);
        std::vector<std::uint64_t> expanded(m_objectCount, 0);

        struct Frame {
            std::uint64_t object;
            std::uint64_t firstRef; // file offset of the reference list
            std::uint64_t refCount;
            std::uint64_t next;
        };
        std::vector<Frame> stack;

        auto enter = [&](std::uint64_t object) -> bool {
            Object info;
            if (!describe(object, info) || (info.dictionary && !keysAreStrings(info))) {
                return false;
            }
            if (info.refCount == 0) {
                state[object] = 2;
                depth[object] = info.container ? 1 : 0;
                expanded[object] = 1;
                return true;
            }
            if (stack.size() >= depthLimit) {
                return false;
            }
            state[object] = 1;
            stack.push_back({object, info.firstRef, info.refCount, 0});
            return true;
        };

        if (!enter(top)) {
            return false;
        }
        while (!stack.empty()) {
            Frame& frame = stack.back();
            if (frame.next == frame.refCount) {
                const std::uint64_t object = frame.object;
                std::uint32_t deepest = 0;
                std::uint64_t total = 1;
                for (std::uint64_t k = 0; k < frame.refCount; ++k) {
                    const std::uint64_t child = readRef(frame.firstRef, k);
                    deepest = std::max(deepest, depth[child]);
                    total += expanded[child];
                    if (total > kMaxExpandedObjects) {
                        return false;
                    }
                }
                stack.pop_back();
                depth[object] = deepest + 1;
                expanded[object] = total;
                state[object] = 2;
                if (depth[object] > depthLimit) {
                    return false;
                }
                continue;
            }
            const std::uint64_t child = readRef(frame.firstRef, frame.next++);
            if (child >= m_objectCount || state[child] == 1) {
                return false; // dangling reference or a cycle
            }
            if (state[child] == 0 && !enter(child)) {
                return false;
            }
        }
        return depth[top] <= depthLimit && expanded[top] <= kMaxExpandedObjects;
    }

private:
    struct Object {
        bool container = false;
        bool dictionary = false;
        std::uint64_t firstRef = 0;
        std::uint64_t refCount = 0; // references to follow (keys and values)
    };

    // The library asserts (aborts) on a dictionary key that is not a string,
    // or whose text holds a NUL character.
    bool keysAreStrings(const Object& dictionary) const {
        for (std::uint64_t k = 0; k < dictionary.refCount / 2; ++k) {
            const std::uint64_t key = readRef(dictionary.firstRef, k);
            if (key >= m_objectCount) {
                return false;
            }
            const std::uint64_t offset = objectOffset(key);
            if (offset < kHeaderSize || offset >= m_tableOffset) {
                return false;
            }
            const unsigned type = m_data[offset] >> 4;
            if (type != 0x5 && type != 0x6) {
                return false;
            }
            std::uint64_t position = offset + 1;
            std::uint64_t length = 0;
            const std::uint64_t unit = type == 0x5 ? 1 : 2;
            if (!readLength(position, m_data[offset] & 0x0F, length) ||
                !fits(position, length, unit)) {
                return false;
            }
            for (std::uint64_t i = 0; i < length; ++i) {
                const unsigned char* character = m_data + position + i * unit;
                if (character[0] == 0 && (unit == 1 || character[1] == 0)) {
                    return false;
                }
            }
        }
        return true;
    }

    std::uint64_t objectOffset(std::uint64_t object) const {
        return readBigEndian(m_data + m_tableOffset + object * m_offsetSize, m_offsetSize);
    }

    std::uint64_t readRef(std::uint64_t firstRef, std::uint64_t k) const {
        return readBigEndian(m_data + firstRef + k * m_refSize, m_refSize);
    }

    // A length from a marker's low nibble, or the integer object after it.
    bool readLength(std::uint64_t& position, unsigned nibble, std::uint64_t& length) const {
        if (nibble != 0x0F) {
            length = nibble;
            return true;
        }
        if (position >= m_tableOffset) {
            return false;
        }
        const unsigned marker = m_data[position];
        if ((marker & 0xF0) != 0x10 || (marker & 0x0F) > 3) {
            return false;
        }
        const std::uint64_t size = std::uint64_t{1} << (marker & 0x0F);
        if (m_tableOffset - position - 1 < size) {
            return false;
        }
        length = readBigEndian(m_data + position + 1, size);
        position += 1 + size;
        return true;
    }

    bool fits(std::uint64_t position, std::uint64_t count, std::uint64_t unit) const {
        if (position > m_tableOffset) {
            return false;
        }
        const std::uint64_t room = m_tableOffset - position;
        return unit == 0 || count <= room / unit;
    }

    bool describe(std::uint64_t object, Object& info) const {
        const std::uint64_t offset = objectOffset(object);
        if (offset < kHeaderSize || offset >= m_tableOffset) {
            return false;
        }
        const unsigned marker = m_data[offset];
        const unsigned type = marker >> 4;
        const unsigned nibble = marker & 0x0F;
        std::uint64_t position = offset + 1;
        std::uint64_t length = 0;
        switch (type) {
        case 0x0:
            return marker == 0x00 || marker == 0x08 || marker == 0x09 || marker == 0x0F;
        case 0x1: // integer of 2^n bytes
            return nibble <= 4 && fits(position, std::uint64_t{1} << nibble, 1);
        case 0x2: // real of 2^n bytes
            return nibble >= 2 && nibble <= 3 && fits(position, std::uint64_t{1} << nibble, 1);
        case 0x3: // date
            return marker == 0x33 && fits(position, 8, 1);
        case 0x4: // data
        case 0x5: // ASCII string
        case 0x7: // UTF-8 string
            return readLength(position, nibble, length) && fits(position, length, 1);
        case 0x6: // UTF-16 string
            return readLength(position, nibble, length) && fits(position, length, 2);
        case 0x8: // UID of n+1 bytes
            return fits(position, nibble + 1, 1);
        case 0xA: // array
        case 0xC: // set
            if (!readLength(position, nibble, length) || !fits(position, length, m_refSize)) {
                return false;
            }
            info = {true, false, position, length};
            return true;
        case 0xD: // dictionary: keys, then values
            if (!readLength(position, nibble, length) || length > (1ULL << 62) ||
                !fits(position, length * 2, m_refSize)) {
                return false;
            }
            info = {true, true, position, length * 2};
            return true;
        default:
            return false;
        }
    }

    const unsigned char* m_data;
    std::uint64_t m_size;
    std::uint64_t m_offsetSize = 0;
    std::uint64_t m_refSize = 0;
    std::uint64_t m_objectCount = 0;
    std::uint64_t m_tableOffset = 0;
};

// ---------------------------------------------------------------------------
// Conversion of the library's tree; recursion is bounded by the checks above.

struct PlistDeleter {
    void operator()(void* node) const { plist_free(static_cast<plist_t>(node)); }
};
using PlistHandle = std::unique_ptr<void, PlistDeleter>;

std::optional<PlistValue> convert(plist_t node, std::size_t depth) {
    if (!node || depth > kMaxPlistDepth + 1) {
        return std::nullopt;
    }
    switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
        std::uint8_t value = 0;
        plist_get_bool_val(node, &value);
        return PlistValue(value != 0);
    }
    case PLIST_UINT: {
        // Negative integers are kept as their two's complement.
        std::uint64_t value = 0;
        plist_get_uint_val(node, &value);
        return PlistValue(static_cast<std::int64_t>(value));
    }
    case PLIST_UID: {
        std::uint64_t value = 0;
        plist_get_uid_val(node, &value);
        return PlistValue(static_cast<std::int64_t>(value));
    }
    case PLIST_REAL: {
        double value = 0;
        plist_get_real_val(node, &value);
        return PlistValue(value);
    }
    case PLIST_STRING: {
        std::uint64_t length = 0;
        const char* text = plist_get_string_ptr(node, &length);
        return PlistValue(text ? std::string(text, length) : std::string());
    }
    case PLIST_DATE: {
        std::int32_t seconds = 0;
        std::int32_t microseconds = 0;
        plist_get_date_val(node, &seconds, &microseconds);
        return PlistValue(PlistDate{seconds + microseconds / 1e6});
    }
    case PLIST_DATA: {
        std::uint64_t length = 0;
        const char* bytes = plist_get_data_ptr(node, &length);
        return PlistValue(PlistData{bytes ? std::string(bytes, length) : std::string()});
    }
    case PLIST_ARRAY: {
        PlistArray array;
        const std::uint32_t count = plist_array_get_size(node);
        array.reserve(count);
        for (std::uint32_t i = 0; i < count; ++i) {
            auto element = convert(plist_array_get_item(node, i), depth + 1);
            if (!element) {
                return std::nullopt;
            }
            array.push_back(std::move(*element));
        }
        return PlistValue(std::move(array));
    }
    case PLIST_DICT: {
        PlistDictionary dictionary;
        plist_dict_iter iterator = nullptr;
        plist_dict_new_iter(node, &iterator);
        if (!iterator) {
            return std::nullopt;
        }
        std::optional<PlistValue> result;
        for (;;) {
            char* key = nullptr;
            plist_t value = nullptr;
            plist_dict_next_item(node, iterator, &key, &value);
            if (!value) {
                std::free(key);
                result = PlistValue(std::move(dictionary));
                break;
            }
            std::string name = key ? key : "";
            std::free(key);
            auto converted = convert(value, depth + 1);
            if (!converted) {
                break;
            }
            dictionary.insert_or_assign(std::move(name), std::move(*converted));
        }
        std::free(iterator);
        return result;
    }
    default:
        return std::nullopt;
    }
}

// ---------------------------------------------------------------------------
// Descriptions.

std::string formatReal(double value) {
    if (std::isnan(value)) {
        return "nan";
    }
    if (std::isinf(value)) {
        return value < 0 ? "-inf" : "inf";
    }
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    return std::string(buffer, result.ptr);
}

// Days since 1970-01-01 to a civil date (proleptic Gregorian).
void civilFromDays(std::int64_t days, std::int64_t& year, unsigned& month, unsigned& day) {
    days += 719468;
    const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const auto dayOfEra = static_cast<unsigned>(days - era * 146097);
    const unsigned yearOfEra =
        (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const unsigned shiftedMonth = (5 * dayOfYear + 2) / 153;
    day = dayOfYear - (153 * shiftedMonth + 2) / 5 + 1;
    month = shiftedMonth < 10 ? shiftedMonth + 3 : shiftedMonth - 9;
    year = static_cast<std::int64_t>(yearOfEra) + era * 400 + (month <= 2 ? 1 : 0);
}

std::string formatDate(const PlistDate& date) {
    constexpr double kReferenceDateUnixSeconds = 978307200.0;
    const double unixSeconds =
        std::floor(date.secondsSinceReferenceDate + kReferenceDateUnixSeconds);
    // About +-290 million years; beyond that a calendar date means nothing.
    if (!std::isfinite(unixSeconds) || std::fabs(unixSeconds) > 9.0e15) {
        return formatReal(date.secondsSinceReferenceDate);
    }
    const auto total = static_cast<std::int64_t>(unixSeconds);
    std::int64_t days = total / 86400;
    std::int64_t secondsOfDay = total % 86400;
    if (secondsOfDay < 0) {
        secondsOfDay += 86400;
        --days;
    }
    std::int64_t year = 0;
    unsigned month = 0;
    unsigned day = 0;
    civilFromDays(days, year, month, day);
    char buffer[80];
    std::snprintf(
        buffer, sizeof buffer, "%04lld-%02u-%02u %02lld:%02lld:%02lld +0000",
        static_cast<long long>(year), month, day, static_cast<long long>(secondsOfDay / 3600),
        static_cast<long long>(secondsOfDay / 60 % 60), static_cast<long long>(secondsOfDay % 60));
    return buffer;
}

std::string formatData(const PlistData& data) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string text = "<";
    for (std::size_t i = 0; i < data.bytes.size(); ++i) {
        if (i > 0 && i % 4 == 0) {
            text.push_back(' ');
        }
        const auto byte = static_cast<unsigned char>(data.bytes[i]);
        text.push_back(kHex[byte >> 4]);
        text.push_back(kHex[byte & 0x0F]);
    }
    text.push_back('>');
    return text;
}

} // namespace

std::string PlistValue::description() const {
    struct Describe {
        static std::string items(std::size_t count) {
            return std::to_string(count) + (count == 1 ? " item" : " items");
        }
        std::string operator()(const PlistDictionary& value) const {
            return "{" + items(value.size()) + "}";
        }
        std::string operator()(const PlistArray& value) const {
            return "(" + items(value.size()) + ")";
        }
        std::string operator()(const std::string& value) const { return value; }
        std::string operator()(std::int64_t value) const { return std::to_string(value); }
        std::string operator()(double value) const { return formatReal(value); }
        std::string operator()(bool value) const { return value ? "true" : "false"; }
        std::string operator()(const PlistDate& value) const { return formatDate(value); }
        std::string operator()(const PlistData& value) const { return formatData(value); }
    };
    return std::visit(Describe{}, m_storage);
}

std::optional<PlistValue> parsePropertyList(std::string_view bytes) {
    constexpr std::size_t kMaxBytes = std::numeric_limits<std::uint32_t>::max();
    if (bytes.empty() || bytes.size() > kMaxBytes) {
        return std::nullopt;
    }
    // The library reads some markers a little past the end it is given; a
    // terminated copy keeps those reads inside the buffer.
    std::string buffer;
    bool binary = false;
    if (startsWithByteOrderMark(bytes)) {
        // Files saved by some editors carry a byte-order mark, and macOS reads
        // them, UTF-16 and UTF-32 included; the library takes UTF-8 alone.
        // Such a file is text, so it is XML. An encoding declaration that
        // still names UTF-16 is a processing instruction the library skips.
        std::optional<std::string> text = utf8FromMarkedText(bytes);
        if (!text || text->empty() || text->size() > kMaxBytes) {
            return std::nullopt;
        }
        buffer = std::move(*text);
    } else {
        buffer.assign(bytes);
        binary = bytes.starts_with("bplist00");
    }
    plist_t root = nullptr;
    if (binary) {
        if (!BinaryPlistChecker(buffer).check(kMaxPlistDepth)) {
            return std::nullopt;
        }
        plist_from_bin(buffer.data(), static_cast<std::uint32_t>(buffer.size()), &root);
    } else {
        if (!xmlNestingWithinLimit(buffer, kMaxPlistDepth)) {
            return std::nullopt;
        }
        plist_from_xml(buffer.data(), static_cast<std::uint32_t>(buffer.size()), &root);
    }
    const PlistHandle handle(root);
    if (!root) {
        return std::nullopt;
    }
    return convert(root, 0);
}

} // namespace daemonary
