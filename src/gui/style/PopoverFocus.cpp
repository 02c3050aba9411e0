#include "style/PopoverFocus.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QWidget>

namespace daemonary {

namespace {

// Watches the whole application only while its popover is shown.
class OutsidePressCloser : public QObject {
public:
    OutsidePressCloser(QWidget& popover, std::function<QWidget*()> anchor)
        : QObject(&popover), m_popover(popover), m_anchor(std::move(anchor)) {
        popover.installEventFilter(this);
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched == &m_popover) {
            if (event->type() == QEvent::Show) {
                QCoreApplication::instance()->installEventFilter(this);
            } else if (event->type() == QEvent::Hide) {
                QCoreApplication::instance()->removeEventFilter(this);
            }
            return false;
        }
        if (event->type() == QEvent::ApplicationStateChange &&
            QGuiApplication::applicationState() != Qt::ApplicationActive) {
            m_popover.hide();
            return false;
        }
        if (event->type() != QEvent::MouseButtonPress || !watched->isWidgetType()) {
            return false;
        }
        auto* target = static_cast<QWidget*>(watched);
        if (target == &m_popover || m_popover.isAncestorOf(target)) {
            return false;
        }
        m_popover.hide();
        QWidget* anchor = m_anchor ? m_anchor() : nullptr;
        return anchor != nullptr && (target == anchor || anchor->isAncestorOf(target));
    }

private:
    QWidget& m_popover;
    std::function<QWidget*()> m_anchor;
};

} // namespace

void PopoverFocus::install(QWidget& popover, std::function<QWidget*()> anchor) {
    popover.setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint);
    new OutsidePressCloser(popover, std::move(anchor));
}

void PopoverFocus::enter(QWidget& popover) {
    // Its window takes the keyboard only once it is the active one.
    popover.activateWindow();
    for (QWidget* next = popover.nextInFocusChain(); next != nullptr && next != &popover;
         next = next->nextInFocusChain()) {
        if (popover.isAncestorOf(next) && next->isEnabled() && next->isVisibleTo(&popover) &&
            (next->focusPolicy() & Qt::TabFocus) == Qt::TabFocus) {
            next->setFocus(Qt::PopupFocusReason);
            return;
        }
    }
    popover.setFocus(Qt::PopupFocusReason);
}

bool PopoverFocus::closeOnCancel(QWidget& popover, QKeyEvent* event, QWidget* anchor) {
    if (event == nullptr || !event->matches(QKeySequence::Cancel)) {
        return false;
    }
    event->accept();
    popover.hide();
    if (anchor != nullptr && anchor->isVisible()) {
        anchor->activateWindow();
        anchor->setFocus(Qt::PopupFocusReason);
    }
    return true;
}

} // namespace daemonary
