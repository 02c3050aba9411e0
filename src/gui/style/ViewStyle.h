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
    // Text of a destructive control (Remove) on the palette's button colour:
    // the platform's red, moved toward the button text colour only as far as
    // needed to be readable (a contrast of at least kReadableContrast).
    static QColor destructiveText(const QPalette& palette);
    // The contrast ratio of two colours as accessibility guidelines define
    // it, from 1 (none) to 21 (black on white).
    static double contrastRatio(const QColor& first, const QColor& second);
    static constexpr double kReadableContrast = 4.5;

    static QFont body();
    static QFont monospacedBody();
    static QFont caption();
    static QFont title();

    // The platform's default layout margin, in points.
    static int defaultMargin();
};

} // namespace daemonary
