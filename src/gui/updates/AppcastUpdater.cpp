#include "updates/AppcastUpdater.h"

#include "platform/Log.h"
#include "platform/QtWorkspace.h"
#include "shell/AppInfo.h"
#include "shell/UserDefaults.h"
#include "updates/Appcast.h"
#include "updates/UpdateDownload.h"
#include "updates/UpdateSignature.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QHostAddress>
#include <QMainWindow>
#include <QMessageBox>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QProgressDialog>
#include <QPushButton>
#include <QStandardPaths>
#include <algorithm>
#include <climits>
#include <utility>

namespace daemonary {

namespace {

// A feed is a few kilobytes; anything far larger is not one and is not
// worth holding in memory.
constexpr qint64 kMaxFeedBytes = 4 * 1024 * 1024;
constexpr std::chrono::milliseconds kTransferTimeout = std::chrono::seconds(60);

} // namespace

bool isSecureUpdateUrl(const QUrl& url, bool allowLoopbackHttp) {
    if (!url.isValid() || url.host().isEmpty()) {
        return false;
    }
    if (url.scheme() == u"https") {
        return true;
    }
    const QHostAddress host(url.host());
    return allowLoopbackHttp && url.scheme() == u"http" && !host.isNull() && host.isLoopback();
}

namespace {

// The main window, so that an alert or the progress window does not go with
// the alert that was active when it opened (alerts delete themselves on close).
QWidget* windowForDialogs() {
    const QWidgetList windows = QApplication::topLevelWidgets();
    for (QWidget* window : windows) {
        if (qobject_cast<QMainWindow*>(window) != nullptr && window->isVisible()) {
            return window;
        }
    }
    return nullptr;
}

void logLine(const QString& text) {
    Log::line(QStringLiteral("AppcastUpdater: %1").arg(text).toStdString());
}

} // namespace

AppcastUpdater::Options AppcastUpdater::Options::forApplication(const AppInfo& info) {
    Options options;
    options.feedUrl = QUrl(info.feedUrl);
    options.feedUrlOverride = QUrl(qEnvironmentVariable("DAEMONARY_FEED_URL").trimmed());
    options.publicEdKey = info.publicEdKey;
    options.reveal = [](const QString& path) {
        QtWorkspace().selectFilesInFileManager({path.toStdString()});
    };
    options.appName = info.name;
    options.displayVersion = info.shortVersion.isEmpty() ? info.bundleVersion : info.shortVersion;
    options.bundleVersion = info.bundleVersion;
    return options;
}

AppcastUpdater::AppcastUpdater(Options options, UserDefaults& defaults, Callbacks callbacks,
                               QObject* parent)
    : QObject(parent), m_options(std::move(options)), m_defaults(defaults),
      m_callbacks(std::move(callbacks)), m_network(new QNetworkAccessManager(this)) {
    m_schedule.setSingleShot(true);
    // A daily check needs no precision; a coarse timer could run 5% (an hour) late.
    m_schedule.setTimerType(Qt::VeryCoarseTimer);
    connect(&m_schedule, &QTimer::timeout, this, &AppcastUpdater::checkInBackground);
    connect(&m_defaults, &UserDefaults::valueChanged, this, [this](const QString& key) {
        if (key == QLatin1String(kAutomaticChecksKey)) {
            scheduleNextCheck();
        } else if (key == QLatin1String(kFeedUrlKey)) {
            if (m_callbacks.checkAvailabilityChanged) {
                m_callbacks.checkAvailabilityChanged();
            }
            scheduleNextCheck();
        }
    });
    m_downloadThread.setObjectName(QStringLiteral("UpdateDownload"));
    // A partial download is not left behind in the user's folder.
    if (QCoreApplication::instance() != nullptr) {
        connect(QCoreApplication::instance(), &QCoreApplication::aboutToQuit, this,
                &AppcastUpdater::stopDownload);
    }
}

AppcastUpdater::~AppcastUpdater() {
    stopDownload();
    if (m_reply) {
        m_reply->disconnect(this);
        m_reply->abort();
    }
}

void AppcastUpdater::start() {
    if (m_started) {
        return;
    }
    m_started = true;
    if (const auto reason = checkUnavailableReason(); reason && !feedUrl().isEmpty()) {
        logLine(QStringLiteral("no checks are made: %1").arg(*reason));
    }
    scheduleNextCheck();
}

QUrl AppcastUpdater::feedUrl() const {
    if (!m_options.feedUrlOverride.isEmpty()) {
        return m_options.feedUrlOverride;
    }
    const QString stored = m_defaults.value(QLatin1String(kFeedUrlKey)).toString().trimmed();
    return stored.isEmpty() ? m_options.feedUrl : QUrl(stored);
}

bool AppcastUpdater::isDownloading() const {
    return m_download != nullptr;
}

QString AppcastUpdater::publicEdKey() const {
    return m_options.publicEdKey.trimmed();
}

std::optional<QString> AppcastUpdater::checkUnavailableReason() const {
    const QUrl feed = feedUrl();
    if (feed.isEmpty()) {
        return tr("No update feed is configured");
    }
    if (!isSecureUrl(feed)) {
        return tr("The update feed is not an https address: %1").arg(feed.toString());
    }
    return std::nullopt;
}

bool AppcastUpdater::isSecureUrl(const QUrl& url) const {
    return isSecureUpdateUrl(url, m_options.allowLoopbackHttpForTesting);
}

void AppcastUpdater::checkForUpdates() {
    beginCheck(true);
}

void AppcastUpdater::checkInBackground() {
    beginCheck(false);
}

bool AppcastUpdater::automaticallyChecksForUpdates() const {
    return m_defaults.boolValue(QLatin1String(kAutomaticChecksKey), true);
}

void AppcastUpdater::setAutomaticallyChecksForUpdates(bool enabled) {
    m_defaults.setValue(QLatin1String(kAutomaticChecksKey), enabled);
}

bool AppcastUpdater::automaticallyDownloadsUpdates() const {
    return m_defaults.boolValue(QLatin1String(kAutomaticDownloadsKey), true);
}

void AppcastUpdater::setAutomaticallyDownloadsUpdates(bool enabled) {
    // The framework's own key, so a native updater would read the same choice.
    m_defaults.setValue(QLatin1String(kAutomaticDownloadsKey), enabled);
}

void AppcastUpdater::beginCheck(bool userInitiated) {
    // Without a usable feed there is nothing to ask and nothing to report:
    // the commands that lead here are disabled with the reason.
    if (checkUnavailableReason()) {
        m_schedule.stop();
        return;
    }
    m_userInitiated = m_userInitiated || userInitiated;
    if (m_reply) {
        return; // the check under way answers this request too
    }
    m_schedule.stop();

    QNetworkRequest request(feedUrl());
    request.setTransferTimeout(static_cast<int>(kTransferTimeout.count()));
    // A redirect may not leave https.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::NoLessSafeRedirectPolicy);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute,
                         QNetworkRequest::AlwaysNetwork);
    request.setHeader(QNetworkRequest::UserAgentHeader,
                      QStringLiteral("%1/%2").arg(m_options.appName, m_options.bundleVersion));
    m_abortReason.clear();
    QNetworkReply* reply = m_network->get(request);
    m_reply = reply;
    connect(reply, &QNetworkReply::downloadProgress, this, [this, reply](qint64 received, qint64) {
        if (received > kMaxFeedBytes && m_abortReason.isEmpty()) {
            m_abortReason = QStringLiteral("the feed is larger than %1 bytes").arg(kMaxFeedBytes);
            reply->abort();
        }
    });
    connect(reply, &QNetworkReply::finished, this, [this, reply] { finishCheck(reply); });
}

