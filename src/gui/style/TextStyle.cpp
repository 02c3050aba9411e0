#include "style/TextStyle.h"

#include "style/ViewStyle.h"

#include <QPalette>
#include <QWidget>

namespace daemonary {

namespace {

QFont scaled(QFont font, double factor) {
    if (font.pointSizeF() > 0) {
        font.setPointSizeF(font.pointSizeF() * factor);
    } else if (font.pixelSize() > 0) {
        font.setPixelSize(qMax(1, qRound(font.pixelSize() * factor)));
    }
    return font;
}

} // namespace

QFont TextStyle::title2() {
    return scaled(ViewStyle::body(), 1.3);
}
QFont TextStyle::headline() {
    return withWeight(ViewStyle::body(), QFont::Bold);
}
QFont TextStyle::subheadline() {
    return scaled(ViewStyle::body(), 0.92);
}
QFont TextStyle::caption2() {
    return scaled(ViewStyle::body(), 0.8);
}
QFont TextStyle::monospacedCaption() {
    return scaled(ViewStyle::monospacedBody(), 0.85);
}

QFont TextStyle::withWeight(QFont font, QFont::Weight weight) {
    font.setWeight(weight);
    return font;
}

void TextStyle::setTextColor(QWidget& widget, const QColor& color) {
    QPalette palette = widget.palette();
    palette.setColor(QPalette::WindowText, color);
    palette.setColor(QPalette::Text, color);
    widget.setPalette(palette);
}

void TextStyle::setSecondary(QWidget& widget) {
    setTextColor(widget, ViewStyle::secondary(widget.palette()));
}

} // namespace daemonary
