#pragma once

#include "model/LaunchItem.h"

#include <QString>

namespace daemonary {

// The texts a search looks at, converted once per load rather than per keystroke.
struct ServiceSearch {
    QString label;
    QString executablePath; // empty when the record has none
    // Case-folded once here, so that a keystroke over thousands of records
    // compares code units instead of folding every character of every record.
    QString foldedLabel;
    QString foldedExecutablePath;

    static ServiceSearch of(const LaunchItem& item);

    // The form of a search text that matchesFolded takes.
    static QString fold(const QString& text) { return text.toCaseFolded(); }

    // The one containment test shared by the table filter and the sidebar counts:
    // case-insensitive, on the label or the executable path (never the
    // definition's own path). An empty text matches everything.
    bool matches(const QString& text) const { return matchesFolded(fold(text)); }
    // The same for a text already folded with fold().
    bool matchesFolded(const QString& foldedText) const;
};

} // namespace daemonary
