#include "inspector/ServiceActionButtons.h"

#include "actions/ActionAvailability.h"
#include "platform/Log.h"
#include "shell/ToolRunPool.h"
#include "style/ButtonStyle.h"
#include "style/ConfirmationPrompt.h"
#include "style/FlowLayout.h"
#include "style/SymbolIcon.h"
#include "style/TextStyle.h"
#include "style/ViewStyle.h"
#include "table/ShownText.h"

#include <QClipboard>
#include <QCoreApplication>
#include <QEvent>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QToolButton>
#include <QVBoxLayout>

namespace daemonary {

namespace {

// What a person reads: launchctl's reason or what a missing file means, on
// one line.
QString failureReason(const ActionError& error) {
    return QString::fromStdString(Log::singleLine(error.reason()));
}

QPushButton* makeButton(const QString& objectName, QWidget* parent) {
    auto* button = new QPushButton(parent);
    button->setObjectName(objectName);
    return button;
}

void setSymbol(QPushButton& button, const QString& symbol, const QColor& color) {
    button.setIcon(SymbolIcon::icon(symbol, color));
}

} // namespace

ServiceActionButtons::ServiceActionButtons(const ServiceActionManager& actions,
                                           RefreshBinding refresh, QWidget* parent)
    : QWidget(parent), m_actions(actions), m_refresh(std::move(refresh)) {
    setObjectName(QStringLiteral("serviceActionButtons"));
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    // Wraps in a narrow pane rather than cutting the last buttons off.
    auto* buttonRow = new QWidget(this);
    buttonRow->setObjectName(QStringLiteral("actionButtonRow"));
    auto* row = new FlowLayout(buttonRow);
    row->setContentsMargins(0, 0, 0, 0);
    column->addWidget(buttonRow);

    m_reveal = makeButton(QStringLiteral("revealButton"), this);
    m_reveal->setText(tr("Reveal"));
    m_reveal->setAccessibleName(tr("Reveal"));
    m_toggle = makeButton(QStringLiteral("toggleButton"), this);
    m_remove = makeButton(QStringLiteral("removeButton"), this);
    m_remove->setText(tr("Remove"));
    m_remove->setAccessibleName(tr("Remove"));

    glassButtonStyle(m_reveal);
    glassButtonStyle(m_toggle);
    glassButtonStyle(m_remove, true);
    // The destructive role: red text and a red trash symbol on the style's
    // own button. Not a red button face: several styles (the Mac's among
    // them) ignore a button colour but honour the text colour.
    m_remove->setProperty("destructive", true);

    m_disable = makeButton(QStringLiteral("disableButton"), this);
    glassButtonStyle(m_disable);
    for (QPushButton* button : {m_reveal, m_toggle, m_disable, m_remove}) {
        button->setParent(buttonRow);
        row->addWidget(button);
    }
    // Tab follows the row as it is drawn, not the order the buttons were made.
    setTabOrder(m_reveal, m_toggle);
    setTabOrder(m_toggle, m_disable);
    setTabOrder(m_disable, m_remove);

    const auto note = [this](const QString& objectName) {
        auto* label = new QLabel(this);
        label->setObjectName(objectName);
        label->setTextFormat(Qt::PlainText);
        label->setWordWrap(true);
        label->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
        return label;
    };
    const auto noteRow = [this, column](QLabel* label, QWidget* button) {
        auto* container = new QWidget(this);
        auto* layout = new QHBoxLayout(container);
        layout->setContentsMargins(0, 0, 0, 0);
        label->setParent(container);
        layout->addWidget(label, 1);
        button->setParent(container);
        layout->addWidget(button, 0, Qt::AlignTop);
        column->addWidget(container);
        container->hide();
        return container;
    };

    m_daemonNote = note(QStringLiteral("daemonDisableNote"));
    m_copyCommand = new QToolButton(this);
    m_copyCommand->setObjectName(QStringLiteral("copyAdminCommandButton"));
    m_copyCommand->setText(tr("Copy Command"));
    m_copyCommand->setAccessibleName(tr("Copy Command"));
    m_copyCommand->setToolTip(tr("Copy the command for Terminal"));
    m_daemonRow = noteRow(m_daemonNote, m_copyCommand);

    m_runningNote = note(QStringLiteral("stillRunningNote"));
    m_runningNote->setText(
        tr("Disabled, but still running: launchd will not start it again once it stops."));
    m_stopNow = makeButton(QStringLiteral("stopNowButton"), this);
    m_stopNow->setText(tr("Stop Now"));
    m_stopNow->setAccessibleName(tr("Stop Now"));
    m_stopNow->setToolTip(tr("Stop the running job; being disabled, it does not come back"));
    glassButtonStyle(m_stopNow);
    m_runningRow = noteRow(m_runningNote, m_stopNow);

    m_errorNote = note(QStringLiteral("actionErrorNote"));
    column->addWidget(m_errorNote);
    m_errorNote->hide();

    connect(m_reveal, &QPushButton::clicked, this, &ServiceActionButtons::reveal);
    connect(m_toggle, &QPushButton::clicked, this, &ServiceActionButtons::toggle);
    connect(m_remove, &QPushButton::clicked, this, &ServiceActionButtons::remove);
    connect(m_disable, &QPushButton::clicked, this, &ServiceActionButtons::changeDisabled);
    connect(m_stopNow, &QPushButton::clicked, this, &ServiceActionButtons::toggle);
    connect(m_copyCommand, &QToolButton::clicked, this,
            &ServiceActionButtons::copyAdministratorCommand);
    applyPalette();
}

void ServiceActionButtons::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() == QEvent::PaletteChange) {
        applyPalette();
    }
}

