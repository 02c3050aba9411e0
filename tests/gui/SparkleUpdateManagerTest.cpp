#include "updates/SparkleUpdateManager.h"

#include "FakeUpdater.h"

#include <QSignalSpy>
#include <QTest>

using namespace daemonary;
using namespace daemonary::test;

class SparkleUpdateManagerTest : public QObject {
    Q_OBJECT

private slots:
    void startTwiceCreatesOneStartedUpdater() {
        FakeUpdaterRecord record;
        SparkleUpdateManager manager(fakeUpdaterFactory(record));
        QVERIFY(!manager.isStarted());
        manager.start();
        manager.start();
        QCOMPARE(record.created, 1);
        QCOMPARE(record.started, 1);
        QVERIFY(manager.isStarted());
    }

    void callsBeforeStartAreIgnored() {
        FakeUpdaterRecord record;
        SparkleUpdateManager manager(fakeUpdaterFactory(record));
        manager.checkForUpdates();
        manager.setAutomaticallyChecksForUpdates(false);
        manager.setAutomaticallyDownloadsUpdates(false);
        QCOMPARE(record.created, 0);
        QCOMPARE(record.checks, 0);
        // Without an updater both settings read true, whatever was asked.
        QVERIFY(manager.automaticallyChecksForUpdates());
        QVERIFY(manager.automaticallyDownloadsUpdates());

        manager.start();
        manager.checkForUpdates();
        QCOMPARE(record.checks, 1);
    }

    void settingsPassThroughOnceStarted() {
        FakeUpdaterRecord record;
        SparkleUpdateManager manager(fakeUpdaterFactory(record));
        manager.start();
        QVERIFY(!manager.automaticallyChecksForUpdates());
        QVERIFY(!manager.automaticallyDownloadsUpdates());
        manager.setAutomaticallyChecksForUpdates(true);
        QVERIFY(record.automaticChecks);
        QVERIFY(!record.automaticDownloads);
        manager.setAutomaticallyDownloadsUpdates(true);
        QVERIFY(manager.automaticallyDownloadsUpdates());
    }

    void canInstallUpdatesFollowsTheUpdateCycle() {
        FakeUpdaterRecord record;
        SparkleUpdateManager manager(fakeUpdaterFactory(record));
        QSignalSpy changes(&manager, &SparkleUpdateManager::canInstallUpdatesChanged);
        manager.start();
        QVERIFY(!manager.canInstallUpdates());

        record.callbacks.didFindValidUpdate();
        QVERIFY(manager.canInstallUpdates());
        record.callbacks.didFindValidUpdate();
        QCOMPARE(changes.count(), 1); // announced only on a change

        // A cycle that ends without an error leaves the flag as it was.
        record.callbacks.didFinishUpdateCycle(std::nullopt);
        QVERIFY(manager.canInstallUpdates());
        QCOMPARE(changes.count(), 1);

        record.callbacks.didFinishUpdateCycle(QStringLiteral("network down"));
        QVERIFY(!manager.canInstallUpdates());
        record.callbacks.didFinishUpdateCycle(QStringLiteral("network down"));
        QCOMPARE(changes.count(), 2);
        QCOMPARE(changes.at(1).at(0).toBool(), false);

        // A cycle without error does not raise it either.
        record.callbacks.didFinishUpdateCycle(std::nullopt);
        QVERIFY(!manager.canInstallUpdates());
    }

    void propertyIsObservableThroughQtProperties() {
        SparkleUpdateManager manager([](Updater::Callbacks) { return nullptr; });
        QSignalSpy changes(&manager, &SparkleUpdateManager::canInstallUpdatesChanged);
        QVERIFY(manager.setProperty("canInstallUpdates", true));
        QCOMPARE(manager.property("canInstallUpdates").toBool(), true);
        QCOMPARE(changes.count(), 1);
    }
};

QTEST_GUILESS_MAIN(SparkleUpdateManagerTest)
#include "SparkleUpdateManagerTest.moc"
