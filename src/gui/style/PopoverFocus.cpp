#include "style/PopoverFocus.h"

#include <QKeyEvent>
#include <QWidget>

namespace daemonary {

void PopoverFocus::enter(QWidget& popover) {
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
