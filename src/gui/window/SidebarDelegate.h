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
    // The dot after the title of a category with changes since the baseline.
    void paintChangeDot(QPainter* painter, const QStyleOptionViewItem& option,
                        const QModelIndex& index) const;

    static constexpr int kBadgeSpacing = 8;
    static constexpr int kChangeDotSize = 7;
};

} // namespace daemonary
