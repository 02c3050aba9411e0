#pragma once

#include <QColor>
#include <QFont>
#include <QPalette>

namespace daemonary {

// The few text styles of the interface, taken from the widget's palette so that
// dark and light themes both work.
struct ViewStyle {
    static QColor primary(const QPalette& palette);
    static QColor secondary(const QPalette& palette);
    static QColor tertiary(const QPalette& palette);
    static QColor activeGreen();
    static QColor inactiveGray();

    static QFont body();
    static QFont monospacedBody();
    static QFont caption();
    static QFont title();

    // The platform's default layout margin, in points.
    static int defaultMargin();
};

} // namespace daemonary
