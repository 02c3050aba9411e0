#pragma once

#include <QLayout>
#include <QList>

namespace daemonary {

// Lays its widgets out left to right and starts a new line where the next
// one would not fit, so a row of buttons in a narrow pane wraps instead of
// being cut off. Its height follows its width.
class FlowLayout : public QLayout {
public:
    explicit FlowLayout(QWidget* parent = nullptr, int spacing = -1);
    ~FlowLayout() override;

    void addItem(QLayoutItem* item) override;
    int count() const override;
    QLayoutItem* itemAt(int index) const override;
    QLayoutItem* takeAt(int index) override;
    Qt::Orientations expandingDirections() const override;
    bool hasHeightForWidth() const override;
    int heightForWidth(int width) const override;
    QSize minimumSize() const override;
    QSize sizeHint() const override;
    void setGeometry(const QRect& rect) override;

private:
    int layOut(const QRect& rect, bool apply) const;
    int gap() const;

    QList<QLayoutItem*> m_items;
    int m_spacing;
};

} // namespace daemonary