void AppcastUpdater::finishCheck(QNetworkReply* reply) {
    reply->deleteLater();
    m_reply = nullptr;
    const bool userInitiated = std::exchange(m_userInitiated, false);
    m_defaults.setValue(QLatin1String(kLastCheckTimeKey), m_options.now());

    if (!m_abortReason.isEmpty()) {
        reportError(m_abortReason, userInitiated);
    } else if (reply->error() != QNetworkReply::NoError) {
        reportError(reply->errorString(), userInitiated);
    } else {
        const auto parsed = Appcast::parse(reply->readAll());
        if (const auto* error = std::get_if<QString>(&parsed)) {
            reportError(*error, userInitiated);
        } else {
            const auto newest = std::get<Appcast>(parsed).newestItem();
            if (newest && compareVersions(newest->version, m_options.bundleVersion) > 0) {
                reportUpdate(*newest, userInitiated);
            } else {
                reportNoUpdate(userInitiated);
            }
        }
    }
    scheduleNextCheck();
    emit checkFinished();
}

void AppcastUpdater::reportError(const QString& error, bool userInitiated) {
    logLine(QStringLiteral("update check failed: %1").arg(error));
    if (m_callbacks.didFinishUpdateCycle) {
        m_callbacks.didFinishUpdateCycle(error);
    }
    if (userInitiated) {
        showAlert(tr("Update Error!\n\nAn error occurred in retrieving update information. Please "
                     "try again later.\n\n%1")
                      .arg(error));
    }
}

