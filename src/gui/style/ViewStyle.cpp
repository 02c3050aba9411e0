#include "style/ViewStyle.h"

#include <QApplication>
#include <QFontDatabase>
#include <QStyle>
#include <algorithm>
#include <cmath>

namespace daemonary {

namespace {

QColor withAlpha(QColor color, double alpha) {
    color.setAlphaF(static_cast<float>(alpha));
    return color;
}

} // namespace

QColor ViewStyle::primary(const QPalette& palette) {
    return palette.color(QPalette::Text);
}

// Label colours as translucent text, like the secondary and tertiary label
// colours of the platform this interface was drawn for.
QColor ViewStyle::secondary(const QPalette& palette) {
    return withAlpha(palette.color(QPalette::Text), 0.55);
}

QColor ViewStyle::tertiary(const QPalette& palette) {
    return withAlpha(palette.color(QPalette::Text), 0.32);
}

QColor ViewStyle::activeGreen() {
    return QColor(52, 199, 89);
}

QColor ViewStyle::inactiveGray() {
    return QColor(142, 142, 147);
}

QColor ViewStyle::destructiveText(const QPalette& palette) {
    const QColor red(255, 59, 48);
    const QColor background = palette.color(QPalette::Active, QPalette::Button);
    const QColor text = palette.color(QPalette::Active, QPalette::ButtonText);
    constexpr int kSteps = 10;
    for (int step = 0; step <= kSteps; ++step) {
        const double toward = static_cast<double>(step) / kSteps;
        const auto mix = [toward](int from, int to) {
            return static_cast<int>(from + (to - from) * toward + 0.5);
        };
        const QColor candidate(mix(red.red(), text.red()), mix(red.green(), text.green()),
                               mix(red.blue(), text.blue()));
        if (contrastRatio(candidate, background) >= kReadableContrast) {
            return candidate;
        }
    }
    return text;
}

double ViewStyle::contrastRatio(const QColor& first, const QColor& second) {
    const auto luminance = [](const QColor& color) {
        const auto channel = [](double value) {
            return value <= 0.03928 ? value / 12.92 : std::pow((value + 0.055) / 1.055, 2.4);
        };
        return 0.2126 * channel(color.redF()) + 0.7152 * channel(color.greenF()) +
               0.0722 * channel(color.blueF());
    };
    const double a = luminance(first);
    const double b = luminance(second);
    return (std::max(a, b) + 0.05) / (std::min(a, b) + 0.05);
}

QFont ViewStyle::body() {
    return QApplication::font();
}

QFont ViewStyle::monospacedBody() {
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    const QFont bodyFont = body();
    if (bodyFont.pointSizeF() > 0) {
        font.setPointSizeF(bodyFont.pointSizeF());
    }
    return font;
}

QFont ViewStyle::caption() {
    QFont font = body();
    if (font.pointSizeF() > 0) {
        font.setPointSizeF(font.pointSizeF() * 0.85);
    }
    return font;
}

QFont ViewStyle::title() {
    QFont font = body();
    if (font.pointSizeF() > 0) {
        font.setPointSizeF(font.pointSizeF() * 1.4);
    }
    font.setBold(true);
    return font;
}

int ViewStyle::defaultMargin() {
    if (QApplication::style() != nullptr) {
        return QApplication::style()->pixelMetric(QStyle::PM_LayoutLeftMargin);
    }
    return 11;
}

} // namespace daemonary
