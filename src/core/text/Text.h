#pragma once

// Text as it comes from files and tools, made safe to show and to store.

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace daemonary {

// Invalid UTF-8 as U+FFFD (one per maximal invalid sequence); C0 controls
// but tab, and DEL, as their visible symbols (U+2400...); C1 controls and
// bidirectional overrides as "\u{85}"-style escapes, so a label, a path or a
// log line cannot reorder, hide or erase what follows on a terminal.
std::string displayableText(std::string_view bytes);

// Quotes one word for a POSIX shell: unchanged when it holds only characters
// no shell treats specially, else in single quotes ('\'' for a quote).
std::string shellQuoted(std::string_view word);

// Strict UTF-8: the text itself when every byte sequence is valid, nothing
// otherwise (never a repaired or partial text).
std::optional<std::string> decodeUtf8(std::string_view bytes);

// One code point (at most U+10FFFF) as UTF-8.
void appendUtf8(std::string& out, char32_t code);

// "2026-12-07T13:00:00Z"
std::string formatUtcTimestamp(std::chrono::system_clock::time_point time);
// Only the form formatUtcTimestamp writes.
std::optional<std::chrono::system_clock::time_point> parseUtcTimestamp(std::string_view text);

} // namespace daemonary
