#include "window/SidebarDelegate.h"

#include "style/ViewStyle.h"
#include "window/SidebarModel.h"

#include <QApplication>
#include <QFontMetrics>
#include <QPainter>
#include <algorithm>

namespace daemonary {

void SidebarDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                            const QModelIndex& index) const {
    const QString badge = index.data(SidebarModel::BadgeRole).toString();
    const QFont captionFont = ViewStyle::caption();
    const int badgeWidth =
        badge.isEmpty() ? 0 : QFontMetrics(captionFont).horizontalAdvance(badge) + kBadgeSpacing;

    QStyledItemDelegate::paint(painter, option, index);
    if (index.data(SidebarModel::ChangeCountRole).toInt() > 0) {
        paintChangeDot(painter, option, index);
    }
    if (badge.isEmpty()) {
        return;
    }

    const QRect badgeRect =
        option.rect.adjusted(option.rect.width() - badgeWidth, 0, -kBadgeSpacing, 0);
    painter->save();
    painter->setFont(captionFont);
    const bool selected = option.state.testFlag(QStyle::State_Selected);
    painter->setPen(selected ? option.palette.color(QPalette::HighlightedText)
                             : ViewStyle::secondary(option.palette));
    painter->drawText(badgeRect, Qt::AlignRight | Qt::AlignVCenter, badge);
    painter->restore();
}

void SidebarDelegate::paintChangeDot(QPainter* painter, const QStyleOptionViewItem& option,
                                     const QModelIndex& index) const {
    QStyleOptionViewItem item(option);
    initStyleOption(&item, index);
    const QStyle* style = item.widget != nullptr ? item.widget->style() : QApplication::style();
    const QRect text = style->subElementRect(QStyle::SE_ItemViewItemText, &item, item.widget);
    const int x = text.left() + item.fontMetrics.horizontalAdvance(item.text) + kBadgeSpacing;
    const QRectF dot(x, text.center().y() - kChangeDotSize / 2.0, kChangeDotSize, kChangeDotSize);
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing);
    painter->setPen(Qt::NoPen);
    const bool selected = option.state.testFlag(QStyle::State_Selected);
    painter->setBrush(selected ? option.palette.color(QPalette::HighlightedText)
                               : QColor(255, 149, 0));
    painter->drawEllipse(dot);
    painter->restore();
}

QSize SidebarDelegate::sizeHint(const QStyleOptionViewItem& option,
                                const QModelIndex& index) const {
    QSize size = QStyledItemDelegate::sizeHint(option, index);
    const QString badge = index.data(SidebarModel::BadgeRole).toString();
    if (!badge.isEmpty()) {
        size.rwidth() +=
            QFontMetrics(ViewStyle::caption()).horizontalAdvance(badge) + 2 * kBadgeSpacing;
    }
    size.setHeight(std::max(size.height(), 28));
    return size;
}

} // namespace daemonary
