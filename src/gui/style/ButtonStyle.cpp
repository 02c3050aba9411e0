#include "style/ButtonStyle.h"

#include <QAbstractButton>

namespace daemonary {

QAbstractButton* glassButtonStyle(QAbstractButton* button, bool prominent) {
    // Recorded so tests and style sheets can tell the variants apart.
    if (button != nullptr) {
        button->setProperty("prominent", prominent);
    }
    return button;
}

} // namespace daemonary
