#pragma once

#include "model/LaunchItem.h"

#include <QString>

namespace daemonary {

// The texts a search looks at, converted once per load rather than per keystroke.
struct ServiceSearch {
    QString label;
    QString executablePath; // empty when the record has none

    static ServiceSearch of(const LaunchItem& item);

    // The one containment test shared by the table filter and the sidebar counts:
    // case-insensitive, on the label or the executable path (never the
    // definition's own path). An empty text matches everything.
    bool matches(const QString& text) const;
};

} // namespace daemonary
