#include "inspector/ServiceActionButtons.h"

#include "Log.h"
#include "style/ButtonStyle.h"
#include "style/SymbolIcon.h"

#include <QCoreApplication>
#include <QFutureWatcher>
#include <QHBoxLayout>
#include <QPointer>
#include <QPushButton>
#include <QtConcurrent/QtConcurrentRun>

namespace daemonary {

namespace {

const QColor kDestructiveRed(255, 59, 48);

QPushButton* makeButton(const QString& objectName, QWidget* parent) {
    auto* button = new QPushButton(parent);
    button->setObjectName(objectName);
    return button;
}

void setSymbol(QPushButton& button, const QString& symbol, const QColor& color) {
    button.setIcon(SymbolIcon::icon(symbol, color));
}

// Runs work on the thread pool and hands its result to done on the GUI thread.
// The watcher belongs to the application, not to the buttons, so an action
// that outlives the buttons still reports.
template <typename Result, typename Work, typename Done>
void runInBackground(Work work, Done done) {
    auto* watcher = new QFutureWatcher<Result>(QCoreApplication::instance());
    QObject::connect(watcher, &QFutureWatcher<Result>::finished, watcher, [watcher, done] {
        done(watcher->result());
        watcher->deleteLater();
    });
    watcher->setFuture(QtConcurrent::run(std::move(work)));
}

} // namespace

ServiceActionButtons::ServiceActionButtons(const ServiceActionManager& actions,
                                           RefreshBinding refresh, QWidget* parent)
    : QWidget(parent), m_actions(actions), m_refresh(std::move(refresh)) {
    setObjectName(QStringLiteral("serviceActionButtons"));
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);

    m_reveal = makeButton(QStringLiteral("revealButton"), this);
    m_reveal->setText(tr("Reveal"));
    m_reveal->setAccessibleName(tr("Reveal"));
    m_toggle = makeButton(QStringLiteral("toggleButton"), this);
    m_remove = makeButton(QStringLiteral("removeButton"), this);
    m_remove->setText(tr("Remove"));
    m_remove->setAccessibleName(tr("Remove"));

    setSymbol(*m_reveal, QStringLiteral("folder"), palette().color(QPalette::ButtonText));
    glassButtonStyle(m_reveal);
    glassButtonStyle(m_toggle);
    glassButtonStyle(m_remove, true);
    // The destructive role: a red prominent button.
    QPalette red = m_remove->palette();
    for (const auto group : {QPalette::Active, QPalette::Inactive}) {
        red.setColor(group, QPalette::Button, kDestructiveRed);
        red.setColor(group, QPalette::ButtonText, Qt::white);
    }
    m_remove->setPalette(red);
    m_remove->setIcon(SymbolIcon::icon(QStringLiteral("trash"), Qt::white));

    row->addWidget(m_reveal, 0, Qt::AlignVCenter);
    row->addWidget(m_toggle, 0, Qt::AlignVCenter);
    row->addWidget(m_remove, 0, Qt::AlignVCenter);
    row->addStretch(1);

    connect(m_reveal, &QPushButton::clicked, this, &ServiceActionButtons::reveal);
    connect(m_toggle, &QPushButton::clicked, this, &ServiceActionButtons::toggle);
    connect(m_remove, &QPushButton::clicked, this, &ServiceActionButtons::remove);
    updateButtons();
}

void ServiceActionButtons::setItem(const LaunchItem& item) {
    m_item = item;
    updateButtons();
}

void ServiceActionButtons::updateButtons() {
    const bool running = m_item.pid.has_value();
    const QString title = running ? tr("Stop") : tr("Start");
    m_toggle->setText(title);
    m_toggle->setAccessibleName(title);
    setSymbol(*m_toggle, running ? QStringLiteral("stop.fill") : QStringLiteral("play.fill"),
              palette().color(QPalette::ButtonText));
    m_toggle->setEnabled(m_item.type == ServiceType::launchAgent);
    m_remove->setEnabled(m_item.scope == LaunchScope::user);
}

void ServiceActionButtons::reveal() {
    // Only asks the file manager; nothing here waits on it.
    m_actions.revealService(m_item);
}

void ServiceActionButtons::toggle() {
    QPointer<ServiceActionButtons> self(this);
    const RefreshBinding refresh = m_refresh;
    runInBackground<ActionResult>(
        [actions = m_actions, item = m_item] { return actions.toggleService(item); },
        [self, refresh](const ActionResult& error) {
            if (error) {
                Log::line("Failed to toggle service: " + error->text());
            } else {
                refresh.flip();
            }
            if (self) {
                emit self->actionFinished(!error);
            }
        });
}

void ServiceActionButtons::remove() {
    QPointer<ServiceActionButtons> self(this);
    const RefreshBinding refresh = m_refresh;
    // Removal may move files and wait for osascript, so it runs in the
    // background and only reports there whether the lists need reloading.
    runInBackground<bool>(
        [actions = m_actions, item = m_item] {
            bool refreshed = false;
            actions.removeService(item, [&refreshed] { refreshed = true; });
            return refreshed;
        },
        [self, refresh](bool refreshed) {
            if (refreshed) {
                refresh.flip();
            }
            if (self) {
                emit self->actionFinished(refreshed);
            }
        });
}

} // namespace daemonary
