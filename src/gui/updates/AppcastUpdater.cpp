#include "updates/AppcastUpdater.h"

#include "Log.h"
#include "shell/AppInfo.h"
#include "shell/UserDefaults.h"
#include "updates/Appcast.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDesktopServices>
#include <QMessageBox>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPushButton>
#include <algorithm>
#include <climits>
#include <utility>

namespace daemonary {

namespace {

// A feed is a few kilobytes; anything far larger is not one and is not
// worth holding in memory.
constexpr qint64 kMaxFeedBytes = 4 * 1024 * 1024;
constexpr std::chrono::milliseconds kTransferTimeout = std::chrono::seconds(60);

bool isWebUrl(const QUrl& url) {
    return url.isValid() && (url.scheme() == u"https" || url.scheme() == u"http") &&
           !url.host().isEmpty();
}

void logLine(const QString& text) {
    Log::line(QStringLiteral("AppcastUpdater: %1").arg(text).toStdString());
}

} // namespace

AppcastUpdater::Options AppcastUpdater::Options::forApplication(const AppInfo& info) {
    Options options;
    const QString overridden = qEnvironmentVariable("DAEMONARY_FEED_URL");
    options.feedUrl = QUrl(overridden.isEmpty() ? info.feedUrl : overridden);
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
        }
    });
}

AppcastUpdater::~AppcastUpdater() {
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
    scheduleNextCheck();
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
    // Kept for a native updater that shares the key; this one never downloads.
    m_defaults.setValue(QLatin1String(kAutomaticDownloadsKey), enabled);
}

void AppcastUpdater::beginCheck(bool userInitiated) {
    m_userInitiated = m_userInitiated || userInitiated;
    if (m_reply) {
        return; // the check under way answers this request too
    }
    m_schedule.stop();
    if (!isWebUrl(m_options.feedUrl)) {
        reportError(
            QStringLiteral("no valid update feed URL (%1)").arg(m_options.feedUrl.toString()),
            std::exchange(m_userInitiated, false));
        scheduleNextCheck();
        emit checkFinished();
        return;
    }

    QNetworkRequest request(m_options.feedUrl);
    request.setTransferTimeout(static_cast<int>(kTransferTimeout.count()));
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
                      .arg(error),
                  {});
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
        return;
    }
    // A relative link is relative to the feed; anything but a web link is not offered.
    const QUrl link = m_options.feedUrl.resolved(QUrl(item.offeredLink()));
    if (!isWebUrl(link)) {
        logLine(QStringLiteral("version %1 has no web link to offer (%2)")
                    .arg(item.displayVersion(), item.offeredLink()));
    }
    showAlert(tr("A new version of %1 is available!\n\n%1 %2 is now available (you have %3). "
                 "Would you like to download it now?")
                  .arg(m_options.appName, item.displayVersion(), m_options.displayVersion),
              isWebUrl(link) ? link : QUrl());
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
                      .arg(m_options.appName, m_options.displayVersion),
                  {});
    }
}

void AppcastUpdater::scheduleNextCheck() {
    if (!m_started || !automaticallyChecksForUpdates()) {
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

void AppcastUpdater::showAlert(const QString& text, const QUrl& link) {
    if (m_alert) {
        m_alert->close();
    }
    auto* box = new QMessageBox(QApplication::activeWindow());
    box->setObjectName(QStringLiteral("updateAlert"));
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::NonModal);
    box->setIcon(QMessageBox::Information);
    box->setWindowTitle(tr("Software Update"));
    // Versions and errors come from the network: never let them be markup.
    box->setTextFormat(Qt::PlainText);
    box->setText(text);
    if (link.isValid()) {
        QAbstractButton* download = box->addButton(tr("Download"), QMessageBox::AcceptRole);
        download->setObjectName(QStringLiteral("updateAlertDownloadButton"));
        box->addButton(tr("Later"), QMessageBox::RejectRole);
        connect(box, &QMessageBox::buttonClicked, box, [download, link](QAbstractButton* clicked) {
            if (clicked == download) {
                QDesktopServices::openUrl(link);
            }
        });
    } else {
        box->addButton(QMessageBox::Ok);
    }
    m_alert = box;
    box->show();
    emit alertShown(box);
}

} // namespace daemonary
