#pragma once

class QAbstractButton;

namespace daemonary {

// The one place that decides how action and toolbar buttons are drawn. The
// glass look belongs to systems newer than any we build for, so every build
// keeps the platform's own button; callers still go through here so that a
// future style changes in one place. Returns the button it was given.
QAbstractButton* glassButtonStyle(QAbstractButton* button, bool prominent = false);

} // namespace daemonary
