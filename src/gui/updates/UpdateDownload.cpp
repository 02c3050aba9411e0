#include "updates/UpdateDownload.h"

#include "updates/AppcastUpdater.h"
#include "updates/UpdateSignature.h"

#include <QDir>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <array>
#include <sys/stat.h>

namespace daemonary {

namespace {

// No data for this long ends the transfer; a slow but moving one goes on.
constexpr int kTransferTimeoutMs = 60 * 1000;
// What the reply may hold before it waits for us to write it out.
constexpr qint64 kReadBufferBytes = 4 * 1024 * 1024;
// File systems take 255 bytes; room is left for " (n)" and ".download".
constexpr qsizetype kMaxNameLength = 200;
constexpr int kMaxNumberedNames = 1000;
constexpr auto kPartialSuffix = QLatin1String(".download");

// The extension kept after " (n)": archives with two suffixes stay whole, and
// a version's last component ("App-1.2") is no extension.
qsizetype extensionStart(const QString& name) {
    static const std::array<QLatin1String, 3> compound{
        QLatin1String(".tar.gz"), QLatin1String(".tar.bz2"), QLatin1String(".tar.xz")};
    for (const QLatin1String& suffix : compound) {
        if (name.endsWith(suffix, Qt::CaseInsensitive) && name.size() > suffix.size()) {
            return name.size() - suffix.size();
        }
    }
    const qsizetype dot = name.lastIndexOf(u'.');
    if (dot <= 0 || name.size() - dot > 9) {
        return name.size();
    }
    const QStringView extension = QStringView(name).sliced(dot + 1);
    const bool hasLetter =
        std::any_of(extension.begin(), extension.end(), [](QChar c) { return c.isLetter(); });
    return hasLetter ? dot : name.size();
}

QString sanitized(QString name) {
    for (QChar& c : name) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f || QStringView(u"/\\:*?\"<>|").contains(c)) {
            c = u'_';
        }
    }
    // No hidden file, no "." or "..", no name of blanks.
    qsizetype start = 0;
    while (start < name.size() && (name[start] == u'.' || name[start].isSpace())) {
        ++start;
    }
    name = name.sliced(start).trimmed();
    if (name.size() > kMaxNameLength) {
        const qsizetype dot = extensionStart(name);
        const QString extension = name.sliced(dot).left(16);
        name = name.left(kMaxNameLength - extension.size()) + extension;
    }
    return name;
}

} // namespace

UpdateDownload::UpdateDownload(Request request, QObject* parent)
    : QObject(parent), m_request(std::move(request)) {}

UpdateDownload::~UpdateDownload() {
    if (!m_done) {
        m_done = true;
        stopTransfer();
        m_file.close();
        if (!m_file.fileName().isEmpty()) {
            QFile::remove(m_file.fileName());
        }
    }
}

QString UpdateDownload::fileNameFor(const QUrl& url, const QString& fallback) {
    const QString name = sanitized(url.fileName(QUrl::FullyDecoded));
    return name.isEmpty() ? sanitized(fallback) : name;
}

QString UpdateDownload::numberedName(const QString& name, int number) {
    if (number <= 0) {
        return name;
    }
    const qsizetype dot = extensionStart(name);
    return name.left(dot) + QStringLiteral(" (%1)").arg(number) + name.sliced(dot);
}

void UpdateDownload::start() {
    if (m_done || m_reply) {
        return;
    }
    if (m_request.expectedLength > kMaxBytes) {
        fail(tr("The update is announced as %1 bytes; downloads over 1 GiB are refused.")
                 .arg(m_request.expectedLength));
        return;
    }
    if (!isSecureUpdateUrl(m_request.url, m_request.allowLoopbackHttpForTesting)) {
        fail(tr("The update is offered at %1, which is not an https address; it was not "
                "downloaded.")
                 .arg(m_request.url.toString()));
        return;
    }
    if (!QDir().mkpath(m_request.folder)) {
        fail(tr("The folder %1 cannot be created.").arg(m_request.folder));
        return;
    }
    if (!openPartialFile()) {
        fail(tr("No file can be created in %1: %2").arg(m_request.folder, m_file.errorString()));
        return;
    }

    QNetworkRequest request(m_request.url);
    request.setTransferTimeout(kTransferTimeoutMs);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute,
                         QNetworkRequest::AlwaysNetwork);
    request.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
    // A redirect may not leave https.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::NoLessSafeRedirectPolicy);
    if (!m_request.userAgent.isEmpty()) {
        request.setHeader(QNetworkRequest::UserAgentHeader, m_request.userAgent);
    }
    if (m_network == nullptr) {
        m_network = new QNetworkAccessManager(this);
    }
    m_reply = m_network->get(request);
    m_reply->setReadBufferSize(kReadBufferBytes);
    connect(m_reply, &QNetworkReply::readyRead, this, &UpdateDownload::writeAvailable);
    connect(m_reply, &QNetworkReply::finished, this, &UpdateDownload::transferFinished);
}

