#include "style/ViewStyle.h"

#include <QApplication>
#include <QFontDatabase>
#include <QStyle>

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

QFont ViewStyle::body() {
    return QApplication::font();
}

QFont ViewStyle::monospacedBody() {
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    // Asked for explicitly, so that a theme without a fixed font, or a
    // missing family, still falls back to a monospaced one.
    font.setStyleHint(QFont::Monospace);
    font.setFixedPitch(true);
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
