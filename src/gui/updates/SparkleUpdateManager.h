#pragma once

#include "updates/Updater.h"

#include <QObject>
#include <memory>
#include <optional>

namespace daemonary {

// The application's one contact with its updater: creates and starts it once,
// forwards "check now", passes the two settings through and publishes
// canInstallUpdates for the toolbar. Every call before start() is ignored.
// GUI thread only.
class SparkleUpdateManager : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool canInstallUpdates READ canInstallUpdates WRITE setCanInstallUpdates NOTIFY
                   canInstallUpdatesChanged)
    Q_PROPERTY(bool canCheckForUpdates READ canCheckForUpdates NOTIFY canCheckForUpdatesChanged)

public:
    // The factory is called by the first start(); the default creates the
    // built-in appcast checker for this application.
    explicit SparkleUpdateManager(UpdaterFactory factory = {}, QObject* parent = nullptr);
    ~SparkleUpdateManager() override;

    static SparkleUpdateManager& shared();

    bool canInstallUpdates() const { return m_canInstallUpdates; }
    void setCanInstallUpdates(bool value);

    bool isStarted() const { return m_updater != nullptr; }
    void start();
    // Ignored unless canCheckForUpdates.
    void checkForUpdates();

    // Started, with an updater that can check; the menu item and the
    // popover's button are enabled by it.
    bool canCheckForUpdates() const { return m_canCheckForUpdates; }
    // Why checks cannot be made, for the user; empty when they can or before start.
    QString checkUnavailableReason() const { return m_checkUnavailableReason; }

    // Without an updater these read true and ignore writes.
    bool automaticallyChecksForUpdates() const;
    void setAutomaticallyChecksForUpdates(bool enabled);
    bool automaticallyDownloadsUpdates() const;
    void setAutomaticallyDownloadsUpdates(bool enabled);

    // The updater's delegate callbacks.
    void didFindValidUpdate();
    void didFinishUpdateCycle(const std::optional<QString>& error);

signals:
    void canInstallUpdatesChanged(bool canInstallUpdates);
    // canCheckForUpdates or the reason changed.
    void canCheckForUpdatesChanged(bool canCheckForUpdates);

private:
    void refreshCheckAvailability();

    UpdaterFactory m_factory;
    std::unique_ptr<Updater> m_updater;
    bool m_canInstallUpdates = false;
    bool m_canCheckForUpdates = false;
    QString m_checkUnavailableReason;
};

} // namespace daemonary
