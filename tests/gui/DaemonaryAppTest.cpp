#include "shell/DaemonaryApp.h"

#include "FakeUpdater.h"
#include "TestSupport.h"
#include "shell/AppDelegate.h"
#include "shell/AppInfo.h"
#include "shell/UserDefaults.h"
#include "table/ServiceTableView.h"
#include "updates/SparkleUpdateManager.h"
#include "updates/UpdateSettingsButton.h"
#include "window/MainView.h"
#include "window/ToolbarButtonsView.h"

#include <QAction>
#include <QDir>
#include <QFile>
#include <QListView>
#include <QMenu>
#include <QMenuBar>
#include <QProcess>
#include <QProcessEnvironment>
#include <QPushButton>
#include <QSettings>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <memory>

using namespace daemonary;
using namespace daemonary::test;

class DaemonaryAppTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }

    void init() {
        QVERIFY(m_dir.isValid());
        m_defaults = std::make_unique<UserDefaults>(m_dir.filePath(QStringLiteral("defaults.ini")));
        m_record = FakeUpdaterRecord{};
        m_manager = std::make_unique<SparkleUpdateManager>(fakeUpdaterFactory(m_record));
        m_delegate = std::make_unique<AppDelegate>(
            *m_defaults, *m_manager, [] { return true; }, [] {});
        m_state = std::make_unique<AppState>(m_discovery.loader());
        m_window = std::make_unique<MainView>(dependencies());
        m_quits = 0;
        DaemonaryApp::setUpMainWindow(*m_window, *m_delegate, *m_manager, *m_defaults,
                                      [this] { ++m_quits; });
    }

    void cleanup() {
        m_window.reset();
        m_state.reset();
        m_delegate.reset();
        m_manager.reset();
        m_defaults.reset();
    }

    void checkForUpdatesFollowsAbout() {
        QAction* about = action("aboutAction");
        QAction* check = action("checkForUpdatesAction");
        QVERIFY(about && check);
        QCOMPARE(check->text(), QStringLiteral("Check for Updates..."));
        QCOMPARE(about->menuRole(), QAction::AboutRole);
        // On macOS this role puts the item right below About in the application menu.
        QCOMPARE(check->menuRole(), QAction::ApplicationSpecificRole);
        const QList<QAction*> items = menuOf(about)->actions();
        QCOMPARE(menuOf(check), menuOf(about));
        QCOMPARE(items.indexOf(check), items.indexOf(about) + 1);
    }

    void checkForUpdatesDoesNothingBeforeStart() {
        QAction* check = action("checkForUpdatesAction");
        check->trigger();
        QCOMPARE(m_record.created, 0);
        QCOMPARE(m_record.checks, 0);

        m_delegate->applicationDidFinishLaunching();
        check->trigger();
        QCOMPARE(m_record.checks, 1);
    }

    void checkForUpdatesIsDisabledWithTheReason() {
        QAction* check = action("checkForUpdatesAction");
        m_record.unavailableReason = QStringLiteral("No update feed is configured");
        m_delegate->applicationDidFinishLaunching();
        QVERIFY(!check->isEnabled());
        QCOMPARE(check->toolTip(), QStringLiteral("No update feed is configured"));
        QCOMPARE(check->statusTip(), QStringLiteral("No update feed is configured"));
        check->trigger();
        QCOMPARE(m_record.checks, 0);

        // A feed configured later enables the item again.
        m_record.unavailableReason.reset();
        m_record.callbacks.checkAvailabilityChanged();
        QVERIFY(check->isEnabled());
        QCOMPARE(check->statusTip(), QString());
        check->trigger();
        QCOMPARE(m_record.checks, 1);
    }

    void bundleInfoPlistSuppliesTheUpdateKeys() {
        AppInfo built;
        built.name = QStringLiteral("Daemonary");
        built.bundleVersion = QStringLiteral("1");
        built.feedUrl = QStringLiteral("https://built.example/appcast.xml");

        const QString bundle = m_dir.filePath(QStringLiteral("Daemonary.app"));
        QVERIFY(QDir().mkpath(bundle + QStringLiteral("/Contents")));
        QFile plist(bundle + QStringLiteral("/Contents/Info.plist"));
        QVERIFY(plist.open(QIODevice::WriteOnly));
        plist.write("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
                    "<key>CFBundleVersion</key><string>7</string>"
                    "<key>SUFeedURL</key><string> https://packager.example/a.xml?x=1&amp;y=2 "
                    "</string>"
                    "<key>SUPublicEDKey</key><string>a2V5</string>"
                    "<key>CFBundleName</key><integer>3</integer>"
                    "</dict></plist>");
        plist.close();

        const AppInfo info = built.overriddenByBundle(bundle);
        QCOMPARE(info.feedUrl, QStringLiteral("https://packager.example/a.xml?x=1&y=2"));
        QCOMPARE(info.publicEdKey, QStringLiteral("a2V5"));
        QCOMPARE(info.bundleVersion, QStringLiteral("7"));
        // Only text values count.
        QCOMPARE(info.name, QStringLiteral("Daemonary"));

        // An unreadable or broken Info.plist leaves the built-in values.
        const AppInfo missing = built.overriddenByBundle(m_dir.filePath(QStringLiteral("No.app")));
        QCOMPARE(missing.feedUrl, built.feedUrl);
        QVERIFY(plist.open(QIODevice::WriteOnly | QIODevice::Truncate));
        plist.write("<plist><dict><key>SUFeedURL</key>");
        plist.close();
        QCOMPARE(built.overriddenByBundle(bundle).feedUrl, built.feedUrl);
    }

    void sidebarCommandShowsAndHidesTheSidebar() {
        QAction* sidebar = action("showSidebarAction");
        QVERIFY(sidebar->isCheckable());
        QVERIFY(sidebar->isChecked());
        QVERIFY(!sidebar->shortcut().isEmpty());
        m_window->resize(1100, 700);
        m_window->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
        auto* column = m_window->findChild<QWidget*>(QStringLiteral("sidebarColumn"));
        auto* detail = m_window->findChild<QWidget*>(QStringLiteral("detailColumn"));
        QVERIFY(column != nullptr && detail != nullptr);
        const int detailWidth = detail->width();
        sidebar->trigger();
        QVERIFY(!m_window->sidebar()->isVisibleTo(m_window.get()));
        // The whole column goes, the note at its foot with it, and the
        // table takes its room instead of an empty column.
        QVERIFY(column->isHidden());
        QVERIFY(!m_window->problemsButton()->isVisibleTo(m_window.get()));
        QTRY_VERIFY(detail->width() > detailWidth + 150);
        sidebar->trigger();
        QVERIFY(m_window->sidebar()->isVisibleTo(m_window.get()));
        QTRY_VERIFY(detail->width() < detailWidth + 150);
    }

    void hideAppleSignedIsRememberedAndReachesTheWindow() {
        QAction* hide = action("hideAppleSignedAction");
        QVERIFY(hide != nullptr);
        QCOMPARE(hide->text(), QStringLiteral("Hide Apple-Signed Items"));
        QVERIFY(hide->isCheckable());
        QVERIFY(!hide->isChecked());
        hide->trigger();
        QVERIFY(m_window->hidesAppleSigned());
        QVERIFY(m_state->appleSignedHidden());
        QCOMPARE(m_defaults->value(QStringLiteral("HideAppleSignedItems")).toBool(), true);

        // The next launch starts with it on.
        MainView next(dependencies());
        DaemonaryApp::setUpMainWindow(next, *m_delegate, *m_manager, *m_defaults, [] {});
        QVERIFY(next.hidesAppleSigned());
        QVERIFY(next.findChild<QAction*>(QStringLiteral("hideAppleSignedAction"))->isChecked());
    }

    void viewMenuRefreshReloadsTheCategory() {
        QSignalSpy loaded(m_window.get(), &MainView::startUpLoadingFinished);
        m_window->show();
        QVERIFY(loaded.wait());
        QMenu* view = m_window->menuBar()->findChild<QMenu*>(QStringLiteral("viewMenu"));
        QVERIFY(view != nullptr);
        QAction* refresh = nullptr;
        for (QAction* item : view->actions()) {
            if (item->text() == QStringLiteral("Refresh")) {
                refresh = item;
            }
        }
        // The window's own action, with its keys shown in the menu.
        QCOMPARE(refresh, m_window->refreshAction());
        QVERIFY(refresh->shortcuts().contains(QKeySequence(Qt::Key_F5)));

        QSignalSpy stored(m_state.get(), &AppState::scopeLoaded);
        const int loads = m_discovery.callCount(LaunchScope::system);
        refresh->trigger();
        QVERIFY(stored.wait());
        QCOMPARE(m_discovery.callCount(LaunchScope::system), loads + 1);
    }

    void showDisabledItemsIsOnByDefaultAndRemembered() {
        QAction* show = action("showDisabledItemsAction");
        QVERIFY(show != nullptr);
        QCOMPARE(show->text(), QStringLiteral("Show Disabled Items"));
        QCOMPARE(menuOf(show), menuOf(action("showSidebarAction")));
        QVERIFY(show->isCheckable());
        QVERIFY(show->isChecked());
        QVERIFY(m_window->showsDisabledItems());
        QVERIFY(m_window->serviceTable()->showsDisabledItems());

        show->trigger();
        QVERIFY(!m_window->showsDisabledItems());
        QVERIFY(!m_window->serviceTable()->showsDisabledItems());
        const QString key = QLatin1String(DaemonaryApp::kShowDisabledItemsKey);
        QVERIFY(m_defaults->hasStoredValue(key));
        QVERIFY(!m_defaults->boolValue(key, true));
        // Another category's table, made afresh, hides them too.
        m_window->setSelectedScope(LaunchScope::user);
        QVERIFY(!m_window->serviceTable()->showsDisabledItems());

        // The next start keeps the choice.
        GuiDependencies dependencies;
        dependencies.appState = m_state.get();
        dependencies.clock = std::make_shared<ImmediateClock>();
        MainView next(dependencies);
        DaemonaryApp::setUpMainWindow(next, *m_delegate, *m_manager, *m_defaults, [] {});
        auto* again =
            next.menuBar()->findChild<QAction*>(QStringLiteral("showDisabledItemsAction"));
        QVERIFY(again != nullptr);
        QVERIFY(!again->isChecked());
        QVERIFY(!next.showsDisabledItems());
    }

    void toolbarCarriesTheUpdateButton() {
        auto* button = m_window->toolbarButtons()->findChild<UpdateSettingsButton*>(
            QStringLiteral("updateSettingsButton"));
        QVERIFY(button != nullptr);
        m_manager->setCanInstallUpdates(true);
        QCOMPARE(button->tintColor(), UpdateSettingsButton::updateAvailableColor());
    }

    void closingTheWindowQuits() {
        QSignalSpy loaded(m_window.get(), &MainView::startUpLoadingFinished);
        m_window->show();
        QVERIFY(loaded.wait());
        QCOMPARE(m_quits, 0);
        action("closeWindowAction")->trigger();
        QVERIFY(!m_window->isVisible());
        QTRY_COMPARE(m_quits, 1);
    }

    void applicationInformationLocatesTheSettings() {
        DaemonaryApp::setApplicationInformation();
        QCOMPARE(QCoreApplication::applicationName(), QStringLiteral("Daemonary"));
        // Reversed, the domain and name give the bundle identifier: the
        // defaults domain QSettings writes on macOS.
        QStringList domain = QCoreApplication::organizationDomain().split(QLatin1Char('.'));
        std::reverse(domain.begin(), domain.end());
        QCOMPARE(domain.join(QLatin1Char('.')) + QLatin1Char('.') +
                     QCoreApplication::applicationName(),
                 QStringLiteral("example.daemonary.Daemonary"));
    }

    // Asking the program for its options or version needs no display and
    // opens no window: the answer comes before Qt sets anything up.
    void helpAndVersionAnswerWithoutADisplay() {
        const auto answer = [](const QString& argument) {
            QProcess app;
            QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
            environment.remove(QStringLiteral("DISPLAY"));
            environment.remove(QStringLiteral("WAYLAND_DISPLAY"));
            environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
            app.setProcessEnvironment(environment);
            app.start(QStringLiteral(DAEMONARY_APP_PATH), {argument});
            const bool answered = app.waitForFinished(60'000) &&
                                  app.exitStatus() == QProcess::NormalExit && app.exitCode() == 0;
            app.kill();
            return answered ? QString::fromUtf8(app.readAllStandardOutput()) : QString();
        };
        const QString help = answer(QStringLiteral("--help"));
        QVERIFY(help.startsWith(QStringLiteral("Usage: daemonary ")));
        QVERIFY(help.contains(QStringLiteral("DAEMONARY_HOST_ROOT")));
        const AppInfo info = AppInfo::compiled(); // what About shows
        QCOMPARE(answer(QStringLiteral("--version")),
                 info.name + QLatin1Char(' ') + info.versionText() + QLatin1Char('\n'));
    }

private:
    GuiDependencies dependencies() {
        GuiDependencies dependencies;
        dependencies.appState = m_state.get();
        dependencies.clock = std::make_shared<ImmediateClock>();
        return dependencies;
    }

    QAction* action(const char* name) const {
        return m_window->menuBar()->findChild<QAction*>(QLatin1String(name));
    }

    static QMenu* menuOf(QAction* action) {
        const QList<QObject*> owners = action->associatedObjects();
        for (QObject* owner : owners) {
            if (auto* menu = qobject_cast<QMenu*>(owner)) {
                return menu;
            }
        }
        return nullptr;
    }

    QTemporaryDir m_dir;
    FakeDiscovery m_discovery;
    std::unique_ptr<UserDefaults> m_defaults;
    FakeUpdaterRecord m_record;
    std::unique_ptr<SparkleUpdateManager> m_manager;
    std::unique_ptr<AppDelegate> m_delegate;
    std::unique_ptr<AppState> m_state;
    std::unique_ptr<MainView> m_window;
    int m_quits = 0;
};

QTEST_MAIN(DaemonaryAppTest)
#include "DaemonaryAppTest.moc"
