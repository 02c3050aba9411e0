#pragma once

#include <QStyledItemDelegate>

namespace daemonary {

// Draws a sidebar row as icon and title with the count badge at the trailing
// edge, in the caption font and the secondary colour.
class SidebarDelegate : public QStyledItemDelegate {
    Q_OBJECT

public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;

private:
    static constexpr int kBadgeSpacing = 8;
};

} // namespace daemonary
