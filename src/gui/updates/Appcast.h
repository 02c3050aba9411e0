#pragma once

#include <QByteArray>
#include <QString>
#include <QStringView>
#include <optional>
#include <variant>
#include <vector>

namespace daemonary {

// One release offered by an update feed.
struct AppcastItem {
    QString title;
    QString version;      // sparkle:version, compared with the bundle version
    QString shortVersion; // sparkle:shortVersionString, shown to the user
    QString downloadUrl;  // the enclosure's url
    QString infoUrl;      // the item's <link>
    qint64 length = -1;   // the enclosure's announced size in bytes; -1 when not given
    QString edSignature;  // sparkle:edSignature: base64 Ed25519 signature of the enclosure

    // What to offer the user: the download itself, else the release's page.
    QString offeredLink() const { return downloadUrl.isEmpty() ? infoUrl : downloadUrl; }
    QString displayVersion() const { return shortVersion.isEmpty() ? version : shortVersion; }
};

// An RSS update feed ("appcast") with the update framework's version
// attributes or elements. Items without a version, for another operating
// system or on a named channel are left out.
struct Appcast {
    std::vector<AppcastItem> items;

    // The feed, or a text saying why it is not one.
    static std::variant<Appcast, QString> parse(const QByteArray& xml);

    // The item with the highest version; nothing for an empty feed.
    std::optional<AppcastItem> newestItem() const;
};

// Dotted versions compared component by component, numerically ("1.10" >
// "1.9"); missing components count as 0 ("1.0" == "1.0.0"); a component with
// a suffix after its number is a pre-release of that number ("1.0b2" < "1.0").
// Negative, zero or positive like strcmp.
int compareVersions(QStringView left, QStringView right);

} // namespace daemonary