void AppcastUpdater::reportUpdate(const AppcastItem& item, bool userInitiated) {
    logLine(
        QStringLiteral("version %1 (%2) is available").arg(item.displayVersion(), item.version));
    if (m_callbacks.didFindValidUpdate) {
        m_callbacks.didFindValidUpdate();
    }
    if (m_callbacks.didFinishUpdateCycle) {
        m_callbacks.didFinishUpdateCycle(std::nullopt);
    }
    if (!userInitiated) {
        if (automaticallyDownloadsUpdates()) {
            beginDownload(item, true);
        }
        return;
    }
    // A relative link is relative to the feed; anything but a web link is not
    // offered. The enclosure is downloaded and verified here; a feed with only
    // a release page sends the user there.
    const QUrl download = feedUrl().resolved(QUrl(item.downloadUrl));
    const QUrl page = feedUrl().resolved(QUrl(item.infoUrl));
    std::optional<AlertAction> action;
    if (!item.downloadUrl.isEmpty() && isSecureUrl(download)) {
        action = AlertAction{QStringLiteral("updateAlertDownloadButton"), tr("Download"),
                             [this, item] { beginDownload(item, false); }};
    } else if (item.downloadUrl.isEmpty() && !item.infoUrl.isEmpty() && isSecureUrl(page)) {
        action = AlertAction{QStringLiteral("updateAlertDownloadButton"), tr("Download"),
                             [page] { QDesktopServices::openUrl(page); }};
    } else {
        logLine(QStringLiteral("version %1 has no https link to offer (%2)")
                    .arg(item.displayVersion(), item.offeredLink()));
    }
    showAlert(tr("A new version of %1 is available!\n\n%1 %2 is now available (you have %3). "
                 "Would you like to download it now?")
                  .arg(m_options.appName, item.displayVersion(), m_options.displayVersion),
              std::move(action), tr("Later"));
}

void AppcastUpdater::reportNoUpdate(bool userInitiated) {
    logLine(QStringLiteral("no version newer than %1").arg(m_options.bundleVersion));
    // As with the native framework, a check that finds nothing new ends with
    // an error, so a version withdrawn from the feed is no longer advertised.
    if (m_callbacks.didFinishUpdateCycle) {
        m_callbacks.didFinishUpdateCycle(QStringLiteral("no update available"));
    }
    if (userInitiated) {
        showAlert(tr("You're up-to-date!\n\n%1 %2 is currently the newest version available.")
                      .arg(m_options.appName, m_options.displayVersion));
    }
}

void AppcastUpdater::scheduleNextCheck() {
    if (!m_started || !automaticallyChecksForUpdates() || checkUnavailableReason()) {
        m_schedule.stop();
        return;
    }
    if (m_reply) {
        return; // rescheduled when the check under way finishes
    }
    std::chrono::milliseconds delay = m_options.firstCheckDelay;
    const QDateTime lastCheck = m_defaults.value(QLatin1String(kLastCheckTimeKey)).toDateTime();
    if (lastCheck.isValid()) {
        const std::chrono::milliseconds sinceLast(lastCheck.msecsTo(m_options.now()));
        // A clock set back counts as a check just made.
        const auto untilDue =
            sinceLast.count() < 0 ? m_options.checkInterval : m_options.checkInterval - sinceLast;
        delay = std::max(delay, untilDue);
    }
    delay = std::min(delay, std::chrono::milliseconds(INT_MAX));
    m_schedule.start(delay);
}