void ServiceActionButtons::applyPalette() {
    setSymbol(*m_reveal, QStringLiteral("folder"), palette().color(QPalette::ButtonText));
    const QColor red = ViewStyle::destructiveText(palette());
    QPalette destructive = m_remove->palette();
    for (const auto group : {QPalette::Active, QPalette::Inactive}) {
        destructive.setColor(group, QPalette::ButtonText, red);
    }
    m_remove->setPalette(destructive);
    m_remove->setIcon(SymbolIcon::icon(QStringLiteral("trash"), red));
    TextStyle::setTextColor(*m_errorNote, red);
    updateButtons();
}

void ServiceActionButtons::setItem(const LaunchItem& item) {
    // An error about another record no longer applies.
    if (item.id() != m_item.id()) {
        m_errorNote->hide();
    }
    m_item = item;
    updateButtons();
}

void ServiceActionButtons::setDisabledState(std::optional<bool> state) {
    m_disabledState = state;
    // Start becomes "Enable and Start" and back.
    updateButtons();
}

void ServiceActionButtons::updateDisabledControls() {
    const bool disabled = m_disabledState.value_or(false);
    const QString title = disabled ? tr("Enable") : tr("Disable");
    m_disable->setText(title);
    m_disable->setAccessibleName(title);
    setSymbol(*m_disable,
              disabled ? QStringLiteral("checkmark.circle.fill")
                       : QStringLiteral("xmark.circle.fill"),
              palette().color(QPalette::ButtonText));
    // The same kind of rule as Start/Stop: the record's type alone.
    const bool agent = m_item.type == ServiceType::launchAgent;
    m_disable->setEnabled(agent);
    if (!agent) {
        m_disable->setToolTip(tr("Only launch agents can be disabled here"));
    } else if (disabled) {
        m_disable->setToolTip(tr("Let launchd start this agent again. It is not started now."));
    } else {
        m_disable->setToolTip(tr("Keep launchd from starting this agent, at login or on demand, "
                                 "until it is enabled again. It is not stopped now."));
    }

    const bool daemon = m_item.type == ServiceType::launchDaemon;
    if (daemon) {
        const auto refusal = ServiceActionManager::disableRefusal(m_item, disabled);
        m_daemonNote->setText(shownText(refusal.value_or(std::string())));
        m_daemonNote->setAccessibleName(m_daemonNote->text());
    }
    m_daemonRow->setVisible(daemon);
    m_runningRow->setVisible(agent && disabled && m_item.launchdPid().has_value());
}

void ServiceActionButtons::copyAdministratorCommand() {
    const bool enable = m_disabledState.value_or(false);
    QGuiApplication::clipboard()->setText(
        QString::fromStdString(ServiceActionManager::administratorCommand(m_item, enable)));
}

void ServiceActionButtons::changeDisabled() {
    const bool disable = !m_disabledState.value_or(false);
    runAction(
        [disable](const ServiceActionManager& actions, const LaunchItem& item) {
            ActionResult error =
                disable ? actions.disableService(item) : actions.enableService(item);
            if (error) {
                Log::line(std::string("Failed to ") + (disable ? "disable" : "enable") +
                          " service: " + error->text());
            }
            return Outcome{std::move(error), !error};
        },
        [disable](const ActionError& error) {
            return (disable ? tr("Could not disable: %1") : tr("Could not enable: %1"))
                .arg(failureReason(error));
        },
        // What launchd now holds, until the reload says it again.
        [disable](ServiceActionButtons& self) { self.setDisabledState(disable); });
}

void ServiceActionButtons::runAction(Work work,
                                     std::function<QString(const ActionError&)> failureText,
                                     std::function<void(ServiceActionButtons&)> succeeded) {
    QPointer<ServiceActionButtons> self(this);
    const RefreshBinding refresh = m_refresh;
    const std::string id = m_item.id();
    // An earlier failure is no longer the news.
    m_errorNote->hide();
    ToolRunPool::run<Outcome>(
        QCoreApplication::instance(),
        [actions = m_actions, item = m_item, work = std::move(work)] {
            return work(actions, item);
        },
        [self, refresh, id, failureText = std::move(failureText),
         succeeded = std::move(succeeded)](const Outcome& outcome) {
            if (outcome.refreshed) {
                refresh.flip();
            }
            if (!self) {
                return;
            }
            // Shown only while the same record is.
            if (self->m_item.id() == id) {
                if (outcome.error) {
                    // The tool's words are text from outside, shown not obeyed.
                    self->m_errorNote->setText(shownText(failureText(*outcome.error)));
                    self->m_errorNote->setAccessibleName(self->m_errorNote->text());
                    self->m_errorNote->show();
                } else if (succeeded) {
                    succeeded(*self);
                }
            }
            emit self->actionFinished(outcome.refreshed);
        });
}

