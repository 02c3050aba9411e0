#pragma once

#include <QHash>
#include <QPixmap>
#include <QStyledItemDelegate>

namespace daemonary {

// Draws a Signed By cell as the signer's names, organisation first, after its
// class: a Developer ID as a small seal (the column is narrow beside the
// inspector), any other class that carries names as its word in small
// secondary type ("Unknown  Northwind Traders (N7W4D2TR8S)"). The class is
// never elided away, so a narrow cell cannot make one class look like another;
// the names give way, in the middle, only when they must.
class SignerDelegate : public QStyledItemDelegate {
    Q_OBJECT

public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;

    static constexpr int kPrefixSpacing = 5;
    static constexpr int kSealSize = 12;

private:
    // The prefix's width for this cell.
    static int prefixWidth(const QModelIndex& index);
    QPixmap sealPixmap(const QColor& color, qreal ratio) const;

    mutable QHash<QString, QPixmap> m_seals;
};

} // namespace daemonary