void AppcastUpdater::showAlert(const QString& text, std::optional<AlertAction> action,
                               const QString& dismissText) {
    if (m_alert) {
        m_alert->close();
    }
    auto* box = new QMessageBox(windowForDialogs());
    box->setObjectName(QStringLiteral("updateAlert"));
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::NonModal);
    box->setIcon(QMessageBox::Information);
    box->setWindowTitle(tr("Software Update"));
    // Versions, paths and errors come from the network: never let them be markup.
    box->setTextFormat(Qt::PlainText);
    box->setText(text);
    if (action) {
        QAbstractButton* button = box->addButton(action->text, QMessageBox::AcceptRole);
        button->setObjectName(action->objectName);
        box->addButton(dismissText.isEmpty() ? tr("OK") : dismissText, QMessageBox::RejectRole);
        connect(box, &QMessageBox::buttonClicked, this,
                [button, run = std::move(action->run)](QAbstractButton* clicked) {
                    if (clicked == button) {
                        run();
                    }
                });
    } else {
        box->addButton(QMessageBox::Ok);
    }
    m_alert = box;
    box->show();
    emit alertShown(box);
}

void AppcastUpdater::beginDownload(const AppcastItem& item, bool automatic) {
    if (m_download) {
        if (!automatic && m_progress) {
            m_progress->raise();
            m_progress->activateWindow();
        }
        return;
    }
    const QUrl url = feedUrl().resolved(QUrl(item.downloadUrl));
    if (item.downloadUrl.isEmpty()) {
        logLine(QStringLiteral("version %1 has no download to fetch").arg(item.displayVersion()));
        return;
    }
    if (!isSecureUrl(url)) {
        refuseDownload(item, tr("The update is offered at %1, which is not an https address; "
                                "it was not downloaded.")
                                 .arg(url.toString()));
        return;
    }
    if (automatic &&
        m_defaults.value(QLatin1String(kDownloadedVersionKey)).toString() == item.version) {
        const QString kept = m_defaults.value(QLatin1String(kDownloadedPathKey)).toString();
        if (!kept.isEmpty() && QFileInfo::exists(kept)) {
            logLine(QStringLiteral("version %1 was downloaded already: %2")
                        .arg(item.displayVersion(), kept));
            return;
        }
    }

    // What cannot be verified is not fetched at all.
    if (item.edSignature.isEmpty()) {
        refuseDownload(item, tr("The update is not signed: its feed gives no "
                                "sparkle:edSignature."));
        return;
    }
    const auto signature = UpdateSignature::decodeSignature(item.edSignature);
    if (const auto* error = std::get_if<QString>(&signature)) {
        refuseDownload(item, *error);
        return;
    }
    const QString keyText = publicEdKey();
    if (keyText.isEmpty()) {
        refuseDownload(item, tr("No public key is configured to verify updates "
                                "(SUPublicEDKey)."));
        return;
    }
    const auto key = UpdateSignature::decodePublicKey(keyText);
    if (const auto* error = std::get_if<QString>(&key)) {
        refuseDownload(item, *error);
        return;
    }
    const QString folder = m_options.downloadFolder.isEmpty()
                               ? QStandardPaths::writableLocation(QStandardPaths::DownloadLocation)
                               : m_options.downloadFolder;
    if (folder.isEmpty()) {
        refuseDownload(item, tr("There is no Downloads folder to keep the update in."));
        return;
    }

    UpdateDownload::Request request;
    request.url = url;
    request.expectedLength = item.length;
    request.signature = std::get<QByteArray>(signature);
    request.publicKey = std::get<QByteArray>(key);
    request.folder = folder;
    request.fileName = UpdateDownload::fileNameFor(
        url, QStringLiteral("%1 %2").arg(m_options.appName, item.displayVersion()));
    request.userAgent = QStringLiteral("%1/%2").arg(m_options.appName, m_options.bundleVersion);
    request.allowLoopbackHttpForTesting = m_options.allowLoopbackHttpForTesting;
    auto* download = new UpdateDownload(std::move(request));
    download->moveToThread(&m_downloadThread);
    if (!m_downloadThread.isRunning()) {
        m_downloadThread.start();
    }
    m_download = download;
    m_downloadCancelled = false;
    logLine(QStringLiteral("downloading version %1 from %2")
                .arg(item.displayVersion(), url.toString()));
    connect(download, &UpdateDownload::progress, this, [this](qint64 received, qint64 total) {
        if (m_progress && total > 0) {
            m_progress->setValue(static_cast<int>(received * 1000 / total));
        }
        emit downloadProgress(received, total);
    });
    connect(download, &UpdateDownload::verifying, this, [this] {
        if (m_progress) {
            m_progress->setLabelText(tr("Verifying the signature…"));
            m_progress->setRange(0, 0);
        }
    });
    connect(download, &UpdateDownload::finished, this,
            [this, item, download](const QString& path, const QString& error) {
                if (download == m_download) { // not one stopped meanwhile
                    finishDownload(item, path, error);
                }
            });
    showProgress(item, automatic);
    QMetaObject::invokeMethod(download, &UpdateDownload::start);
}

