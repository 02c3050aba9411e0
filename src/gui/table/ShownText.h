#pragma once

#include <QString>
#include <string_view>

namespace daemonary {

// Text from a file or a tool as the window shows it, in a cell, a label, a
// dialog or a tool tip: controls and newlines as their visible symbols,
// direction overrides and C1 controls as "\u{202E}"-style escapes (the same
// form the command line prints), invalid UTF-8 as U+FFFD. A label ending in
// U+202E "txt.exe" then reads as it is stored, and a path holding a newline
// stays on one line.
QString shownText(std::string_view bytes);
QString shownText(const QString& text);

} // namespace daemonary
