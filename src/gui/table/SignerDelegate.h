#pragma once

#include <QStyledItemDelegate>

namespace daemonary {

// Draws a Signed By cell as the signer's names, organisation first, after its
// class in small secondary type ("Developer ID  Northwind Traders (N7W4D2TR8S)").
// The class is never elided away, so a narrow cell cannot make one class look
// like another; the names give way, in the middle, only when they must.
class SignerDelegate : public QStyledItemDelegate {
    Q_OBJECT

public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;

    static constexpr int kPrefixSpacing = 5;
};

} // namespace daemonary
