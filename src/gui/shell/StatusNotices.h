#pragma once

#include <QObject>
#include <QString>

namespace daemonary {

// One-line news for the window's status bar from parts that have no window
// of their own (the workspace, when the file manager cannot be reached).
// Lives on the GUI thread; post() may be called from any thread.
class StatusNotices : public QObject {
    Q_OBJECT

public:
    using QObject::QObject;

    void post(const QString& text);

signals:
    void posted(const QString& text);
};

} // namespace daemonary
