#include "table/SignerDelegate.h"

#include "style/SymbolIcon.h"
#include "style/ViewStyle.h"
#include "table/ServiceTableModel.h"

#include <QApplication>
#include <QFontMetrics>
#include <QPaintDevice>
#include <QPainter>

namespace daemonary {

namespace {

bool isDeveloperId(const QModelIndex& index) {
    const QVariant kind = index.data(ServiceTableModel::SignerKindRole);
    return kind.isValid() && kind.toInt() == static_cast<int>(SignerKind::developerId);
}

} // namespace

QPixmap SignerDelegate::sealPixmap(const QColor& color, qreal ratio) const {
    // Rendered from the symbol once per colour, not for every cell painted.
    const QString key = color.name(QColor::HexArgb) + QString::number(ratio);
    auto found = m_seals.constFind(key);
    if (found == m_seals.constEnd()) {
        found = m_seals.insert(
            key, SymbolIcon::pixmap(QStringLiteral("checkmark.seal"), color, kSealSize, ratio));
    }
    return found.value();
}

int SignerDelegate::prefixWidth(const QModelIndex& index) {
    return isDeveloperId(index)
               ? kSealSize
               : QFontMetrics(ViewStyle::caption())
                     .horizontalAdvance(index.data(ServiceTableModel::SignerClassRole).toString());
}

void SignerDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                           const QModelIndex& index) const {
    const QString prefix = index.data(ServiceTableModel::SignerClassRole).toString();
    if (prefix.isEmpty()) {
        QStyleOptionViewItem plain(option);
        initStyleOption(&plain, index);
        plain.text = index.data(ServiceTableModel::SignerNameRole).toString();
        const QStyle* style =
            plain.widget != nullptr ? plain.widget->style() : QApplication::style();
        style->drawControl(QStyle::CE_ItemViewItem, &plain, painter, plain.widget);
        return;
    }

    // The background and selection as usual, the text drawn here.
    QStyleOptionViewItem item(option);
    initStyleOption(&item, index);
    item.text.clear();
    const QStyle* style = item.widget != nullptr ? item.widget->style() : QApplication::style();
    style->drawControl(QStyle::CE_ItemViewItem, &item, painter, item.widget);
    const QRect text = style->subElementRect(QStyle::SE_ItemViewItemText, &item, item.widget);

    const bool selected = item.state.testFlag(QStyle::State_Selected);
    const QColor primary = selected ? item.palette.color(QPalette::HighlightedText)
                           : index.data(Qt::ForegroundRole).canConvert<QColor>()
                               ? index.data(Qt::ForegroundRole).value<QColor>()
                               : item.palette.color(QPalette::Text);
    QColor secondary = selected ? primary : ViewStyle::secondary(item.palette);

    painter->save();
    int usedWidth = 0;
    if (isDeveloperId(index)) {
        const QPixmap seal = sealPixmap(secondary, painter->device()->devicePixelRatioF());
        painter->drawPixmap(QPoint(text.left(), text.top() + (text.height() - kSealSize) / 2),
                            seal);
        usedWidth = kSealSize;
    } else {
        const QFont caption = ViewStyle::caption();
        const QFontMetrics captionMetrics(caption);
        const QString shownPrefix = captionMetrics.elidedText(prefix, Qt::ElideRight, text.width());
        usedWidth = captionMetrics.horizontalAdvance(shownPrefix);
        painter->setFont(caption);
        painter->setPen(secondary);
        painter->drawText(text, Qt::AlignLeft | Qt::AlignVCenter, shownPrefix);
    }

    const QRect nameRect = text.adjusted(usedWidth + kPrefixSpacing, 0, 0, 0);
    if (nameRect.width() > 0) {
        const QString name = index.data(ServiceTableModel::SignerNameRole).toString();
        painter->setFont(item.font);
        painter->setPen(primary);
        painter->drawText(nameRect, Qt::AlignLeft | Qt::AlignVCenter,
                          item.fontMetrics.elidedText(name, Qt::ElideMiddle, nameRect.width()));
    }
    painter->restore();
}

QSize SignerDelegate::sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const {
    QStyleOptionViewItem item(option);
    initStyleOption(&item, index);
    const QStyle* style = item.widget != nullptr ? item.widget->style() : QApplication::style();
    const int margin = style->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, item.widget) + 1;
    const QString prefix = index.data(ServiceTableModel::SignerClassRole).toString();
    int width = 2 * margin + item.fontMetrics.horizontalAdvance(
                                 index.data(ServiceTableModel::SignerNameRole).toString());
    if (!prefix.isEmpty()) {
        width += prefixWidth(index) + kPrefixSpacing;
    }
    return {width, QStyledItemDelegate::sizeHint(option, index).height()};
}

} // namespace daemonary
