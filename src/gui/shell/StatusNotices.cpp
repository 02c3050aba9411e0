#include "shell/StatusNotices.h"

#include <QThread>

namespace daemonary {

void StatusNotices::post(const QString& text) {
    if (QThread::currentThread() == thread()) {
        emit posted(text);
        return;
    }
    QMetaObject::invokeMethod(
        this, [this, text] { emit posted(text); }, Qt::QueuedConnection);
}

} // namespace daemonary
