#pragma once

#include <functional>

class QAction;

namespace daemonary {

class AppDelegate;
class MainView;
class SparkleUpdateManager;
class UserDefaults;

// The application itself: its identity, its one main window with the menu
// commands and the update button, and the delegate's launch callback.
class DaemonaryApp {
public:
    DaemonaryApp() = delete;

    // The user default behind View > Show Disabled Items (true unless unticked).
    static constexpr const char* kShowDisabledItemsKey = "ShowDisabledItems";

    // The process entry; returns when the application quits.
    static int run(int argc, char* argv[]);

    // Called once the application object is gone. Tool runs not yet started
    // are dropped; while one still runs (a tool that never ends), the process
    // ends here with `status` without waiting for it and without running
    // static destructors under it. Otherwise returns `status`.
    static int finishQuitting(int status);

    // Name, organisation domain and version, which decide where QSettings,
    // the data location (crash reports) and the desktop entry are found. On
    // macOS the settings land in the defaults domain of the bundle identifier.
    static void setApplicationInformation();

    // Menus, the toolbar's update button, the unified title bar on macOS, and
    // quitting when the window closes (when the delegate says so). `quit` is
    // what closing calls; QCoreApplication::quit by default.
    static void setUpMainWindow(MainView& window, AppDelegate& delegate,
                                SparkleUpdateManager& updateManager, UserDefaults& defaults,
                                std::function<void()> quit = {});
};

} // namespace daemonary
