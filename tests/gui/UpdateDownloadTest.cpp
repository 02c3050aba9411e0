#include "updates/UpdateDownload.h"

#include "FeedServer.h"
#include "platform/Log.h"
#include "shell/UserDefaults.h"
#include "updates/AppcastUpdater.h"
#include "updates/SparkleUpdateManager.h"
#include "updates/UpdateSettingsPopover.h"
#include "updates/UpdateSignature.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QMessageBox>
#include <QNetworkProxy>
#include <QNetworkProxyFactory>
#include <QPointer>
#include <QProgressDialog>
#include <QPushButton>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <array>
#include <cstdio>
#include <memory>
#include <sodium.h>

using namespace daemonary;
using namespace daemonary::test;

namespace {

const QByteArray kPath = "/Daemonary-1.2.zip";

struct KeyPair {
    std::array<unsigned char, crypto_sign_PUBLICKEYBYTES> publicKey{};
    std::array<unsigned char, crypto_sign_SECRETKEYBYTES> secretKey{};

    KeyPair() {
        if (sodium_init() >= 0) {
            crypto_sign_keypair(publicKey.data(), secretKey.data());
        }
    }

    QByteArray publicKeyBase64() const {
        return QByteArray(reinterpret_cast<const char*>(publicKey.data()), publicKey.size())
            .toBase64();
    }

