#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace daemonary {

class PlistValue;

// Keys ordered by UTF-8 bytes, which is code-point order.
using PlistDictionary = std::map<std::string, PlistValue>;
using PlistArray = std::vector<PlistValue>;

// Seconds since 2001-01-01 00:00:00 UTC, as property lists keep dates.
struct PlistDate {
    double secondsSinceReferenceDate = 0;
    bool operator==(const PlistDate&) const = default;
};

struct PlistData {
    std::string bytes;
    bool operator==(const PlistData&) const = default;
};

class PlistValue {
public:
    using Storage = std::variant<PlistDictionary, PlistArray, std::string, std::int64_t, double,
                                 bool, PlistDate, PlistData>;

    PlistValue() : m_storage(PlistDictionary{}) {}
    template <typename T>
    requires std::is_constructible_v<Storage, T&&> PlistValue(T&& value)
        : m_storage(std::forward<T>(value)) {}

    const Storage& storage() const { return m_storage; }

    const PlistDictionary* dictionary() const { return std::get_if<PlistDictionary>(&m_storage); }
    const PlistArray* array() const { return std::get_if<PlistArray>(&m_storage); }
    const std::string* string() const { return std::get_if<std::string>(&m_storage); }
    const std::int64_t* integer() const { return std::get_if<std::int64_t>(&m_storage); }
    const double* real() const { return std::get_if<double>(&m_storage); }
    const bool* boolean() const { return std::get_if<bool>(&m_storage); }
    const PlistDate* date() const { return std::get_if<PlistDate>(&m_storage); }
    const PlistData* data() const { return std::get_if<PlistData>(&m_storage); }

    // The value's plain textual form: strings as themselves, integers in
    // decimal, reals in their shortest round-trip form, booleans as true/false, dates
    // as "2024-03-05 06:07:08 +0000", data as "<deadbeef 0102>" (hex, grouped
    // by four bytes), dictionaries as "{N items}" and arrays as "(N items)" ("1 item" for one).
    std::string description() const;

    bool operator==(const PlistValue&) const = default;

private:
    Storage m_storage;
};

// Real definitions nest a few levels; anything deeper is treated as hostile.
inline constexpr std::size_t kMaxPlistDepth = 256;

// Parses XML or binary property lists. XML text may start with a byte-order
// mark and then be UTF-8, UTF-16 or UTF-32 (malformed text is unparsable).
// Input that nests deeper than kMaxPlistDepth, binary input whose object
// graph is malformed, cyclic or expands beyond a fixed size, and anything the
// library rejects, is unparsable (nothing). Integers are signed 64-bit
// (larger unsigned values wrap); UIDs read as integers.
std::optional<PlistValue> parsePropertyList(std::string_view bytes);

} // namespace daemonary
