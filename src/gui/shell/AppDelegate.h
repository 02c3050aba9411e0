#pragma once

#include <QObject>
#include <functional>

namespace daemonary {

class SparkleUpdateManager;
class UserDefaults;

// Receives the application's launch and termination callbacks: at launch it
// switches on crash reporting (not under a preview or test host) and starts
// the updater (always).
class AppDelegate : public QObject {
    Q_OBJECT

public:
    static constexpr char kCrashOnExceptionsKey[] = "NSApplicationCrashOnExceptions";

    // Production: the standard defaults, the shared update manager, the
    // process's preview detection and the local crash reporter.
    explicit AppDelegate(QObject* parent = nullptr);
    AppDelegate(UserDefaults& defaults, SparkleUpdateManager& updateManager,
                std::function<bool()> isRunningForPreviews,
                std::function<void()> configureCrashReporting, QObject* parent = nullptr);

    void applicationDidFinishLaunching();
    // Closing the main window quits the application.
    bool applicationShouldTerminateAfterLastWindowClosed() const { return true; }

private:
    UserDefaults& m_defaults;
    SparkleUpdateManager& m_updateManager;
    std::function<bool()> m_isRunningForPreviews;
    std::function<void()> m_configureCrashReporting;
};

} // namespace daemonary