    QByteArray sign(const QByteArray& message) const {
        std::array<unsigned char, crypto_sign_BYTES> signature{};
        crypto_sign_detached(signature.data(), nullptr,
                             reinterpret_cast<const unsigned char*>(message.constData()),
                             static_cast<unsigned long long>(message.size()), secretKey.data());
        return QByteArray(reinterpret_cast<const char*>(signature.data()), signature.size())
            .toBase64();
    }
};

QByteArray payload(qsizetype size) {
    QByteArray bytes(size, Qt::Uninitialized);
    for (qsizetype i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>((i * 131 + 7) % 251);
    }
    return bytes;
}

QByteArray readAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class UpdateDownloadTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        // Downloads go to the user's Downloads folder: here, one under a
        // home of the test's own, never a real one.
        QVERIFY(m_home.isValid());
        qputenv("HOME", QFile::encodeName(m_home.path()));
        qunsetenv("XDG_CONFIG_HOME");
        QStandardPaths::setTestModeEnabled(true);
        m_downloads = QStandardPaths::writableLocation(QStandardPaths::DownloadLocation);
        QVERIFY(!m_downloads.isEmpty());
        QVERIFY2(m_downloads.startsWith(m_home.path()), qPrintable(m_downloads));
        QNetworkProxyFactory::setUseSystemConfiguration(false);
        QNetworkProxy::setApplicationProxy(QNetworkProxy::NoProxy);
        QVERIFY(sodium_init() >= 0);
        m_payload = payload(300 * 1024);
    }

    void init() {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
        QVERIFY(QDir(m_downloads).removeRecursively());
        QVERIFY(QDir().mkpath(m_downloads));
        m_defaults = std::make_unique<UserDefaults>(m_dir->filePath(QStringLiteral("d.ini")));
        m_server = std::make_unique<FeedServer>();
        QVERIFY(m_server->listen());
        m_revealed.clear();
        m_log.clear();
        Log::setSink([this](std::string_view line) { m_log << QString::fromUtf8(line); });
    }

    void cleanup() {
        Log::setSink({});
        m_popover.reset();
        m_manager.reset();
        m_server.reset();
        m_defaults.reset();
        // Deleting one window may delete others it owns.
        QList<QPointer<QWidget>> windows;
        for (QWidget* window : QApplication::topLevelWidgets()) {
            windows << window;
        }
        for (const QPointer<QWidget>& window : windows) {
            if (window && window->objectName().startsWith(u"update")) {
                delete window.data();
            }
        }
    }

    // Kept: the file is what the key signed, so it is given its name, beside
    // (never over) a file of that name, and the user is told where it is.
    void verifiedDownloadIsKeptBesideAnExistingFile() {
        const QString existing = QDir(m_downloads).filePath(QStringLiteral("Daemonary-1.2.zip"));
        writeFile(existing, "the user's own file");
        serveSigned(m_payload, m_keys.sign(m_payload));
        startUpdater(options());

        QSignalSpy shown(m_updater, &AppcastUpdater::alertShown);
        m_manager->checkForUpdates();
        QVERIFY(shown.wait());
        auto* download = m_updater->alert()->findChild<QAbstractButton*>(
            QStringLiteral("updateAlertDownloadButton"));
        QVERIFY(download != nullptr);

        QSignalSpy progress(m_updater, &AppcastUpdater::downloadProgress);
        QSignalSpy finished(m_updater, &AppcastUpdater::downloadFinished);
        download->click();
        QVERIFY(m_updater->isDownloading());
        QVERIFY(m_updater->progressDialog() != nullptr);
        QVERIFY(m_updater->progressDialog()->isVisible());
        QVERIFY(finished.wait());

        const QString kept = finished.at(0).at(0).toString();
        QCOMPARE(finished.at(0).at(1).toString(), QString());
        QCOMPARE(kept, QDir(m_downloads).filePath(QStringLiteral("Daemonary-1.2 (1).zip")));
        QCOMPARE(readAll(kept), m_payload);
        QCOMPARE(readAll(existing), QByteArray("the user's own file"));
        QCOMPARE(downloadsContent(), QStringList({QStringLiteral("Daemonary-1.2 (1).zip"),
                                                  QStringLiteral("Daemonary-1.2.zip")}));
        QVERIFY(!progress.isEmpty());
        QCOMPARE(progress.last().at(0).toLongLong(), qint64(m_payload.size()));
        QVERIFY(m_updater->progressDialog() == nullptr);

        // The outcome names the file and offers to show it, nothing more.
        QMessageBox* alert = m_updater->alert();
        QVERIFY(alert != nullptr);
        QVERIFY(alert->text().contains(QDir::toNativeSeparators(kept)));
        auto* reveal =
            alert->findChild<QAbstractButton*>(QStringLiteral("updateAlertRevealButton"));
        QVERIFY(reveal != nullptr);
        reveal->click();
        QCOMPARE(m_revealed, QStringList{kept});
    }

    void automaticDownloadFetchesAVersionOnce() {
        serveSigned(m_payload, m_keys.sign(m_payload));
        m_defaults->setValue(QLatin1String(AppcastUpdater::kAutomaticDownloadsKey), false);
        startUpdater(options());
        runBackgroundCheck();
        QVERIFY(m_manager->canInstallUpdates());
        QCOMPARE(m_server->requestCount(kPath), 0);
        QVERIFY(!m_updater->isDownloading());

        m_defaults->setValue(QLatin1String(AppcastUpdater::kAutomaticDownloadsKey), true);
        QSignalSpy finished(m_updater, &AppcastUpdater::downloadFinished);
        runBackgroundCheck();
        QVERIFY(m_updater->isDownloading());
        QVERIFY(finished.wait());
        QCOMPARE(finished.at(0).at(1).toString(), QString());
        QCOMPARE(downloadsContent(), QStringList{QStringLiteral("Daemonary-1.2.zip")});

        // The next day's check finds the same version, already kept.
        runBackgroundCheck();
        QVERIFY(!m_updater->isDownloading());
        QCOMPARE(m_server->requestCount(kPath), 1);
        QCOMPARE(finished.count(), 1);
    }

    void unverifiedDownloadsAreNotKept_data() {
        QTest::addColumn<QByteArray>("served");
        QTest::addColumn<qint64>("declaredLength"); // -1: the body's own
        QTest::addColumn<int>("status");
        QTest::addColumn<qint64>("announcedLength");
        QTest::addColumn<QByteArray>("signature");
        QTest::addColumn<QString>("publicKey");
        QTest::addColumn<QString>("error");
        QTest::addColumn<bool>("fetched");

        const QByteArray good = m_payload;
        const qint64 size = good.size();
        const QByteArray signature = m_keys.sign(good);
        const QString key = QString::fromLatin1(m_keys.publicKeyBase64());
        QByteArray tampered = good;
        tampered[size / 2] = static_cast<char>(tampered[size / 2] ^ 1);
        // The attacker whose key sits in the user's defaults in every case.
        const KeyPair& other = m_attacker;

        // Signature.
        QTest::newRow("altered file") << tampered << qint64(-1) << 200 << size << signature << key
                                      << "signature does not match" << true;
        QTest::newRow("signed with another key")
            << good << qint64(-1) << 200 << size << other.sign(good) << key
            << "signature does not match" << true;
        QTest::newRow("no signature")
            << good << qint64(-1) << 200 << size << QByteArray() << key << "not signed" << false;
        QTest::newRow("signature not base64") << good << qint64(-1) << 200 << size
                                              << QByteArray("%%%") << key << "not base64" << false;
        QTest::newRow("signature too short")
            << good << qint64(-1) << 200 << size << QByteArray("c2hvcnQ=") << key
            << "5 bytes instead of 64" << false;
        // Key.
        // Signed by the attacker whose key is in the defaults: still refused.
        QTest::newRow("no public key configured")
            << good << qint64(-1) << 200 << size << other.sign(good) << QString() << "No public key"
            << false;
        QTest::newRow("public key of the wrong size")
            << good << qint64(-1) << 200 << size << signature << QStringLiteral("AAAAAAAAAAAAAAAA")
            << "12 bytes instead of 32" << false;
        // Length and transfer.
        QTest::newRow("longer than announced")
            << good << qint64(-1) << 200 << size - 1 << signature << key << "longer than" << true;
        QTest::newRow("shorter than announced")
            << good << qint64(-1) << 200 << size + 1 << signature << key
            << QStringLiteral("has %1 bytes; its feed announced %2").arg(size).arg(size + 1)
            << true;
        QTest::newRow("transfer cut off")
            << good.left(size / 3) << size << 200 << size << signature << key << QString() << true;
        QTest::newRow("not found") << QByteArray("gone") << qint64(-1) << 404 << size << signature
                                   << key << "download failed" << true;
        QTest::newRow("announced over 1 GiB") << good << qint64(-1) << 200 << (qint64(1) << 31)
                                              << signature << key << "over 1 GiB" << false;
    }

    void unverifiedDownloadsAreNotKept() {
        QFETCH(QByteArray, served);
        QFETCH(qint64, declaredLength);
        QFETCH(int, status);
        QFETCH(qint64, announcedLength);
        QFETCH(QByteArray, signature);
        QFETCH(QString, publicKey);
        QFETCH(QString, error);
        QFETCH(bool, fetched);
        // Any process of the user can write the defaults: a key there would
        // let it sign its own "update", so it is never used.
        m_defaults->setValue(QStringLiteral("SUPublicEDKey"),
                             QString::fromLatin1(m_attacker.publicKeyBase64()));
        m_server->respond(kPath, status, served,
                          declaredLength < 0 ? std::nullopt : std::optional(declaredLength));
        m_server->respond(
            200, feedOffering("1.2", m_server->url(kPath).toEncoded(), announcedLength, signature));
        AppcastUpdater::Options withKey = options();
        withKey.publicEdKey = publicKey;
        startUpdater(withKey);

        QSignalSpy finished(m_updater, &AppcastUpdater::downloadFinished);
        runBackgroundCheck();
        QVERIFY(finished.count() == 1 || finished.wait());
        QCOMPARE(finished.at(0).at(0).toString(), QString());
        const QString reported = finished.at(0).at(1).toString();
        QVERIFY2(!reported.isEmpty() && reported.contains(error), qPrintable(reported));
        QCOMPARE(downloadsContent(), QStringList());
        // Qt's HTTP layer may ask once more for a transfer the server cut off.
        if (fetched) {
            QVERIFY(m_server->requestCount(kPath) >= 1);
        } else {
            QCOMPARE(m_server->requestCount(kPath), 0);
        }
        QVERIFY(!m_updater->isDownloading());
        QVERIFY(!m_defaults->hasStoredValue(QLatin1String(AppcastUpdater::kDownloadedVersionKey)));
        // Told to the user, and logged.
        QMessageBox* alert = m_updater->alert();
        QVERIFY(alert != nullptr);
        QVERIFY(alert->text().contains(reported));
        QVERIFY(alert->findChild<QAbstractButton*>(QStringLiteral("updateAlertRevealButton")) ==
                nullptr);
        QVERIFY(m_log.join(u'\n').contains(reported));
    }

    void cancellingDeletesThePartialFile() {
        const QByteArray large = payload(8 * 1024 * 1024);
        m_server->respond(kPath, 200, large);
        UpdateDownload::Request request;
        request.url = m_server->url(kPath);
        request.expectedLength = large.size();
        request.signature = QByteArray(UpdateSignature::kSignatureBytes, '\0');
        request.publicKey = QByteArray(UpdateSignature::kPublicKeyBytes, '\0');
        request.folder = m_downloads;
        request.fileName = QStringLiteral("Daemonary-1.2.zip");
        request.allowLoopbackHttpForTesting = true;
        UpdateDownload download(request);
        QSignalSpy finished(&download, &UpdateDownload::finished);
        bool sawPartialFile = false;
        connect(&download, &UpdateDownload::progress, &download, [&] {
            sawPartialFile = QFileInfo::exists(download.partialPath()) &&
                             download.partialPath().endsWith(u".download");
            download.cancel();
        });
        download.start();
        QVERIFY(finished.wait());
        QVERIFY(sawPartialFile);
        QVERIFY(download.wasCancelled());
        QCOMPARE(finished.at(0).at(0).toString(), QString());
        QCOMPARE(downloadsContent(), QStringList());
    }

    // A stalled transfer: the user cancels it, or the application quits.
    void stoppedDownloadsLeaveNothingBehind() {
        const QByteArray part = payload(64 * 1024);
        m_server->respond(kPath, 200, part, part.size() * 2, true);
        m_server->respond(200, feedOffering("1.2", m_server->url(kPath).toEncoded(),
                                            part.size() * 2, m_keys.sign(part + part)));
        startUpdater(options());

        QSignalSpy shown(m_updater, &AppcastUpdater::alertShown);
        m_manager->checkForUpdates();
        QVERIFY(shown.wait());
        QSignalSpy progress(m_updater, &AppcastUpdater::downloadProgress);
        QSignalSpy finished(m_updater, &AppcastUpdater::downloadFinished);
        m_updater->alert()
            ->findChild<QAbstractButton*>(QStringLiteral("updateAlertDownloadButton"))
            ->click();
        QVERIFY(progress.wait());
        QCOMPARE(downloadsContent(), QStringList{QStringLiteral("Daemonary-1.2.zip.download")});
        auto* cancel = m_updater->progressDialog()->findChild<QPushButton*>(
            QStringLiteral("updateDownloadCancelButton"));
        QVERIFY(cancel != nullptr);
        QSignalSpy alerts(m_updater, &AppcastUpdater::alertShown);
        cancel->click();
        QVERIFY(finished.wait());
        QVERIFY(finished.at(0).at(1).toString().contains(u"cancelled"));
        QCOMPARE(downloadsContent(), QStringList());
        QVERIFY(!m_updater->isDownloading());
        // The user knows: no alert about it.
        QCOMPARE(alerts.count(), 0);

        // Quitting mid-transfer deletes the partial file before it returns.
        QSignalSpy shownAgain(m_updater, &AppcastUpdater::alertShown);
        m_manager->checkForUpdates();
        QVERIFY(shownAgain.wait());
        QSignalSpy progressAgain(m_updater, &AppcastUpdater::downloadProgress);
        m_updater->alert()
            ->findChild<QAbstractButton*>(QStringLiteral("updateAlertDownloadButton"))
            ->click();
        QVERIFY(progressAgain.wait());
        QCOMPARE(downloadsContent().size(), 1);
        m_manager.reset();
        QCOMPARE(downloadsContent(), QStringList());
    }

    // Without a feed nothing is asked of the network and nothing is
    // reported; the command says why it is unavailable.
    void withoutAFeedChecksAreDisabledAndSilent() {
        AppcastUpdater::Options none = options();
        none.feedUrl = QUrl();
        none.firstCheckDelay = std::chrono::milliseconds(0);
        startUpdater(none);
        m_popover =
            std::make_unique<UpdateSettingsPopover>(*m_manager, *m_defaults, QStringLiteral("1.0"));
        auto* check = m_popover->findChild<QPushButton*>(QStringLiteral("checkForUpdateButton"));
        QVERIFY(check != nullptr);

        const QString reason = QStringLiteral("No update feed is configured");
        QVERIFY(!m_manager->canCheckForUpdates());
        QCOMPARE(m_manager->checkUnavailableReason(), reason);
        QVERIFY(!check->isEnabled());
        QCOMPARE(check->toolTip(), reason);
        QCOMPARE(check->accessibleDescription(), reason);
        // Written in the popover too, not only in a tooltip.
        auto* written = m_popover->findChild<QLabel*>(QStringLiteral("updateUnavailableLabel"));
        QVERIFY(written != nullptr && written->isVisibleTo(m_popover.get()));
        QCOMPARE(written->text(), reason);
        QVERIFY(m_updater->automaticallyChecksForUpdates());
        QVERIFY(!m_updater->isAutomaticCheckScheduled());

        QSignalSpy finished(m_updater, &AppcastUpdater::checkFinished);
        m_manager->checkForUpdates();
        m_updater->checkForUpdates();
        m_updater->checkInBackground();
        QVERIFY(!m_updater->isChecking());
        QCoreApplication::processEvents();
        QCOMPARE(finished.count(), 0);
        QCOMPARE(m_server->requestCount(), 0);
        QVERIFY(m_updater->alert() == nullptr);
        QVERIFY(!m_manager->canInstallUpdates());
        QCOMPARE(m_log, QStringList());

        // A feed in the user defaults is taken at once.
        QSignalSpy availability(m_manager.get(), &SparkleUpdateManager::canCheckForUpdatesChanged);
        m_defaults->setValue(QLatin1String(AppcastUpdater::kFeedUrlKey),
                             m_server->url().toString());
        QCOMPARE(availability.count(), 1);
        QVERIFY(m_manager->canCheckForUpdates());
        QVERIFY(check->isEnabled());
        QCOMPARE(check->toolTip(), QString());
        QVERIFY(!written->isVisibleTo(m_popover.get()));
        QVERIFY(m_updater->isAutomaticCheckScheduled());
        QVERIFY(finished.wait());
        QCOMPARE(m_server->requestCount(), 1);

        // One that is no web address is as good as none, and says so.
        m_defaults->setValue(QLatin1String(AppcastUpdater::kFeedUrlKey),
                             QStringLiteral("file:///etc/appcast.xml"));
        QVERIFY(!check->isEnabled());
        QVERIFY(check->toolTip().contains(u"not an https address"));
        QVERIFY(!m_updater->isAutomaticCheckScheduled());
    }

    void onlyHttpsAddressesAreFetched_data() {
        QTest::addColumn<QString>("url");
        QTest::addColumn<bool>("loopbackHttp");
        QTest::addColumn<bool>("allowed");
        QTest::newRow("https") << "https://updates.example/appcast.xml" << false << true;
        QTest::newRow("http") << "http://updates.example/appcast.xml" << false << false;
        QTest::newRow("http to 127.0.0.1") << "http://127.0.0.1:8080/a.xml" << false << false;
        QTest::newRow("test seam: http to 127.0.0.1")
            << "http://127.0.0.1:8080/a.xml" << true << true;
        QTest::newRow("test seam: http elsewhere")
            << "http://updates.example/a.xml" << true << false;
        QTest::newRow("test seam: a name, not the address")
            << "http://localhost.updates.example/a.xml" << true << false;
    }

    void onlyHttpsAddressesAreFetched() {
        QFETCH(QString, url);
        QFETCH(bool, loopbackHttp);
        QFETCH(bool, allowed);
        QCOMPARE(isSecureUpdateUrl(QUrl(url), loopbackHttp), allowed);
    }

    // Without the test seam a download from the local server is refused,
    // with the reason, and never asked for.
    void plainHttpDownloadIsRefusedWithTheReason() {
        UpdateDownload::Request request;
        request.url = m_server->url(kPath);
        request.folder = m_downloads;
        request.fileName = QStringLiteral("Daemonary-1.2.zip");
        UpdateDownload download(request);
        QSignalSpy finished(&download, &UpdateDownload::finished);
        download.start();
        QCOMPARE(finished.count(), 1);
        QVERIFY(finished.at(0).at(1).toString().contains(u"not an https address"));
        QCOMPARE(m_server->requestCount(), 0);
        QCOMPARE(downloadsContent(), QStringList());
    }

    // A file put in place of the download after its signature held is not
    // the one that gets the name: nothing is kept.
    void fileSwappedAfterVerificationIsNotKept() {
        m_server->respond(kPath, 200, m_payload);
        UpdateDownload::Request request;
        request.url = m_server->url(kPath);
        request.expectedLength = m_payload.size();
        request.signature = std::get<QByteArray>(
            UpdateSignature::decodeSignature(QString::fromLatin1(m_keys.sign(m_payload))));
        request.publicKey = std::get<QByteArray>(
            UpdateSignature::decodePublicKey(QString::fromLatin1(m_keys.publicKeyBase64())));
        request.folder = m_downloads;
        request.fileName = QStringLiteral("Daemonary-1.2.zip");
        request.allowLoopbackHttpForTesting = true;
        UpdateDownload download(request);
        const QString evil = m_dir->filePath(QStringLiteral("evil"));
        connect(&download, &UpdateDownload::verified, &download, [&] {
            writeFile(evil, "not what was signed");
            QVERIFY(::rename(QFile::encodeName(evil).constData(),
                             QFile::encodeName(download.partialPath()).constData()) == 0);
        });
        QSignalSpy finished(&download, &UpdateDownload::finished);
        download.start();
        QVERIFY(finished.wait());
        QCOMPARE(finished.at(0).at(0).toString(), QString());
        QVERIFY(finished.at(0).at(1).toString().contains(u"replaced"));
        QCOMPARE(downloadsContent(), QStringList());
    }

    void downloadNames_data() {
        QTest::addColumn<QString>("url");
        QTest::addColumn<int>("number");
        QTest::addColumn<QString>("expected");
        QTest::newRow("plain") << "https://h/d/Daemonary-1.2.zip" << 0 << "Daemonary-1.2.zip";
        QTest::newRow("numbered") << "https://h/d/Daemonary-1.2.zip" << 2
                                  << "Daemonary-1.2 (2).zip";
        QTest::newRow("two suffixes")
            << "https://h/Daemonary-1.2.tar.gz" << 1 << "Daemonary-1.2 (1).tar.gz";
        QTest::newRow("version is no extension")
            << "https://h/Daemonary-1.2" << 1 << "Daemonary-1.2 (1)";
        QTest::newRow("no name: the fallback") << "https://h/" << 0 << "Daemonary 1.2";
        QTest::newRow("hidden name shown") << "https://h/..update.dmg" << 0 << "update.dmg";
        QTest::newRow("escaped separators")
            << "https://h/a%2F..%5Cb%3A%3Cc%3E.zip" << 0 << "_b__c_.zip";
        QTest::newRow("control characters") << "https://h/a%0Ab%09.zip" << 0 << "a_b_.zip";
    }

    void downloadNames() {
        QFETCH(QString, url);
        QFETCH(int, number);
        QFETCH(QString, expected);
        const QString name =
            UpdateDownload::fileNameFor(QUrl(url), QStringLiteral("Daemonary 1.2"));
        QCOMPARE(UpdateDownload::numberedName(name, number), expected);
    }

    void signaturesOfEdgeFiles() {
        // Verification maps the file; an empty one has nothing to map.
        const QString empty = m_dir->filePath(QStringLiteral("empty"));
        writeFile(empty, QByteArray());
        const auto key = UpdateSignature::decodePublicKey(
            QStringLiteral(" %1\n").arg(QString::fromLatin1(m_keys.publicKeyBase64())));
        QVERIFY(std::holds_alternative<QByteArray>(key));
        const auto signature =
            UpdateSignature::decodeSignature(QString::fromLatin1(m_keys.sign(QByteArray())));
        QVERIFY(std::holds_alternative<QByteArray>(signature));
        QCOMPARE(UpdateSignature::verifyFile(empty, std::get<QByteArray>(signature),
                                             std::get<QByteArray>(key)),
                 std::nullopt);
        writeFile(empty, "x");
        QVERIFY(UpdateSignature::verifyFile(empty, std::get<QByteArray>(signature),
                                            std::get<QByteArray>(key)));
        QVERIFY(UpdateSignature::verifyFile(m_dir->filePath(QStringLiteral("missing")),
                                            std::get<QByteArray>(signature),
                                            std::get<QByteArray>(key)));
    }

