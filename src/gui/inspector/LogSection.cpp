#include "inspector/LogSection.h"

#include "style/SymbolIcon.h"
#include "style/TextStyle.h"
#include "style/ViewStyle.h"
#include "text/Text.h"

#include <QDateTime>
#include <QFontMetrics>
#include <QFrame>
#include <QFutureWatcher>
#include <QHBoxLayout>
#include <QLabel>
#include <QLocale>
#include <QPlainTextEdit>
#include <QTextCursor>
#include <QToolButton>
#include <QVBoxLayout>
#include <QtConcurrent/QtConcurrentRun>
#include <algorithm>

namespace daemonary {

namespace {

constexpr int kSectionSpacing = 16;
constexpr int kLogSpacing = 6;
constexpr int kTailVisibleLines = 10;
constexpr int kRevealIconSide = 16;

QLabel* plainLabel(const QString& text, const QFont& font, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setFont(font);
    label->setTextFormat(Qt::PlainText);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    return label;
}

QString streamsText(const std::vector<std::string>& keys) {
    const bool out = std::find(keys.begin(), keys.end(), "StandardOutPath") != keys.end();
    const bool error = std::find(keys.begin(), keys.end(), "StandardErrorPath") != keys.end();
    if (out && error) {
        return LogSection::tr("Standard output and error");
    }
    return out ? LogSection::tr("Standard output") : LogSection::tr("Standard error");
}

QString stateText(const LogReport& report) {
    switch (report.tail.state) {
    case LogState::present:
        break;
    case LogState::missing:
        return LogSection::tr("No log file yet");
    case LogState::notRegularFile:
        return LogSection::tr("Not a regular file, not read");
    case LogState::unreadable:
        return LogSection::tr("Cannot be read");
    case LogState::invalidPath:
        return QString::fromStdString(displayableText(logStateText(report.tail, report.file)));
    }
    return {};
}

} // namespace

LogSection::LogSection(const ServiceActionManager& actions, HostLayout layout, QWidget* parent)
    : QWidget(parent), m_actions(actions), m_layout(std::move(layout)) {
    setObjectName(QStringLiteral("logSection"));
    // Log reads are short (a bounded tail of a regular file), one at a time.
    m_pool.setMaxThreadCount(1);

    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(kSectionSpacing);
    auto* line = new QFrame(this);
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);
    column->addWidget(line);
    auto* heading = plainLabel(tr("Logs"), TextStyle::headline(), this);
    heading->setObjectName(QStringLiteral("logHeading"));
    column->addWidget(heading);

    m_logs = new QWidget(this);
    m_logs->setObjectName(QStringLiteral("logList"));
    m_logsLayout = new QVBoxLayout(m_logs);
    m_logsLayout->setContentsMargins(0, 0, 0, 0);
    m_logsLayout->setSpacing(kSectionSpacing);
    column->addWidget(m_logs);
    hide();
}

// The pool waits for a read still running; its result goes nowhere.
LogSection::~LogSection() = default;

void LogSection::clear() {
    ++m_request;
    m_loading = false;
    m_reports.clear();
    while (QLayoutItem* entry = m_logsLayout->takeAt(0)) {
        delete entry->widget();
        delete entry;
    }
    hide();
}

void LogSection::setDefinition(const std::optional<PlistDictionary>& definition, bool userAgent) {
    clear();
    if (!definition || (definition->find("StandardOutPath") == definition->end() &&
                        definition->find("StandardErrorPath") == definition->end())) {
        return;
    }
    const std::uint64_t request = m_request;
    m_loading = true;
    auto* watcher = new QFutureWatcher<std::vector<LogReport>>(this);
    connect(watcher, &QFutureWatcher<std::vector<LogReport>>::finished, this,
            [this, watcher, request] {
                watcher->deleteLater();
                if (request != m_request) {
                    return;
                }
                m_loading = false;
                showReports(watcher->result());
            });
    watcher->setFuture(
        QtConcurrent::run(&m_pool, [definition = *definition, layout = m_layout, userAgent] {
            return readLogs(definition, layout, userAgent);
        }));
}

void LogSection::showReports(std::vector<LogReport> reports) {
    m_reports = std::move(reports);
    for (std::size_t i = 0; i < m_reports.size(); ++i) {
        m_logsLayout->addWidget(makeLogView(m_reports[i], static_cast<int>(i)));
    }
    setVisible(!m_reports.empty());
    emit logsLoaded();
}

