#pragma once

#include <functional>

class QKeyEvent;
class QWidget;

namespace daemonary {

// Keyboard and screen-reader access to a popover: opening it puts the focus on
// its first control, so it is announced and can be used at once; Escape
// closes it and gives the focus back to the control that opened it.
class PopoverFocus {
public:
    PopoverFocus() = delete;

    // Makes the popover a frameless dialog window that closes on a press
    // outside it and when the application goes to the background. Not a
    // Qt::Popup: Qt leaves popups out of the application's accessibility
    // tree, where a screen reader looks for windows. A press on the anchor
    // (asked for when it happens) only closes the popover, so the anchor's
    // own click does not open it again. Call once, from the constructor.
    static void install(QWidget& popover, std::function<QWidget*()> anchor);

    // Focuses the first enabled, shown control of the popover that takes the
    // focus by keyboard, else the popover itself.
    static void enter(QWidget& popover);

    // Closes the popover and focuses `anchor` (when there is one) if the event
    // is the platform's cancel key; true when it was.
    static bool closeOnCancel(QWidget& popover, QKeyEvent* event, QWidget* anchor);
};

} // namespace daemonary
