#include "updates/UpdateSettingsButton.h"

#include "shell/AppInfo.h"
#include "shell/UserDefaults.h"
#include "style/SymbolIcon.h"
#include "style/ViewStyle.h"
#include "updates/SparkleUpdateManager.h"
#include "updates/UpdateSettingsPopover.h"

#include <QEvent>

namespace daemonary {

UpdateSettingsButton::UpdateSettingsButton(QWidget* parent)
    : UpdateSettingsButton(SparkleUpdateManager::shared(), UserDefaults::standard(),
                           AppInfo::current().shortVersion, parent) {}

UpdateSettingsButton::UpdateSettingsButton(SparkleUpdateManager& updateManager,
                                           UserDefaults& defaults, QString shortVersion,
                                           QWidget* parent)
    : QToolButton(parent), m_updateManager(updateManager), m_defaults(defaults),
      m_shortVersion(std::move(shortVersion)) {
    setObjectName(QStringLiteral("updateSettingsButton"));
    setToolTip(tr("Update Settings"));
    setAccessibleName(tr("Update Settings"));
    setAutoRaise(true);
    connect(this, &QToolButton::clicked, this, &UpdateSettingsButton::togglePopover);
    connect(&m_updateManager, &SparkleUpdateManager::canInstallUpdatesChanged, this,
            &UpdateSettingsButton::updateIcon);
    updateIcon();
}

QColor UpdateSettingsButton::updateAvailableColor() {
    return QColor(0, 122, 255); // the platform's system blue
}

bool UpdateSettingsButton::isPopoverShown() const {
    return m_popover && m_popover->isVisible();
}

void UpdateSettingsButton::togglePopover() {
    if (isPopoverShown()) {
        m_popover->hide();
        return;
    }
    if (!m_popover) {
        m_popover = new UpdateSettingsPopover(m_updateManager, m_defaults, m_shortVersion, this);
    }
    m_popover->popUp(this);
}

void UpdateSettingsButton::changeEvent(QEvent* event) {
    QToolButton::changeEvent(event);
    if (event->type() == QEvent::PaletteChange) {
        updateIcon();
    }
}

void UpdateSettingsButton::updateIcon() {
    const QColor tint = m_updateManager.canInstallUpdates() ? updateAvailableColor()
                                                            : ViewStyle::secondary(palette());
    if (tint == m_tint && !icon().isNull()) {
        return;
    }
    m_tint = tint;
    setIcon(SymbolIcon::icon(QStringLiteral("arrow.down.app.dashed"), m_tint));
}

} // namespace daemonary
