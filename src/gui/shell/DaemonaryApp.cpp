#include "shell/DaemonaryApp.h"

#include "baseline/BaselineState.h"
#include "platform/Log.h"
#include "platform/ToolRunner.h"
#include "shell/AppDelegate.h"
#include "shell/AppInfo.h"
#include "shell/GuiDependencies.h"
#include "shell/ToolRunPool.h"
#include "shell/UserDefaults.h"
#include "shell/WindowOptions.h"
#include "table/AppState.h"
#include "updates/SparkleUpdateManager.h"
#include "updates/UpdateSettingsButton.h"
#include "window/MainView.h"
#include "window/ToolbarButtonsView.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QListView>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

namespace daemonary {

namespace {

constexpr QSize kInitialWindowSize(1100, 700);

// Ends the application when the main window it watches has closed; other
// windows (an update alert, say) do not keep it running.
class CloseWatcher : public QObject {
public:
    CloseWatcher(QWidget* window, std::function<void()> onClose)
        : QObject(window), m_window(window), m_onClose(std::move(onClose)) {
        window->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched == m_window && event->type() == QEvent::Close) {
            // Decided once the window has handled the event: it may refuse.
            QTimer::singleShot(0, this, [this] {
                if (!m_window->isVisible()) {
                    m_onClose();
                }
            });
        }
        return QObject::eventFilter(watched, event);
    }

private:
    QWidget* m_window;
    std::function<void()> m_onClose;
};

QAction* addAction(QMenu* menu, const QString& objectName, const QString& text) {
    QAction* action = menu->addAction(text);
    action->setObjectName(objectName);
    return action;
}

constexpr auto kHideAppleSignedKey = "HideAppleSignedItems";

void addMenus(MainView& window, SparkleUpdateManager& updateManager, UserDefaults& defaults) {
    QMenuBar* bar = window.menuBar();
    bar->setObjectName(QStringLiteral("mainMenuBar"));

    QMenu* file = bar->addMenu(QObject::tr("&File"));
    file->setObjectName(QStringLiteral("fileMenu"));
    file->addAction(window.openDiskAction());
    file->addAction(window.showThisMacAction());
    file->addSeparator();
    file->addAction(window.saveBaselineAction());
    file->addAction(window.forgetBaselineAction());
    file->addSeparator();
    QAction* close =
        addAction(file, QStringLiteral("closeWindowAction"), QObject::tr("Close Window"));
    close->setShortcut(QKeySequence::Close);
    QObject::connect(close, &QAction::triggered, &window, &QWidget::close);
    QAction* quit = addAction(file, QStringLiteral("quitAction"), QObject::tr("&Quit"));
    quit->setShortcut(QKeySequence::Quit);
    quit->setMenuRole(QAction::QuitRole);
    QObject::connect(quit, &QAction::triggered, &window, &QWidget::close);

    // Find is the window's own action, so its keys work wherever the focus is.
    QMenu* edit = bar->addMenu(QObject::tr("&Edit"));
    edit->setObjectName(QStringLiteral("editMenu"));
    edit->addAction(window.findAction());

    // The platform's standard sidebar command.
    QMenu* view = bar->addMenu(QObject::tr("&View"));
    view->setObjectName(QStringLiteral("viewMenu"));
    QAction* sidebar =
        addAction(view, QStringLiteral("showSidebarAction"), QObject::tr("Show Sidebar"));
    sidebar->setCheckable(true);
    sidebar->setChecked(window.isSidebarShown());
#if defined(Q_OS_MACOS)
    sidebar->setShortcut(QKeySequence(Qt::CTRL | Qt::META | Qt::Key_S));
#else
    sidebar->setShortcut(QKeySequence(Qt::Key_F9));
#endif
    QObject::connect(sidebar, &QAction::toggled, &window,
                     [&window](bool shown) { window.setSidebarShown(shown); });
    view->addAction(window.showChangesOnlyAction());
    // The window's own action, so its keys work wherever the focus is.
    view->addSeparator();
    view->addAction(window.refreshAction());

    // The quickest way to the third-party items an audit is about.
    view->addSeparator();
    QAction* hideApple = addAction(view, QStringLiteral("hideAppleSignedAction"),
                                   QObject::tr("Hide Apple-Signed Items"));
    hideApple->setCheckable(true);
    const QString hideKey = QString::fromLatin1(kHideAppleSignedKey);
    hideApple->setChecked(defaults.boolValue(hideKey));
    window.setHideAppleSigned(hideApple->isChecked());
    QObject::connect(hideApple, &QAction::toggled, &window, [&window, &defaults, hideKey](bool on) {
        defaults.setValue(hideKey, on);
        window.setHideAppleSigned(on);
    });

    // About and "Check for Updates..." go to the application menu on macOS
    // (application-specific items follow About there) and to Help elsewhere.
    QMenu* help = bar->addMenu(QObject::tr("&Help"));
    help->setObjectName(QStringLiteral("helpMenu"));
    const AppInfo& info = AppInfo::current();
    QAction* about =
        addAction(help, QStringLiteral("aboutAction"), QObject::tr("About %1").arg(info.name));
    about->setMenuRole(QAction::AboutRole);
    QObject::connect(about, &QAction::triggered, &window, [&window, info] {
        QMessageBox::about(&window, QObject::tr("About %1").arg(info.name),
                           QObject::tr("%1\nVersion %2").arg(info.name, info.versionText()));
    });
    QAction* check = addAction(help, QStringLiteral("checkForUpdatesAction"),
                               QObject::tr("Check for Updates..."));
    check->setMenuRole(QAction::ApplicationSpecificRole);
    QObject::connect(check, &QAction::triggered, &updateManager,
                     [&updateManager] { updateManager.checkForUpdates(); });
    help->setToolTipsVisible(true);
    const auto followAvailability = [check, &updateManager] {
        const QString reason = updateManager.checkUnavailableReason();
        check->setEnabled(updateManager.canCheckForUpdates());
        check->setToolTip(reason); // empty: the item's own text again
        check->setStatusTip(reason);
    };
    QObject::connect(&updateManager, &SparkleUpdateManager::canCheckForUpdatesChanged, check,
                     followAvailability);
    followAvailability();
}

// View > Show Disabled Items, remembered in the user defaults.
void addShowDisabledItems(MainView& window, UserDefaults& defaults) {
    auto* view = window.menuBar()->findChild<QMenu*>(QStringLiteral("viewMenu"));
    if (view == nullptr) {
        return;
    }
    const QString key = QLatin1String(DaemonaryApp::kShowDisabledItemsKey);
    defaults.registerDefaults({{key, true}});
    QAction* show = addAction(view, QStringLiteral("showDisabledItemsAction"),
                              QObject::tr("Show Disabled Items"));
    show->setCheckable(true);
    show->setToolTip(QObject::tr("Show the launch jobs that launchd will not start"));
    show->setChecked(defaults.boolValue(key, true));
    window.setShowDisabledItems(show->isChecked());
    QObject::connect(show, &QAction::toggled, &window, [&window, &defaults, key](bool shown) {
        defaults.setValue(key, shown);
        window.setShowDisabledItems(shown);
    });
}

} // namespace

