#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace daemonary {

enum class ByteOrder { bigEndian, littleEndian };

// UTF-16 and UTF-32 code units to UTF-8. Nothing for malformed input: a byte
// count that is not a whole number of units, an unpaired surrogate, or a code
// point beyond U+10FFFF. A hand-written decoder rather than iconv, whose
// treatment of these cases differs between the C libraries.
std::optional<std::string> utf8FromUtf16(std::string_view bytes, ByteOrder order);
std::optional<std::string> utf8FromUtf32(std::string_view bytes, ByteOrder order);

// Text files saved by some editors start with a byte-order mark: a UTF-8 one
// is dropped, UTF-16 and UTF-32 ones (either byte order) are converted to
// UTF-8 without the mark. Bytes without a mark come back unchanged; nothing
// when a marked text is malformed.
std::optional<std::string> utf8FromMarkedText(std::string_view bytes);

// Whether the bytes start with any byte-order mark utf8FromMarkedText knows.
bool startsWithByteOrderMark(std::string_view bytes);

} // namespace daemonary
