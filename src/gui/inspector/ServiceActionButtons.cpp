#include "inspector/ServiceActionButtons.h"

#include "Log.h"
#include "shell/ToolRunPool.h"
#include "style/ButtonStyle.h"
#include "style/SymbolIcon.h"
#include "style/ViewStyle.h"

#include <QCoreApplication>
#include <QEvent>
#include <QHBoxLayout>
#include <QPointer>
#include <QPushButton>

namespace daemonary {

namespace {

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
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);

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

    row->addWidget(m_reveal, 0, Qt::AlignVCenter);
    row->addWidget(m_toggle, 0, Qt::AlignVCenter);
    row->addWidget(m_remove, 0, Qt::AlignVCenter);
    row->addStretch(1);

    connect(m_reveal, &QPushButton::clicked, this, &ServiceActionButtons::reveal);
    connect(m_toggle, &QPushButton::clicked, this, &ServiceActionButtons::toggle);
    connect(m_remove, &QPushButton::clicked, this, &ServiceActionButtons::remove);
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
    ToolRunPool::run<ActionResult>(
        QCoreApplication::instance(),
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
    ToolRunPool::run<bool>(
        QCoreApplication::instance(),
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