QWidget* LogSection::makeLogView(const LogReport& report, int index) {
    auto* view = new QWidget(m_logs);
    view->setObjectName(QStringLiteral("logView%1").arg(index));
    auto* column = new QVBoxLayout(view);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(kLogSpacing);

    const QString path = QString::fromStdString(
        displayableText(report.file.path.empty() ? report.file.keys.front() : report.file.path));
    const QString streams = streamsText(report.file.keys);

    auto* titleRow = new QHBoxLayout();
    titleRow->setContentsMargins(0, 0, 0, 0);
    auto* title =
        plainLabel(streams, TextStyle::withWeight(ViewStyle::body(), QFont::Medium), view);
    title->setObjectName(QStringLiteral("logStreams"));
    titleRow->addWidget(title);
    titleRow->addStretch(1);

    auto* reveal = new QToolButton(view);
    reveal->setObjectName(QStringLiteral("logRevealButton"));
    reveal->setAccessibleName(tr("Reveal %1 log").arg(streams.toLower()));
    reveal->setToolTip(TextStyle::plainToolTip(tr("Reveal %1 in the file manager").arg(path)));
    reveal->setAutoRaise(true);
    reveal->setIcon(
        SymbolIcon::icon(QStringLiteral("folder"), palette().color(QPalette::ButtonText)));
    reveal->setIconSize(QSize(kRevealIconSide, kRevealIconSide));
    // Nothing to show in the file manager for a file that is not there.
    reveal->setEnabled(report.tail.state != LogState::missing &&
                       report.tail.state != LogState::invalidPath);
    connect(reveal, &QToolButton::clicked, this,
            [this, location = report.file.location] { m_actions.revealFile(location); });
    titleRow->addWidget(reveal);
    column->addLayout(titleRow);

    auto* pathLabel = plainLabel(path, ViewStyle::caption(), view);
    pathLabel->setObjectName(QStringLiteral("logPath"));
    pathLabel->setAccessibleName(tr("Log path"));
    pathLabel->setWordWrap(true);
    column->addWidget(pathLabel);

    if (report.tail.state != LogState::present) {
        auto* state = plainLabel(stateText(report), ViewStyle::caption(), view);
        state->setObjectName(QStringLiteral("logState"));
        TextStyle::setSecondary(*state);
        column->addWidget(state);
        return view;
    }

    const QLocale locale;
    const QString modified = locale.toString(
        QDateTime::fromSecsSinceEpoch(report.tail.modifiedSeconds), QLocale::ShortFormat);
    auto* info = plainLabel(
        tr("%1, modified %2")
            .arg(locale.formattedDataSize(static_cast<qint64>(report.tail.size)), modified),
        ViewStyle::caption(), view);
    info->setObjectName(QStringLiteral("logInfo"));
    TextStyle::setSecondary(*info);
    column->addWidget(info);

    auto* tail = new QPlainTextEdit(view);
    tail->setObjectName(QStringLiteral("logTail"));
    tail->setAccessibleName(tr("Last lines of the %1 log").arg(streams.toLower()));
    tail->setReadOnly(true);
    tail->setLineWrapMode(QPlainTextEdit::NoWrap);
    tail->setFont(TextStyle::monospacedCaption());
    tail->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    QStringList lines;
    lines.reserve(static_cast<qsizetype>(report.tail.lines.size()));
    for (const std::string& line : report.tail.lines) {
        lines.append(QString::fromStdString(line));
    }
    tail->setPlainText(lines.join(QLatin1Char('\n')));
    if (lines.isEmpty()) {
        tail->setPlaceholderText(tr("The log is empty."));
    }
    const QFontMetrics metrics(tail->font());
    tail->setFixedHeight(
        metrics.lineSpacing() * kTailVisibleLines +
        2 * (tail->frameWidth() + static_cast<int>(tail->document()->documentMargin())));
    // The newest lines are what one looks for; starting the last line keeps
    // the view from scrolling sideways to its end.
    tail->moveCursor(QTextCursor::End);
    tail->moveCursor(QTextCursor::StartOfLine);
    column->addWidget(tail);
    return view;
}

} // namespace daemonary
