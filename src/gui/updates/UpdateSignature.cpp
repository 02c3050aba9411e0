#include "updates/UpdateSignature.h"

#include <QCoreApplication>
#include <QFile>
#include <sodium.h>

namespace daemonary {

namespace {

QString tr(const char* text) {
    return QCoreApplication::translate("UpdateSignature", text);
}

std::variant<QByteArray, QString> decode(const QString& base64, qsizetype size,
                                         const QString& what) {
    const QByteArray text = base64.trimmed().toLatin1();
    if (text.isEmpty()) {
        return tr("%1 is empty").arg(what);
    }
    const auto decoded =
        QByteArray::fromBase64Encoding(text, QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded) {
        return tr("%1 is not base64 text").arg(what);
    }
    if (decoded.decoded.size() != size) {
        return tr("%1 has %2 bytes instead of %3").arg(what).arg(decoded.decoded.size()).arg(size);
    }
    return decoded.decoded;
}

} // namespace

std::variant<QByteArray, QString> UpdateSignature::decodeSignature(const QString& base64) {
    return decode(base64, kSignatureBytes, tr("The update's signature"));
}

std::variant<QByteArray, QString> UpdateSignature::decodePublicKey(const QString& base64) {
    return decode(base64, kPublicKeyBytes, tr("The public key (SUPublicEDKey)"));
}

std::optional<QString> UpdateSignature::verifyFile(const QString& path, const QByteArray& signature,
                                                   const QByteArray& publicKey) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return tr("The downloaded file cannot be read: %1").arg(file.errorString());
    }
    return verifyFile(file, signature, publicKey);
}

std::optional<QString> UpdateSignature::verifyFile(QFile& file, const QByteArray& signature,
                                                   const QByteArray& publicKey) {
    if (signature.size() != kSignatureBytes || publicKey.size() != kPublicKeyBytes) {
        return tr("The signature or the public key has the wrong size");
    }
    if (sodium_init() < 0) {
        return tr("The signature library could not be initialised");
    }
    // Ed25519 signs the message as a whole, so it must be addressable at once;
    // a mapping leaves the paging to the system instead of the heap.
    const qint64 size = file.size();
    static const unsigned char empty = 0;
    const unsigned char* bytes = &empty;
    if (size > 0) {
        bytes = file.map(0, size);
        if (bytes == nullptr) {
            return tr("The downloaded file cannot be mapped: %1").arg(file.errorString());
        }
    }
    const int verdict =
        crypto_sign_verify_detached(reinterpret_cast<const unsigned char*>(signature.constData()),
                                    bytes, static_cast<unsigned long long>(size),
                                    reinterpret_cast<const unsigned char*>(publicKey.constData()));
    if (size > 0) {
        file.unmap(const_cast<unsigned char*>(bytes));
    }
    if (verdict != 0) {
        return tr("The signature does not match the file: it was not signed with the "
                  "application's key, or it was altered");
    }
    return std::nullopt;
}

} // namespace daemonary
