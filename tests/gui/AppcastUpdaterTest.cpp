#include "updates/AppcastUpdater.h"

#include "FeedServer.h"
#include "shell/UserDefaults.h"
#include "updates/SparkleUpdateManager.h"
#include "updates/UpdateSettingsButton.h"

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QNetworkProxy>
#include <QNetworkProxyFactory>
#include <QPointer>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <memory>

using namespace daemonary;
using namespace daemonary::test;

class AppcastUpdaterTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        QStandardPaths::setTestModeEnabled(true);
        // The feed is on this machine; a proxy from the environment must not intervene.
        QNetworkProxyFactory::setUseSystemConfiguration(false);
        QNetworkProxy::setApplicationProxy(QNetworkProxy::NoProxy);
    }

    void init() {
        QVERIFY(m_dir.isValid());
        m_defaults = std::make_unique<UserDefaults>(m_dir.filePath(QStringLiteral("defaults.ini")));
        m_defaults->removeValue(QLatin1String(AppcastUpdater::kLastCheckTimeKey));
        m_defaults->removeValue(QLatin1String(AppcastUpdater::kAutomaticChecksKey));
        // Checks alone here; downloads have their own suite.
        m_defaults->setValue(QLatin1String(AppcastUpdater::kAutomaticDownloadsKey), false);
        m_server = std::make_unique<FeedServer>();
        QVERIFY(m_server->listen());
        m_updater = nullptr;
    }

    void cleanup() {
        m_button.reset();
        m_manager.reset();
        m_server->stop();
        m_server.reset();
        m_defaults.reset();
        // Deleting one window may delete others it owns.
        QList<QPointer<QWidget>> windows;
        for (QWidget* window : QApplication::topLevelWidgets()) {
            windows << window;
        }
        for (const QPointer<QWidget>& window : windows) {
            if (window && window->objectName().startsWith(u"update")) {
                delete window.data();
            }
        }
    }

    void newerVersionTurnsTheButtonBlueAndFailuresTurnItBack() {
        startManager(options());
        const QColor secondary = m_button->tintColor();
        QVERIFY(secondary != UpdateSettingsButton::updateAvailableColor());

        m_server->respond(200, feedOffering("1.2", "https://daemonary.example/Daemonary-1.2.zip"));
        runBackgroundCheck();
        QVERIFY(m_manager->canInstallUpdates());
        QCOMPARE(m_button->tintColor(), UpdateSettingsButton::updateAvailableColor());

        m_server->respond(500, "boom");
        runBackgroundCheck();
        QVERIFY(!m_manager->canInstallUpdates());
        QCOMPARE(m_button->tintColor(), secondary);

        m_server->respond(200, feedOffering("1.2", "https://daemonary.example/Daemonary-1.2.zip"));
        runBackgroundCheck();
        QVERIFY(m_manager->canInstallUpdates());

        m_server->respond(200, "<rss><channel><item><title>cut off");
        runBackgroundCheck();
        QVERIFY(!m_manager->canInstallUpdates());
        QCOMPARE(m_button->tintColor(), secondary);
        QCOMPARE(m_server->requestCount(), 4);
        // A background check shows nothing.
        QVERIFY(m_updater->alert() == nullptr);
    }

    void sameOrOlderVersionIsNoUpdate() {
        startManager(options());
        m_server->respond(200, feedOffering("1.2", "https://daemonary.example/a.zip"));
        runBackgroundCheck();
        QVERIFY(m_manager->canInstallUpdates());
        // The newer version was withdrawn: the feed now offers the running one.
        m_server->respond(200, feedOffering("1.0", "https://daemonary.example/a.zip"));
        runBackgroundCheck();
        QVERIFY(!m_manager->canInstallUpdates());
        m_server->respond(200, feedOffering("0.9", "https://daemonary.example/a.zip"));
        runBackgroundCheck();
        QVERIFY(!m_manager->canInstallUpdates());
    }

    void unreachableServerIsAnError() {
        startManager(options());
        m_manager->setCanInstallUpdates(true);
        m_server->stop();
        runBackgroundCheck();
        QVERIFY(!m_manager->canInstallUpdates());
    }

    void oversizedFeedIsAnError() {
        startManager(options());
        m_manager->setCanInstallUpdates(true);
        QByteArray huge = feedOffering("1.2", "https://daemonary.example/a.zip");
        huge.insert(huge.indexOf("<channel>"), QByteArray(5 * 1024 * 1024, ' '));
        m_server->respond(200, huge);
        runBackgroundCheck();
        QVERIFY(!m_manager->canInstallUpdates());
    }

    void checkTheUserAskedForOffersTheDownload() {
        startManager(options());
        m_server->respond(200, feedOffering("1.2", "https://daemonary.example/Daemonary-1.2.zip"));
        QSignalSpy shown(m_updater, &AppcastUpdater::alertShown);
        m_manager->checkForUpdates();
        QVERIFY(shown.wait());
        QMessageBox* alert = m_updater->alert();
        QVERIFY(alert != nullptr);
        QVERIFY(alert->isVisible());
        QVERIFY(!alert->isModal());
        QVERIFY(alert->text().contains(u"1.2"));
        QVERIFY(alert->findChild<QAbstractButton*>(QStringLiteral("updateAlertDownloadButton")));
        QVERIFY(m_manager->canInstallUpdates());
    }

    void linksThatAreNotWebLinksAreNotOffered() {
        startManager(options());
        m_server->respond(200, feedOffering("1.2", "file:///etc/passwd"));
        QSignalSpy shown(m_updater, &AppcastUpdater::alertShown);
        m_manager->checkForUpdates();
        QVERIFY(shown.wait());
        QVERIFY(!m_updater->alert()->findChild<QAbstractButton*>(
            QStringLiteral("updateAlertDownloadButton")));
        // Still a valid update: only the link is withheld.
        QVERIFY(m_manager->canInstallUpdates());
    }

    void feedTextIsNeverMarkup() {
        startManager(options());
        m_server->respond(404, "");
        QSignalSpy shown(m_updater, &AppcastUpdater::alertShown);
        m_manager->checkForUpdates();
        QVERIFY(shown.wait());
        QCOMPARE(m_updater->alert()->textFormat(), Qt::PlainText);
        QVERIFY(m_updater->alert()->findChild<QAbstractButton*>() != nullptr);
        QVERIFY(!m_manager->canInstallUpdates());
    }

    void checksByItselfWhileAutomaticChecksAreOn() {
        m_server->respond(200, feedOffering("1.2", "https://daemonary.example/a.zip"));
        m_defaults->setValue(QLatin1String(AppcastUpdater::kAutomaticChecksKey), false);
        AppcastUpdater::Options automatic = options();
        automatic.firstCheckDelay = std::chrono::milliseconds(0);
        startManager(automatic);
        QVERIFY(!m_updater->isAutomaticCheckScheduled());
        QVERIFY(!m_updater->automaticallyChecksForUpdates());

        // Switching the preference on (as the toolbar does) schedules a check.
        QSignalSpy finished(m_updater, &AppcastUpdater::checkFinished);
        m_defaults->setValue(QLatin1String(AppcastUpdater::kAutomaticChecksKey), true);
        QVERIFY(m_updater->isAutomaticCheckScheduled());
        QVERIFY(finished.wait());
        QCOMPARE(m_server->requestCount(), 1);
        QVERIFY(m_manager->canInstallUpdates());
        // The next one is a day away, and goes when the preference goes.
        QVERIFY(m_updater->isAutomaticCheckScheduled());
        m_defaults->setValue(QLatin1String(AppcastUpdater::kAutomaticChecksKey), false);
        QVERIFY(!m_updater->isAutomaticCheckScheduled());
    }

    void recentCheckDelaysTheFirstAutomaticOne() {
        AppcastUpdater::Options automatic = options();
        automatic.firstCheckDelay = std::chrono::milliseconds(0);
        const QDateTime now = QDateTime::currentDateTimeUtc();
        automatic.now = [now] { return now; };
        m_defaults->setValue(QLatin1String(AppcastUpdater::kLastCheckTimeKey), now.addSecs(-3600));
        startManager(automatic);
        QVERIFY(m_updater->isAutomaticCheckScheduled());
        // Due a day after the last check, give or take the timer's second.
        const auto remaining = m_updater->remainingTimeUntilAutomaticCheck();
        QVERIFY(remaining > std::chrono::hours(23) - std::chrono::minutes(1));
        QVERIFY(remaining <= std::chrono::hours(23) + std::chrono::seconds(2));
    }

