#include "inspector/CodesignPopover.h"

#include "platform/ToolRunner.h"
#include "style/PopoverFocus.h"
#include "style/TextStyle.h"
#include "style/ViewStyle.h"
#include "table/ShownText.h"
#include "text/Text.h"

#include <QGuiApplication>
#include <QKeyEvent>
#include <QPlainTextEdit>
#include <QScreen>
#include <QVBoxLayout>

namespace daemonary {

CodesignPopover::CodesignPopover(QWidget* parent) : QFrame(parent) {
    PopoverFocus::install(*this, [this] { return m_anchor.data(); });
    setObjectName(QStringLiteral("codesignPopover"));
    setAccessibleName(tr("Code signing report"));
    setFrameShape(QFrame::StyledPanel);
    setMinimumSize(kMinimumWidth, kMinimumHeight);
    resize(kMinimumWidth, kMinimumHeight);

    // A plain-text view rather than a label: reports with long entitlement
    // lists run to megabytes, which it lays out lazily.
    m_report = new QPlainTextEdit(this);
    m_report->setObjectName(QStringLiteral("codesignOutput"));
    m_report->setAccessibleName(tr("Code signing report"));
    m_report->setReadOnly(true);
    m_report->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    m_report->setFont(TextStyle::monospacedCaption());
    m_report->setFrameShape(QFrame::NoFrame);
    m_report->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    const int margin = ViewStyle::defaultMargin();
    m_report->document()->setDocumentMargin(margin);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_report);
}

QString CodesignPopover::text() const {
    return m_report->toPlainText();
}

void CodesignPopover::setText(const QString& text) {
    m_report->setPlainText(text);
}

void CodesignPopover::popup(QWidget* anchor) {
    m_anchor = anchor;
    QPoint position = anchor->mapToGlobal(QPoint(0, anchor->height()));
    if (const QScreen* screen = anchor->screen()) {
        const QRect available = screen->availableGeometry();
        if (position.y() + height() > available.bottom()) {
            position.setY(anchor->mapToGlobal(QPoint(0, 0)).y() - height());
        }
        position.setX(qBound(available.left(), position.x(), available.right() - width()));
        position.setY(qMax(available.top(), position.y()));
    }
    move(position);
    show();
    PopoverFocus::enter(*this);
}

std::optional<QString> CodesignPopover::runCodesign(const std::string& codesign,
                                                    const std::string& target,
                                                    ToolOptions options) {
    // runTool drains the pipe while it waits, so a report larger than the
    // pipe buffer (long entitlement lists) cannot stall the tool.
    options.captureOutput = false;
    options.captureError = true;
    const std::chrono::milliseconds timeLimit = options.timeLimit.value_or(kDefaultToolTimeout);
    const ToolResult result = runTool(codesign, {"-dv", "--verbose=4", "--", target}, options);
    if (result.timedOut) {
        return QString::fromStdString(timedOutMessage("codesign", timeLimit));
    }
    if (result.launchError) {
        return tr("Failed to run codesign: %1")
            .arg(QString::fromStdString(result.launchError->description));
    }
    const std::optional<std::string> report = decodeUtf8(result.standardError);
    if (!report) {
        return std::nullopt;
    }
    // Line by line, so the report keeps its lines while a name in it that
    // holds controls or direction overrides is shown, not obeyed.
    QStringList lines;
    for (const QString& line : QString::fromStdString(*report).split(u'\n')) {
        lines.append(shownText(line));
    }
    return lines.join(u'\n');
}

void CodesignPopover::keyPressEvent(QKeyEvent* event) {
    if (!PopoverFocus::closeOnCancel(*this, event, m_anchor)) {
        QFrame::keyPressEvent(event);
    }
}

void CodesignPopover::hideEvent(QHideEvent* event) {
    QFrame::hideEvent(event);
    emit closed();
}

} // namespace daemonary