void AppcastUpdater::refuseDownload(const AppcastItem& item, const QString& error) {
    finishDownload(item, QString(), error);
}

void AppcastUpdater::finishDownload(const AppcastItem& item, const QString& path,
                                    const QString& error) {
    const bool cancelled = std::exchange(m_downloadCancelled, false);
    if (UpdateDownload* download = std::exchange(m_download, nullptr)) {
        download->disconnect(this);
        download->deleteLater();
    }
    if (QProgressDialog* progress = m_progress) {
        m_progress = nullptr;
        progress->disconnect(this); // closing would report a cancellation
        progress->close();
        progress->deleteLater();
    }
    if (!error.isEmpty()) {
        logLine(QStringLiteral("the download of version %1 was not kept: %2")
                    .arg(item.displayVersion(), error));
        if (!cancelled) {
            showAlert(tr("%1 %2 could not be downloaded, and nothing was kept.\n\n%3")
                          .arg(m_options.appName, item.displayVersion(), error));
        }
    } else {
        m_defaults.setValue(QLatin1String(kDownloadedVersionKey), item.version);
        m_defaults.setValue(QLatin1String(kDownloadedPathKey), path);
        logLine(QStringLiteral("the download offered as version %1 is signed with the "
                               "developer's key: %2")
                    .arg(item.displayVersion(), path));
        std::optional<AlertAction> reveal;
        if (m_options.reveal) {
            reveal = AlertAction{QStringLiteral("updateAlertRevealButton"), tr("Show in Folder"),
                                 [reveal = m_options.reveal, path] { reveal(path); }};
        }
        showAlert(
            tr("The update offered as %1 %2 has been downloaded. The file is signed with the "
               "developer's key:\n\n%3\n\nThe signature covers the file, not the version "
               "the feed announced. Nothing has been installed. Open the file when you are "
               "ready to update.")
                .arg(m_options.appName, item.displayVersion(), QDir::toNativeSeparators(path)),
            std::move(reveal));
    }
    emit downloadFinished(path, error);
}

void AppcastUpdater::showProgress(const AppcastItem& item, bool automatic) {
    auto* progress = new QProgressDialog(windowForDialogs());
    progress->setObjectName(QStringLiteral("updateDownloadProgress"));
    progress->setWindowTitle(tr("Software Update"));
    progress->setAccessibleName(tr("Update Download"));
    progress->setWindowModality(Qt::NonModal);
    progress->setLabelText(tr("Downloading %1 %2…").arg(m_options.appName, item.displayVersion()));
    auto* cancel = new QPushButton(tr("Cancel"), progress);
    cancel->setObjectName(QStringLiteral("updateDownloadCancelButton"));
    cancel->setAccessibleName(tr("Cancel Download"));
    progress->setCancelButton(cancel);
    progress->setAutoClose(false);
    progress->setAutoReset(false);
    progress->setMinimumDuration(0);
    // Per mille of the announced length; a busy bar when the feed gives none.
    progress->setRange(0, item.length > 0 ? 1000 : 0);
    if (automatic) {
        progress->setAttribute(Qt::WA_ShowWithoutActivating);
    }
    connect(progress, &QProgressDialog::canceled, this, [this] {
        if (m_download) {
            m_downloadCancelled = true;
            QMetaObject::invokeMethod(m_download, &UpdateDownload::cancel);
        }
    });
    m_progress = progress;
    progress->show();
}

void AppcastUpdater::stopDownload() {
    if (UpdateDownload* download = std::exchange(m_download, nullptr)) {
        download->disconnect(this);
        download->deleteLater(); // in its thread, which deletes it as it finishes
    }
    // Returns once the partial file is gone.
    m_downloadThread.quit();
    m_downloadThread.wait();
    if (QProgressDialog* progress = m_progress) {
        m_progress = nullptr;
        progress->disconnect(this);
        delete progress;
    }
}

} // namespace daemonary
