#include "shell/AppDelegate.h"

#include "FakeUpdater.h"
#include "shell/UserDefaults.h"
#include "updates/SparkleUpdateManager.h"

#include <QFile>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <string>
#include <vector>

using namespace daemonary;
using namespace daemonary::test;

class AppDelegateTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }

    void launchUnderATestHostOnlyStartsTheUpdater() {
        QTemporaryDir dir;
        UserDefaults defaults(dir.filePath(QStringLiteral("defaults.ini")));
        FakeUpdaterRecord record;
        SparkleUpdateManager manager(fakeUpdaterFactory(record));
        int crashConfigurations = 0;
        AppDelegate delegate(
            defaults, manager, [] { return true; },
            [&crashConfigurations] { ++crashConfigurations; });

        delegate.applicationDidFinishLaunching();
        QCOMPARE(crashConfigurations, 0);
        QVERIFY(!defaults.isRegistered(QLatin1String(AppDelegate::kCrashOnExceptionsKey)));
        QCOMPARE(record.created, 1);
        QCOMPARE(record.started, 1);
    }

    void ordinaryLaunchRegistersTheCrashDefaultWithoutWritingIt() {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("defaults.ini"));
        UserDefaults defaults(path);
        FakeUpdaterRecord record;
        std::vector<std::string> steps;
        SparkleUpdateManager manager([&](Updater::Callbacks callbacks) {
            steps.push_back("updater");
            return fakeUpdaterFactory(record)(std::move(callbacks));
        });
        AppDelegate delegate(
            defaults, manager,
            [&steps] {
                steps.push_back("preview check");
                return false;
            },
            [&steps, &defaults] {
                // Crash reporting is configured after the default is in place.
                QVERIFY(defaults.boolValue(QLatin1String(AppDelegate::kCrashOnExceptionsKey)));
                steps.push_back("crash reporting");
            });

        delegate.applicationDidFinishLaunching();
        QCOMPARE(steps, (std::vector<std::string>{"preview check", "crash reporting", "updater"}));
        QVERIFY(delegate.applicationShouldTerminateAfterLastWindowClosed());

        const QString key = QLatin1String(AppDelegate::kCrashOnExceptionsKey);
        QCOMPARE(defaults.value(key), QVariant(true));
        QVERIFY(!defaults.hasStoredValue(key));
        UserDefaults reopened(path);
        QVERIFY(!reopened.value(key).isValid());
        QFile file(path);
        QVERIFY(!file.exists() ||
                (file.open(QIODevice::ReadOnly) && !file.readAll().contains("NSApplicationCrash")));
    }

    void storedValuesWinOverRegisteredOnes() {
        QTemporaryDir dir;
        UserDefaults defaults(dir.filePath(QStringLiteral("defaults.ini")));
        QSignalSpy changed(&defaults, &UserDefaults::valueChanged);
        defaults.registerDefaults({{QStringLiteral("key"), true}});
        QCOMPARE(defaults.boolValue(QStringLiteral("key")), true);
        QCOMPARE(changed.count(), 0);

        defaults.setValue(QStringLiteral("key"), false);
        QCOMPARE(defaults.boolValue(QStringLiteral("key"), true), false);
        QCOMPARE(changed.count(), 1);
        defaults.setValue(QStringLiteral("key"), false);
        QCOMPARE(changed.count(), 1); // an equal value announces nothing

        defaults.removeValue(QStringLiteral("key"));
        QCOMPARE(defaults.boolValue(QStringLiteral("key")), true);
        QCOMPARE(changed.count(), 2);
        QCOMPARE(defaults.boolValue(QStringLiteral("absent"), true), true);
    }
};

QTEST_GUILESS_MAIN(AppDelegateTest)
#include "AppDelegateTest.moc"