bool UpdateDownload::openPartialFile() {
    const QDir folder(m_request.folder);
    for (int number = 0; number < kMaxNumberedNames; ++number) {
        m_file.setFileName(
            folder.filePath(numberedName(m_request.fileName, number) + kPartialSuffix));
        // Read as well: the signature is checked through this same open file.
        if (m_file.open(QIODevice::ReadWrite | QIODevice::NewOnly)) {
            return true;
        }
        if (!m_file.exists()) {
            break; // not a name clash: the folder refuses
        }
    }
    m_file.setFileName(QString()); // nothing of ours to delete
    return false;
}

void UpdateDownload::writeAvailable() {
    if (!m_reply || !m_abortReason.isEmpty()) {
        return;
    }
    const QByteArray chunk = m_reply->readAll();
    m_received += chunk.size();
    const qint64 expected = m_request.expectedLength;
    if (expected >= 0 && m_received > expected) {
        abortWith(tr("The download is longer than the %1 bytes its feed announced.").arg(expected));
        return;
    }
    if (m_received > kMaxBytes) {
        abortWith(tr("The download is larger than 1 GiB."));
        return;
    }
    if (m_file.write(chunk) != chunk.size()) {
        abortWith(tr("Writing %1 failed: %2").arg(m_file.fileName(), m_file.errorString()));
        return;
    }
    emit progress(m_received, expected);
}

void UpdateDownload::abortWith(const QString& reason) {
    m_abortReason = reason;
    if (m_reply && m_reply->isRunning()) {
        m_reply->abort(); // finishes the reply, which reports the reason
    }
}

void UpdateDownload::transferFinished() {
    QNetworkReply* reply = m_reply;
    m_reply = nullptr;
    if (reply == nullptr || m_done) {
        return;
    }
    reply->deleteLater();
    if (m_abortReason.isEmpty() && reply->error() == QNetworkReply::NoError) {
        m_reply = reply; // the last bytes
        writeAvailable();
        m_reply = nullptr;
    }
    if (!m_abortReason.isEmpty()) {
        fail(m_abortReason);
        return;
    }
    if (reply->error() != QNetworkReply::NoError) {
        fail(tr("The download failed: %1").arg(reply->errorString()));
        return;
    }
    if (!m_file.flush()) {
        fail(tr("Writing %1 failed: %2").arg(m_file.fileName(), m_file.errorString()));
        return;
    }
    const qint64 expected = m_request.expectedLength;
    if (expected >= 0 && m_received != expected) {
        fail(tr("The download has %1 bytes; its feed announced %2.").arg(m_received).arg(expected));
        return;
    }
    verify();
}

void UpdateDownload::verify() {
    emit verifying();
    if (const std::optional<QString> error =
            UpdateSignature::verifyFile(m_file, m_request.signature, m_request.publicKey)) {
        fail(*error);
        return;
    }
    emit verified();
    if (!m_done) {
        keep();
    }
}

bool UpdateDownload::isOpenFileAt(const QString& path) const {
    struct stat open {};
    struct stat named {};
    return ::fstat(m_file.handle(), &open) == 0 &&
           ::lstat(QFile::encodeName(path).constData(), &named) == 0 &&
           open.st_dev == named.st_dev && open.st_ino == named.st_ino;
}

void UpdateDownload::keep() {
    const QDir folder(m_request.folder);
    const QString partial = m_file.fileName();
    for (int number = 0; number < kMaxNumberedNames; ++number) {
        const QString target = folder.filePath(numberedName(m_request.fileName, number));
        // QFile::rename never replaces an existing file.
        if (QFile::rename(partial, target)) {
            // The name moves a path; what it names must be the file verified.
            if (!isOpenFileAt(target)) {
                QFile::remove(target);
                m_file.close();
                m_file.setFileName(QString()); // nothing of ours is left to delete
                fail(tr("The download was replaced on disk after its signature was checked; "
                        "nothing was kept."));
                return;
            }
            m_file.close();
            m_done = true;
            emit finished(target, QString());
            return;
        }
        if (!QFileInfo::exists(target)) {
            break;
        }
    }
    fail(tr("The verified download could not be given its name in %1.").arg(m_request.folder));
}

void UpdateDownload::cancel() {
    if (m_done) {
        return;
    }
    m_cancelled = true;
    stopTransfer();
    fail(tr("The download was cancelled."));
}

void UpdateDownload::stopTransfer() {
    if (QNetworkReply* reply = m_reply) {
        m_reply = nullptr;
        reply->disconnect(this);
        reply->abort();
        reply->deleteLater();
    }
}

void UpdateDownload::fail(const QString& error) {
    if (m_done) {
        return;
    }
    m_done = true;
    m_file.close();
    if (!m_file.fileName().isEmpty()) {
        QFile::remove(m_file.fileName());
    }
    emit finished(QString(), error);
}

} // namespace daemonary
