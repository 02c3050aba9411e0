#pragma once

#include "updates/Updater.h"

#include <QDateTime>
#include <QMessageBox>
#include <QNetworkReply>
#include <QObject>
#include <QPointer>
#include <QProgressDialog>
#include <QThread>
#include <QTimer>
#include <QUrl>
#include <chrono>
#include <functional>
#include <optional>

class QNetworkAccessManager;

namespace daemonary {

struct AppInfo;
struct AppcastItem;
class UpdateDownload;
class UserDefaults;

// Whether updates may be fetched from the address: https with a host, or
// plain http to the loopback address when a test allows it.
bool isSecureUpdateUrl(const QUrl& url, bool allowLoopbackHttp);

// The updater of builds without a native update framework: reads the
// application's update feed, reports through the updater callbacks, shows the
// outcome of a check the user asked for and checks by itself once a day while
// automatic checks are on. A newer version is downloaded into the user's
// Downloads folder when the user asks, or by itself while automatic downloads
// are on, and kept only when its signature verifies against the
// application's public key; it is never opened or installed. Without a feed
// nothing is checked. GUI thread only.
class AppcastUpdater : public QObject, public Updater {
    Q_OBJECT

public:
    static constexpr char kAutomaticChecksKey[] = "SUEnableAutomaticChecks";
    static constexpr char kAutomaticDownloadsKey[] = "SUAutomaticallyUpdate";
    static constexpr char kLastCheckTimeKey[] = "SULastCheckTime";
    // The feed key packagers and the native framework know: one in the user
    // defaults wins over the bundle's. The public key (SUPublicEDKey) is the
    // bundle's alone: any process of the user can write the defaults.
    static constexpr char kFeedUrlKey[] = "SUFeedURL";
    // The last verified download, so automatic downloads fetch a version once.
    static constexpr char kDownloadedVersionKey[] = "DownloadedUpdateVersion";
    static constexpr char kDownloadedPathKey[] = "DownloadedUpdatePath";

    struct Options {
        QUrl feedUrl;           // the bundle's (or build's) SUFeedURL
        QUrl feedUrlOverride;   // DAEMONARY_FEED_URL: wins over every other feed
        QString publicEdKey;    // the bundle's (or build's) SUPublicEDKey
        QString downloadFolder; // empty: the user's Downloads folder
        // "Show in Folder" for a kept download.
        std::function<void(const QString& path)> reveal;
        QString appName;
        QString displayVersion; // shown to the user
        QString bundleVersion;  // compared with the feed's versions
        std::chrono::milliseconds firstCheckDelay{std::chrono::minutes(1)};
        std::chrono::milliseconds checkInterval{std::chrono::hours(24)};
        std::function<QDateTime()> now = [] { return QDateTime::currentDateTimeUtc(); };
        // Feeds and downloads are fetched over https only. Tests serve them
        // from 127.0.0.1 without TLS: this lets plain http through to the
        // loopback address, and nowhere else. The application never sets it.
        bool allowLoopbackHttpForTesting = false;

        // This application's feed and key; DAEMONARY_FEED_URL, when set,
        // replaces the feed (a local feed for trying the updater out).
        static Options forApplication(const AppInfo& info);
    };

    AppcastUpdater(Options options, UserDefaults& defaults, Callbacks callbacks,
                   QObject* parent = nullptr);
    ~AppcastUpdater() override;

    void start() override;
    void checkForUpdates() override;
    std::optional<QString> checkUnavailableReason() const override;
    // The scheduled check: reports through the callbacks only.
    void checkInBackground();

    bool automaticallyChecksForUpdates() const override;
    void setAutomaticallyChecksForUpdates(bool enabled) override;
    bool automaticallyDownloadsUpdates() const override;
    void setAutomaticallyDownloadsUpdates(bool enabled) override;

    // The feed in effect now (from the defaults and the options), and the key
    // updates are checked against (the options' alone).
    QUrl feedUrl() const;
    QString publicEdKey() const;

    bool isChecking() const { return m_reply != nullptr; }
    bool isDownloading() const;
    // The download's progress window, while it is open.
    QProgressDialog* progressDialog() const { return m_progress; }
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
    void downloadProgress(qint64 received, qint64 total);
    // Once per download: the kept file, or why nothing was kept.
    void downloadFinished(const QString& path, const QString& error);

private:
    bool isSecureUrl(const QUrl& url) const;
    void beginCheck(bool userInitiated);
    void finishCheck(QNetworkReply* reply);
    void reportError(const QString& error, bool userInitiated);
    void reportUpdate(const AppcastItem& item, bool userInitiated);
    void reportNoUpdate(bool userInitiated);
    void scheduleNextCheck();
    void beginDownload(const AppcastItem& item, bool automatic);
    void refuseDownload(const AppcastItem& item, const QString& error);
    void finishDownload(const AppcastItem& item, const QString& path, const QString& error);
    void showProgress(const AppcastItem& item, bool automatic);
    void stopDownload();

    struct AlertAction {
        QString objectName;
        QString text;
        std::function<void()> run;
    };
    // With an action, a button for it and a dismissing one; else OK alone.
    void showAlert(const QString& text, std::optional<AlertAction> action = std::nullopt,
                   const QString& dismissText = QString());

    Options m_options;
    UserDefaults& m_defaults;
    Callbacks m_callbacks;
    QNetworkAccessManager* m_network;
    QPointer<QNetworkReply> m_reply;
    QPointer<QMessageBox> m_alert;
    // Downloads write files and verify signatures there, never on the GUI thread.
    QThread m_downloadThread;
    UpdateDownload* m_download = nullptr; // lives in m_downloadThread
    bool m_downloadCancelled = false;
    QPointer<QProgressDialog> m_progress;
    QTimer m_schedule;
    QString m_abortReason;
    bool m_started = false;
    bool m_userInitiated = false;
};

} // namespace daemonary
