#pragma once

#include "platform/ToolRunner.h"

#include <QFrame>
#include <QPointer>
#include <chrono>
#include <optional>
#include <string>

class QPlainTextEdit;

namespace daemonary {

// The code-signing report of one file in a popover that closes on a click
// outside it. The text is the owner's: the popover only shows it.
class CodesignPopover : public QFrame {
    Q_OBJECT

public:
    static constexpr int kMinimumWidth = 600;
    static constexpr int kMinimumHeight = 400;

    explicit CodesignPopover(QWidget* parent = nullptr);

    QString text() const;
    void setText(const QString& text);

    // Opens below the anchor (above it when there is no room below), with the
    // focus on the report; Escape closes it and focuses the anchor again.
    void popup(QWidget* anchor);

    // Runs "codesign -dv --verbose=4 target" and returns what it wrote to
    // standard error, the report, whatever its exit status (an unsigned file
    // gives the tool's own complaint). "Failed to run codesign: ..." when the
    // tool cannot be started or does not answer within the time limit;
    // nothing when the report is not UTF-8. Blocks until the tool exits or is
    // killed; the report may be of any size. The options come from the
    // host's layout, so a layout that refuses tools (a Mac's disk) refuses
    // this run too.
    static std::optional<QString> runCodesign(const std::string& codesign,
                                              const std::string& target, ToolOptions options);

signals:
    void closed();

protected:
    void hideEvent(QHideEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    QPlainTextEdit* m_report = nullptr;
    QPointer<QWidget> m_anchor;
};

} // namespace daemonary
