#pragma once

#include "updates/UpdateSettingsPopover.h"

#include <QColor>
#include <QPointer>
#include <QToolButton>

namespace daemonary {

class SparkleUpdateManager;
class UserDefaults;

// The toolbar's update button: tinted blue while an update can be installed,
// it opens and closes the update settings popover.
class UpdateSettingsButton : public QToolButton {
    Q_OBJECT

public:
    // Production: the shared update manager, the standard defaults and this
    // build's short version.
    explicit UpdateSettingsButton(QWidget* parent = nullptr);
    UpdateSettingsButton(SparkleUpdateManager& updateManager, UserDefaults& defaults,
                         QString shortVersion, QWidget* parent = nullptr);

    static QColor updateAvailableColor();
    QColor tintColor() const { return m_tint; }

    bool isPopoverShown() const;
    // The popover, once it has been opened.
    UpdateSettingsPopover* popover() const { return m_popover; }
    void togglePopover();

protected:
    void changeEvent(QEvent* event) override;

private:
    void updateIcon();

    SparkleUpdateManager& m_updateManager;
    UserDefaults& m_defaults;
    QString m_shortVersion;
    QPointer<UpdateSettingsPopover> m_popover;
    QColor m_tint;
};

} // namespace daemonary