private:
    AppcastUpdater::Options options() const {
        AppcastUpdater::Options options;
        options.feedUrl = m_server->url();
        options.allowLoopbackHttpForTesting = true;
        options.appName = QStringLiteral("Daemonary");
        options.displayVersion = QStringLiteral("1.0");
        options.bundleVersion = QStringLiteral("1.0");
        return options;
    }

    void startManager(const AppcastUpdater::Options& options) {
        m_manager =
            std::make_unique<SparkleUpdateManager>([this, options](Updater::Callbacks callbacks) {
                auto updater =
                    std::make_unique<AppcastUpdater>(options, *m_defaults, std::move(callbacks));
                m_updater = updater.get();
                return updater;
            });
        m_manager->start();
        QVERIFY(m_updater != nullptr);
        m_button =
            std::make_unique<UpdateSettingsButton>(*m_manager, *m_defaults, QStringLiteral("1.0"));
    }

    void runBackgroundCheck() {
        QSignalSpy finished(m_updater, &AppcastUpdater::checkFinished);
        m_updater->checkInBackground();
        QVERIFY(finished.count() == 1 || finished.wait());
    }

    QTemporaryDir m_dir;
    std::unique_ptr<UserDefaults> m_defaults;
    std::unique_ptr<FeedServer> m_server;
    std::unique_ptr<SparkleUpdateManager> m_manager;
    std::unique_ptr<UpdateSettingsButton> m_button;
    AppcastUpdater* m_updater = nullptr;
};

QTEST_MAIN(AppcastUpdaterTest)
#include "AppcastUpdaterTest.moc"
