#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>
#include <optional>
#include <variant>

namespace daemonary {

// Ed25519 detached signatures as update feeds carry them
// (sparkle:edSignature: base64 of the 64-byte signature over the whole file)
// and the public key that checks them (SUPublicEDKey: base64 of 32 bytes).
class UpdateSignature {
public:
    static constexpr qsizetype kSignatureBytes = 64;
    static constexpr qsizetype kPublicKeyBytes = 32;

    // The decoded bytes, or why the text is not such a value.
    static std::variant<QByteArray, QString> decodeSignature(const QString& base64);
    static std::variant<QByteArray, QString> decodePublicKey(const QString& base64);

    // Nothing when the file is exactly what the key signed; otherwise why not.
    // The file is mapped, not read into memory; call it off the GUI thread.
    static std::optional<QString> verifyFile(const QString& path, const QByteArray& signature,
                                             const QByteArray& publicKey);
    // The same for a file that is open for reading: what is checked is what
    // that open file holds, whatever its name names meanwhile.
    static std::optional<QString> verifyFile(QFile& file, const QByteArray& signature,
                                             const QByteArray& publicKey);
};

} // namespace daemonary