private:
    AppcastUpdater::Options options() {
        AppcastUpdater::Options options;
        options.feedUrl = m_server->url();
        options.publicEdKey = QString::fromLatin1(m_keys.publicKeyBase64());
        options.allowLoopbackHttpForTesting = true;
        options.reveal = [this](const QString& path) { m_revealed << path; };
        options.appName = QStringLiteral("Daemonary");
        options.displayVersion = QStringLiteral("1.0");
        options.bundleVersion = QStringLiteral("1.0");
        return options;
    }

    void serveSigned(const QByteArray& body, const QByteArray& signature) {
        m_server->respond(kPath, 200, body);
        m_server->respond(
            200, feedOffering("1.2", m_server->url(kPath).toEncoded(), body.size(), signature));
    }

    void startUpdater(const AppcastUpdater::Options& options) {
        m_manager =
            std::make_unique<SparkleUpdateManager>([this, options](Updater::Callbacks callbacks) {
                auto updater =
                    std::make_unique<AppcastUpdater>(options, *m_defaults, std::move(callbacks));
                m_updater = updater.get();
                return updater;
            });
        m_manager->start();
        QVERIFY(m_updater != nullptr);
    }

    void runBackgroundCheck() {
        QSignalSpy finished(m_updater, &AppcastUpdater::checkFinished);
        m_updater->checkInBackground();
        QVERIFY(finished.count() == 1 || finished.wait());
    }

    QStringList downloadsContent() const {
        return QDir(m_downloads)
            .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
    }

    static void writeFile(const QString& path, const QByteArray& bytes) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        QCOMPARE(file.write(bytes), bytes.size());
    }

    QTemporaryDir m_home;
    QString m_downloads;
    QByteArray m_payload;
    KeyPair m_keys;
    KeyPair m_attacker;
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<UserDefaults> m_defaults;
    std::unique_ptr<FeedServer> m_server;
    std::unique_ptr<SparkleUpdateManager> m_manager;
    std::unique_ptr<UpdateSettingsPopover> m_popover;
    AppcastUpdater* m_updater = nullptr;
    QStringList m_revealed;
    QStringList m_log;
};

QTEST_MAIN(UpdateDownloadTest)
#include "UpdateDownloadTest.moc"
