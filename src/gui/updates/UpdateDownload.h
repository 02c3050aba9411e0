#pragma once

#include <QByteArray>
#include <QFile>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>
#include <optional>

class QNetworkAccessManager;
class QNetworkReply;

namespace daemonary {

// One update download: streams the enclosure (https only) to a temporary file
// in the target folder, checks its length against the feed's, verifies its
// Ed25519 signature and only then gives it its name, never replacing a file
// that is already there. The file stays open from the first byte to the
// move: the bytes verified are those of the open file, and the file given
// the name must be that same one, so a file swapped in under the temporary
// name is never kept. Whatever fails, the file is deleted. Nothing is ever
// opened.
// Its file work and the verification block the thread it lives in, so the
// application moves it to a thread of its own; every call is made there.
class UpdateDownload : public QObject {
    Q_OBJECT

public:
    // Updates are archives or disk images of tens of megabytes; a gigabyte
    // is no update of this application and is not written to the user's disk.
    static constexpr qint64 kMaxBytes = qint64(1) << 30;

    struct Request {
        QUrl url;
        qint64 expectedLength = -1; // the feed's length; -1 when it gives none
        QByteArray signature;       // 64 bytes
        QByteArray publicKey;       // 32 bytes
        QString folder;             // where the file is kept
        QString fileName;           // the name wanted there
        QString userAgent;
        // Plain http to 127.0.0.1, for tests only (see AppcastUpdater::Options).
        bool allowLoopbackHttpForTesting = false;
    };

    explicit UpdateDownload(Request request, QObject* parent = nullptr);
    // Stops quietly and deletes the partial file.
    ~UpdateDownload() override;

    void start();
    // Stops and deletes the partial file; finished reports the cancellation.
    void cancel();
    bool wasCancelled() const { return m_cancelled; }
    // The file being written while the download runs.
    QString partialPath() const { return m_file.fileName(); }

    // The URL's last path segment made safe as a file name, else the fallback.
    static QString fileNameFor(const QUrl& url, const QString& fallback);
    // The name itself for 0, then "stem (1).ext", "stem (2).ext"...
    static QString numberedName(const QString& name, int number);

signals:
    // Bytes written so far, of total (-1 when unknown).
    void progress(qint64 received, qint64 total);
    void verifying();
    // The signature held; the file is about to be given its name.
    void verified();
    // Once: the kept file's path, or why nothing was kept.
    void finished(const QString& path, const QString& error);

private:
    bool openPartialFile();
    void writeAvailable();
    void abortWith(const QString& reason);
    void transferFinished();
    void verify();
    void keep();
    // Whether the path names the very file this download holds open.
    bool isOpenFileAt(const QString& path) const;
    void fail(const QString& error);
    void stopTransfer();

    Request m_request;
    QNetworkAccessManager* m_network = nullptr; // made in start(), in this object's thread
    QPointer<QNetworkReply> m_reply;
    QFile m_file;
    qint64 m_received = 0;
    QString m_abortReason;
    bool m_done = false;
    bool m_cancelled = false;
};

} // namespace daemonary
