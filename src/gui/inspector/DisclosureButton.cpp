#include "inspector/DisclosureButton.h"

#include "style/SymbolIcon.h"
#include "style/TextStyle.h"
#include "style/ViewStyle.h"

#include <QEvent>
#include <QFontMetrics>
#include <QPainter>

namespace daemonary {

DisclosureButton::DisclosureButton(QWidget* parent) : QAbstractButton(parent) {
    setObjectName(QStringLiteral("disclosureButton"));
    setFocusPolicy(Qt::TabFocus);
    setCursor(Qt::PointingHandCursor);
    setFont(TextStyle::caption2());
    setIcon(SymbolIcon::icon(QStringLiteral("chevron.right"), ViewStyle::secondary(palette())));
    setAccessibleDescription(tr("Collapsed"));
}

void DisclosureButton::changeEvent(QEvent* event) {
    QAbstractButton::changeEvent(event);
    if (event->type() == QEvent::PaletteChange) {
        setIcon(SymbolIcon::icon(QStringLiteral("chevron.right"), ViewStyle::secondary(palette())));
    }
}

void DisclosureButton::setExpanded(bool expanded) {
    if (expanded == m_expanded) {
        return;
    }
    m_expanded = expanded;
    setAccessibleDescription(expanded ? tr("Expanded") : tr("Collapsed"));
    update();
}

QSize DisclosureButton::sizeHint() const {
    const int side = QFontMetrics(font()).height();
    return {side, side};
}

void DisclosureButton::paintEvent(QPaintEvent* /*event*/) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const int side = qMin(width(), height());
    const QRectF square((width() - side) / 2.0, (height() - side) / 2.0, side, side);
    painter.translate(square.center());
    painter.rotate(rotation());
    painter.translate(-square.center());
    icon().paint(&painter, square.toRect());
    if (hasFocus()) {
        painter.resetTransform();
        painter.setPen(QPen(palette().color(QPalette::Highlight), 1));
        painter.drawRect(rect().adjusted(0, 0, -1, -1));
    }
}

} // namespace daemonary
