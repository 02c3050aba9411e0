#include "updates/SparkleUpdateManager.h"

#include "shell/AppInfo.h"
#include "shell/UserDefaults.h"
#include "updates/AppcastUpdater.h"

namespace daemonary {

namespace {

std::unique_ptr<Updater> makeDefaultUpdater(Updater::Callbacks callbacks) {
    return std::make_unique<AppcastUpdater>(
        AppcastUpdater::Options::forApplication(AppInfo::current()), UserDefaults::standard(),
        std::move(callbacks));
}

} // namespace

SparkleUpdateManager::SparkleUpdateManager(UpdaterFactory factory, QObject* parent)
    : QObject(parent),
      m_factory(factory ? std::move(factory) : UpdaterFactory(makeDefaultUpdater)) {}

SparkleUpdateManager::~SparkleUpdateManager() = default;

SparkleUpdateManager& SparkleUpdateManager::shared() {
    // Created once, thread-safely, on first use and kept for the life of the
    // process; never destroyed, so its updater outlives every caller.
    static SparkleUpdateManager* const instance = new SparkleUpdateManager();
    return *instance;
}

void SparkleUpdateManager::setCanInstallUpdates(bool value) {
    if (m_canInstallUpdates == value) {
        return;
    }
    m_canInstallUpdates = value;
    emit canInstallUpdatesChanged(value);
}

void SparkleUpdateManager::start() {
    if (m_updater) {
        return;
    }
    Updater::Callbacks callbacks;
    callbacks.didFindValidUpdate = [this] { didFindValidUpdate(); };
    callbacks.didFinishUpdateCycle = [this](const std::optional<QString>& error) {
        didFinishUpdateCycle(error);
    };
    callbacks.checkAvailabilityChanged = [this] { refreshCheckAvailability(); };
    m_updater = m_factory(std::move(callbacks));
    if (m_updater) {
        m_updater->start();
    }
    refreshCheckAvailability();
}

void SparkleUpdateManager::checkForUpdates() {
    if (m_updater && m_canCheckForUpdates) {
        m_updater->checkForUpdates();
    }
}

void SparkleUpdateManager::refreshCheckAvailability() {
    const std::optional<QString> reason =
        m_updater ? m_updater->checkUnavailableReason() : std::optional<QString>();
    const bool canCheck = m_updater != nullptr && !reason;
    const QString text = reason.value_or(QString());
    if (canCheck == m_canCheckForUpdates && text == m_checkUnavailableReason) {
        return;
    }
    m_canCheckForUpdates = canCheck;
    m_checkUnavailableReason = text;
    emit canCheckForUpdatesChanged(canCheck);
}

bool SparkleUpdateManager::automaticallyChecksForUpdates() const {
    return m_updater ? m_updater->automaticallyChecksForUpdates() : true;
}

void SparkleUpdateManager::setAutomaticallyChecksForUpdates(bool enabled) {
    if (m_updater) {
        m_updater->setAutomaticallyChecksForUpdates(enabled);
    }
}

bool SparkleUpdateManager::automaticallyDownloadsUpdates() const {
    return m_updater ? m_updater->automaticallyDownloadsUpdates() : true;
}

void SparkleUpdateManager::setAutomaticallyDownloadsUpdates(bool enabled) {
    if (m_updater) {
        m_updater->setAutomaticallyDownloadsUpdates(enabled);
    }
}

void SparkleUpdateManager::didFindValidUpdate() {
    setCanInstallUpdates(true);
}

void SparkleUpdateManager::didFinishUpdateCycle(const std::optional<QString>& error) {
    if (error) {
        setCanInstallUpdates(false);
    }
}

} // namespace daemonary