void ServiceActionButtons::updateButtons() {
    const ToggleOffer offer = ActionAvailability::toggle(m_item, m_disabledState);
    const bool stop = offer.kind == ToggleOffer::Kind::stop;
    const QString title = stop                                              ? tr("Stop")
                          : offer.kind == ToggleOffer::Kind::enableAndStart ? tr("Enable and Start")
                                                                            : tr("Start");
    m_toggle->setText(title);
    m_toggle->setAccessibleName(title);
    m_toggle->setAccessibleDescription(QString::fromStdString(offer.explanation));
    m_toggle->setToolTip(QString::fromStdString(offer.explanation));
    setSymbol(*m_toggle, stop ? QStringLiteral("stop.fill") : QStringLiteral("play.fill"),
              palette().color(QPalette::ButtonText));
    m_toggle->setEnabled(offer.available);

    const std::optional<std::string> removeRefusal = ActionAvailability::removeRefusal(m_item);
    m_remove->setEnabled(!removeRefusal);
    m_remove->setToolTip(removeRefusal ? QString::fromStdString(*removeRefusal)
                                       : tr("Unload its job if launchd has it, and move its "
                                            "definition to the Trash"));
    updateDisabledControls();
}

void ServiceActionButtons::reveal() {
    m_errorNote->hide();
    // Only asks the file manager; nothing here waits on it.
    m_actions.revealService(m_item);
}

void ServiceActionButtons::toggle() {
    // Decided now: the state may change while the action runs.
    const ToggleOffer offer = ActionAvailability::toggle(m_item, m_disabledState);
    if (!offer.available) {
        return;
    }
    const ToggleOffer::Kind kind = offer.kind;
    runAction(
        [kind](const ServiceActionManager& actions, const LaunchItem& item) {
            ActionResult error;
            bool enabled = false;
            if (kind == ToggleOffer::Kind::stop) {
                error = actions.stopService(item);
            } else if (kind == ToggleOffer::Kind::enableAndStart &&
                       (error = actions.enableService(item))) {
                Log::line("Failed to enable service: " + error->text());
            } else {
                enabled = kind == ToggleOffer::Kind::enableAndStart;
                error = actions.startService(item);
            }
            if (error) {
                Log::line("Failed to toggle service: " + error->text());
            }
            // An enabled job that then failed to start still changed.
            return Outcome{std::move(error), !error || enabled};
        },
        [kind](const ActionError& error) {
            const QString reason = failureReason(error);
            switch (kind) {
            case ToggleOffer::Kind::stop:
                return tr("Could not stop: %1").arg(reason);
            case ToggleOffer::Kind::enableAndStart:
                return tr("Could not enable and start: %1").arg(reason);
            case ToggleOffer::Kind::start:
                break;
            }
            return tr("Could not start: %1").arg(reason);
        },
        [kind](ServiceActionButtons& self) {
            if (kind == ToggleOffer::Kind::enableAndStart) {
                self.setDisabledState(false);
            }
        });
}

QString ServiceActionButtons::removalQuestion(const LaunchItem& item) {
    const QString name = shownText(item.label);
    if (ServiceActionManager::removalStopsJob(item)) {
        return tr("“%1” is running as PID %2. It will be stopped, and its definition moved to the "
                  "Trash:\n%3")
            .arg(name)
            .arg(*item.pid)
            .arg(shownText(*item.path));
    }
    if (ServiceActionManager::isLaunchdJobFile(item)) {
        return tr("If launchd has “%1” loaded, it is unloaded first. Its definition will be moved "
                  "to the Trash:\n%2")
            .arg(name, shownText(*item.path));
    }
    if (item.type == ServiceType::loginItem ||
        (item.path && QString::fromStdString(*item.path).endsWith(QStringLiteral(".app")))) {
        return tr("“%1” will be removed from the login items; the application stays.").arg(name);
    }
    return tr("The definition of “%1” will be moved to the Trash:\n%2")
        .arg(name, shownText(item.path.value_or(std::string())));
}

void ServiceActionButtons::remove() {
    if (!ConfirmationPrompt::ask(this, {tr("Remove “%1”?").arg(shownText(m_item.label)),
                                        removalQuestion(m_item), tr("Remove")})) {
        return;
    }
    // Removal may stop a job, move files and wait for osascript, so it runs
    // in the background.
    runAction(
        [](const ServiceActionManager& actions, const LaunchItem& item) {
            bool refreshed = false;
            ActionResult error = actions.removeService(item, [&refreshed] { refreshed = true; });
            return Outcome{std::move(error), refreshed};
        },
        [](const ActionError& error) {
            return tr("Could not remove: %1").arg(failureReason(error));
        });
}

} // namespace daemonary
