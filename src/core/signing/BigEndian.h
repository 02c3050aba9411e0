#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace daemonary::bytes {

// Integers at an offset of a byte string; nothing when they do not fit in it.
inline std::optional<std::uint32_t> be32(std::string_view data, std::uint64_t offset) {
    if (offset > data.size() || data.size() - offset < 4) {
        return std::nullopt;
    }
    const auto* p = reinterpret_cast<const unsigned char*>(data.data() + offset);
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
           std::uint32_t{p[3]};
}

inline std::optional<std::uint64_t> be64(std::string_view data, std::uint64_t offset) {
    const auto high = be32(data, offset);
    const auto low = be32(data, offset + 4);
    if (!high || !low) {
        return std::nullopt;
    }
    return (std::uint64_t{*high} << 32) | *low;
}

inline std::optional<std::uint32_t> le32(std::string_view data, std::uint64_t offset) {
    if (offset > data.size() || data.size() - offset < 4) {
        return std::nullopt;
    }
    const auto* p = reinterpret_cast<const unsigned char*>(data.data() + offset);
    return (std::uint32_t{p[3]} << 24) | (std::uint32_t{p[2]} << 16) | (std::uint32_t{p[1]} << 8) |
           std::uint32_t{p[0]};
}

inline std::optional<std::uint8_t> u8(std::string_view data, std::uint64_t offset) {
    if (offset >= data.size()) {
        return std::nullopt;
    }
    return static_cast<std::uint8_t>(data[static_cast<std::size_t>(offset)]);
}

// True when [offset, offset + length) lies inside a region of `size` bytes,
// without overflowing.
constexpr bool fits(std::uint64_t offset, std::uint64_t length, std::uint64_t size) {
    return offset <= size && length <= size - offset;
}

} // namespace daemonary::bytes