void DaemonaryApp::setApplicationInformation() {
    const AppInfo& info = AppInfo::current();
    QApplication::setApplicationName(info.name);
    QApplication::setApplicationDisplayName(info.name);
    QApplication::setApplicationVersion(info.shortVersion);
    // The identifier is the reversed domain followed by the name; QSettings on
    // macOS reverses the domain back, so it writes the bundle's own domain.
    const QString suffix = QLatin1Char('.') + info.name;
    QString reversedDomain =
        info.identifier.endsWith(suffix) ? info.identifier.chopped(suffix.size()) : info.identifier;
    QStringList parts = reversedDomain.split(QLatin1Char('.'));
    std::reverse(parts.begin(), parts.end());
    QApplication::setOrganizationDomain(parts.join(QLatin1Char('.')));
    QGuiApplication::setDesktopFileName(QStringLiteral("daemonary"));
}

void DaemonaryApp::setUpMainWindow(MainView& window, AppDelegate& delegate,
                                   SparkleUpdateManager& updateManager, UserDefaults& defaults,
                                   std::function<void()> quit) {
    window.setUnifiedTitleAndToolBarOnMac(true);
    window.toolbarButtons()->addTrailingWidget(new UpdateSettingsButton(
        updateManager, defaults, AppInfo::current().shortVersion, window.toolbarButtons()));
    addMenus(window, updateManager, defaults);
    addShowDisabledItems(window, defaults);
    if (delegate.applicationShouldTerminateAfterLastWindowClosed()) {
        new CloseWatcher(&window, quit ? std::move(quit)
                                       : std::function<void()>([] { QCoreApplication::quit(); }));
    }
}

int DaemonaryApp::run(int argc, char* argv[]) {
    if (const auto answered =
            WindowOptions::answer(std::vector<std::string>(argv + 1, argv + argc), std::cout)) {
        return *answered;
    }
    int status = 0;
    {
        QApplication application(argc, argv);
        setApplicationInformation();

        AppDelegate delegate;
        QApplication::setQuitOnLastWindowClosed(
            delegate.applicationShouldTerminateAfterLastWindowClosed());

        const GuiDependencies dependencies = GuiDependencies::production();
        MainView window(dependencies);
        dependencies.baseline->load();
        setUpMainWindow(window, delegate, SparkleUpdateManager::shared(), UserDefaults::standard());
        window.resize(kInitialWindowSize);
        window.show();

        // Launching has finished once the window is up and the event loop runs.
        QTimer::singleShot(0, &delegate, &AppDelegate::applicationDidFinishLaunching);
        status = QApplication::exec();
    }
    return finishQuitting(status);
}

int DaemonaryApp::finishQuitting(int status) {
    ToolRunPool::shared().clear();
    if (!ToolRunPool::isBusy() && AppState::shared().loadingScopes().empty()) {
        return status;
    }
    // Tools still running are stuck or no longer wanted: they go with the
    // application instead of outliving it.
    killRunningTools();
    // Their threads may end at any moment and would then go on into objects
    // that exiting normally is destroying; ending here leaves nothing to
    // destroy under them. The user defaults are written as they change and
    // the log writes whole lines, so nothing is left unsaved.
    Log::line("Quitting; stopped the system tools that were still running");
    std::fflush(nullptr);
    std::_Exit(status);
}

} // namespace daemonary
