#pragma once

#include <QAbstractButton>

namespace daemonary {

// The chevron at the start of a container's header: pointing right when the
// container is closed, turned a quarter clockwise (down) when it is open. It
// only shows the flag; its owner decides what a click does.
class DisclosureButton : public QAbstractButton {
    Q_OBJECT

public:
    explicit DisclosureButton(QWidget* parent = nullptr);

    bool isExpanded() const { return m_expanded; }
    void setExpanded(bool expanded);

    // Degrees the chevron is turned: 0 closed, 90 open.
    int rotation() const { return m_expanded ? 90 : 0; }

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    bool m_expanded = false;
};

} // namespace daemonary
