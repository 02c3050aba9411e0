#pragma once

#include "updates/Updater.h"

#include <QDateTime>
#include <QMessageBox>
#include <QNetworkReply>
#include <QObject>
#include <QPointer>
#include <QTimer>
#include <QUrl>
#include <chrono>
#include <functional>

class QNetworkAccessManager;

namespace daemonary {

struct AppInfo;
struct AppcastItem;
class UserDefaults;

// The updater of builds without a native update framework: reads the
// application's update feed, reports through the updater callbacks, shows the
// outcome of a check the user asked for (with the download link of a newer
// version) and checks by itself once a day while automatic checks are on.
// It never downloads or installs anything. GUI thread only.
class AppcastUpdater : public QObject, public Updater {
    Q_OBJECT

public:
    static constexpr char kAutomaticChecksKey[] = "SUEnableAutomaticChecks";
    static constexpr char kAutomaticDownloadsKey[] = "SUAutomaticallyUpdate";
    static constexpr char kLastCheckTimeKey[] = "SULastCheckTime";

    struct Options {
        QUrl feedUrl;
        QString appName;
        QString displayVersion; // shown to the user
        QString bundleVersion;  // compared with the feed's versions
        std::chrono::milliseconds firstCheckDelay{std::chrono::minutes(1)};
        std::chrono::milliseconds checkInterval{std::chrono::hours(24)};
        std::function<QDateTime()> now = [] { return QDateTime::currentDateTimeUtc(); };

        // This application's feed; DAEMONARY_FEED_URL, when set, replaces the
        // built-in URL (a local feed for trying the updater out).
        static Options forApplication(const AppInfo& info);
    };

    AppcastUpdater(Options options, UserDefaults& defaults, Callbacks callbacks,
                   QObject* parent = nullptr);
    ~AppcastUpdater() override;

    void start() override;
    void checkForUpdates() override;
    // The scheduled check: reports through the callbacks only.
    void checkInBackground();

    bool automaticallyChecksForUpdates() const override;
    void setAutomaticallyChecksForUpdates(bool enabled) override;
    bool automaticallyDownloadsUpdates() const override;
    void setAutomaticallyDownloadsUpdates(bool enabled) override;

    bool isChecking() const { return m_reply != nullptr; }
    bool isAutomaticCheckScheduled() const { return m_schedule.isActive(); }
    std::chrono::milliseconds remainingTimeUntilAutomaticCheck() const {
        return m_schedule.remainingTimeAsDuration();
    }
    // The message box of the last check the user asked for, while it is open.
    QMessageBox* alert() const { return m_alert; }

signals:
    // After the callbacks of every check, whatever its outcome.
    void checkFinished();
    void alertShown(QMessageBox* alert);

private:
    void beginCheck(bool userInitiated);
    void finishCheck(QNetworkReply* reply);
    void reportError(const QString& error, bool userInitiated);
    void reportUpdate(const AppcastItem& item, bool userInitiated);
    void reportNoUpdate(bool userInitiated);
    void scheduleNextCheck();
    void showAlert(const QString& text, const QUrl& link);

    Options m_options;
    UserDefaults& m_defaults;
    Callbacks m_callbacks;
    QNetworkAccessManager* m_network;
    QPointer<QNetworkReply> m_reply;
    QPointer<QMessageBox> m_alert;
    QTimer m_schedule;
    QString m_abortReason;
    bool m_started = false;
    bool m_userInitiated = false;
};

} // namespace daemonary
