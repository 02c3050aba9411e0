#pragma once

// Builders of property-list bytes for tests: hand-written binary lists (the
// library's own writer recurses, so it cannot produce the hostile shapes).

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace daemonary::test {

class BinaryPlistBuilder {
public:
    // Objects are numbered in the order they are added.
    std::uint32_t addArray(const std::vector<std::uint32_t>& refs) {
        return add(containerHeader(0xA0, refs.size()) + encodeRefs(refs));
    }
    std::uint32_t addDictionary(const std::vector<std::uint32_t>& keys,
                                const std::vector<std::uint32_t>& values) {
        return add(containerHeader(0xD0, keys.size()) + encodeRefs(keys) + encodeRefs(values));
    }
    std::uint32_t addString(const std::string& ascii) {
        return add(containerHeader(0x50, ascii.size()) + ascii);
    }
    std::uint32_t addInteger(std::uint32_t value) {
        std::string bytes(1, '\x12');
        appendBigEndian(bytes, value, 4);
        return add(bytes);
    }
    // Raw object bytes, for malformed shapes.
    std::uint32_t add(std::string encoded) {
        m_objects.push_back(std::move(encoded));
        return static_cast<std::uint32_t>(m_objects.size() - 1);
    }

    std::string build(std::uint32_t top) const {
        std::string out = "bplist00";
        std::vector<std::uint64_t> offsets;
        for (const auto& object : m_objects) {
            offsets.push_back(out.size());
            out += object;
        }
        const std::uint64_t tableOffset = out.size();
        for (const auto offset : offsets) {
            appendBigEndian(out, offset, 4);
        }
        out.append(6, '\0');
        out.push_back('\x04'); // offset size
        out.push_back('\x04'); // reference size
        appendBigEndian(out, m_objects.size(), 8);
        appendBigEndian(out, top, 8);
        appendBigEndian(out, tableOffset, 8);
        return out;
    }

private:
    static void appendBigEndian(std::string& out, std::uint64_t value, int size) {
        for (int shift = (size - 1) * 8; shift >= 0; shift -= 8) {
            out.push_back(static_cast<char>((value >> shift) & 0xFF));
        }
    }
    static std::string containerHeader(unsigned marker, std::size_t count) {
        std::string header;
        if (count < 15) {
            header.push_back(static_cast<char>(marker | count));
        } else {
            header.push_back(static_cast<char>(marker | 0x0F));
            header.push_back('\x12');
            appendBigEndian(header, count, 4);
        }
        return header;
    }
    static std::string encodeRefs(const std::vector<std::uint32_t>& refs) {
        std::string out;
        for (const auto ref : refs) {
            appendBigEndian(out, ref, 4);
        }
        return out;
    }

    std::vector<std::string> m_objects;
};

// `depth` arrays, each holding the next.
inline std::string nestedBinaryArrays(std::size_t depth) {
    BinaryPlistBuilder builder;
    for (std::size_t i = 0; i + 1 < depth; ++i) {
        builder.addArray({static_cast<std::uint32_t>(i + 1)});
    }
    builder.addArray({});
    return builder.build(0);
}

inline std::string nestedXmlArrays(std::size_t depth) {
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n";
    xml.reserve(xml.size() + depth * 15 + 16);
    for (std::size_t i = 0; i < depth; ++i) {
        xml += "<array>";
    }
    for (std::size_t i = 0; i < depth; ++i) {
        xml += "</array>";
    }
    xml += "\n</plist>\n";
    return xml;
}

// UTF-8 text re-encoded as UTF-16 or UTF-32 (`unitSize` 2 or 4) in either byte
// order, led by a byte-order mark; an independent encoder for the reader's
// conversions.
inline std::string encodeUnicode(std::string_view utf8, std::size_t unitSize, bool bigEndian) {
    std::vector<std::uint32_t> codePoints;
    for (std::size_t i = 0; i < utf8.size();) {
        const auto lead = static_cast<unsigned char>(utf8[i]);
        const std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        std::uint32_t value = length == 1 ? lead : lead & (0xFF >> (length + 1));
        for (std::size_t k = 1; k < length; ++k) {
            value = (value << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
        }
        codePoints.push_back(value);
        i += length;
    }
    std::string out;
    const auto put = [&](std::uint32_t unit) {
        for (std::size_t k = 0; k < unitSize; ++k) {
            const std::size_t shift = 8 * (bigEndian ? unitSize - 1 - k : k);
            out.push_back(static_cast<char>((unit >> shift) & 0xFF));
        }
    };
    put(0xFEFF);
    for (const std::uint32_t codePoint : codePoints) {
        if (unitSize == 2 && codePoint >= 0x10000) {
            put(0xD800 + ((codePoint - 0x10000) >> 10));
            put(0xDC00 + ((codePoint - 0x10000) & 0x3FF));
        } else {
            put(codePoint);
        }
    }
    return out;
}

} // namespace daemonary::test
