#include "shell/AppDelegate.h"

#include "shell/CrashReporter.h"
#include "shell/PreviewDetector.h"
#include "shell/UserDefaults.h"
#include "updates/SparkleUpdateManager.h"

namespace daemonary {

AppDelegate::AppDelegate(QObject* parent)
    : AppDelegate(
          UserDefaults::standard(), SparkleUpdateManager::shared(),
          [] { return PreviewDetector::isRunningForPreviews(); },
          [] { CrashReporter::configure(); }, parent) {}

AppDelegate::AppDelegate(UserDefaults& defaults, SparkleUpdateManager& updateManager,
                         std::function<bool()> isRunningForPreviews,
                         std::function<void()> configureCrashReporting, QObject* parent)
    : QObject(parent), m_defaults(defaults), m_updateManager(updateManager),
      m_isRunningForPreviews(std::move(isRunningForPreviews)),
      m_configureCrashReporting(std::move(configureCrashReporting)) {}

void AppDelegate::applicationDidFinishLaunching() {
    if (!m_isRunningForPreviews()) {
        m_defaults.registerDefaults({{QLatin1String(kCrashOnExceptionsKey), true}});
        m_configureCrashReporting();
    }
    m_updateManager.start();
}

} // namespace daemonary
