#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace daemonary {

// Lines of a tool's text output. A line ends at "\n", "\r\n", a lone "\r",
// U+0085, U+2028 or U+2029; a terminator at the very end adds no empty line.
std::vector<std::string_view> splitLines(std::string_view text);
// The same lines one at a time, for output too large to list whole: takes the
// first line off `rest` into `line`; false when `rest` holds no more lines.
bool nextLine(std::string_view& rest, std::string_view& line);

// Decimal integers as the system tools print them: an optional "+" or "-",
// then digits only. Anything else, or a value out of range, is nothing.
std::optional<std::int32_t> parseDecimalInt32(std::string_view text);
std::optional<std::int64_t> parseDecimalInt64(std::string_view text);

// Trimming of UTF-8 text by Unicode white space: `trimWhitespace` leaves line
// breaks alone, `trimWhitespaceAndNewlines` removes them as well.
std::string_view trimWhitespace(std::string_view text);
std::string_view trimWhitespaceAndNewlines(std::string_view text);

// Pieces of a line separated by runs of white space (line breaks excluded);
// empty pieces are dropped. At most `maxPieces` are taken, so a caller that
// needs the first few columns does no work for the rest of a long line.
std::vector<std::string_view> splitAtWhitespace(std::string_view text,
                                                std::size_t maxPieces = SIZE_MAX);

// Process names and labels are compared ASCII-case-insensitively.
std::string asciiLowercased(std::string_view text);

} // namespace daemonary
