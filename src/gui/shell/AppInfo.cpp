#include "shell/AppInfo.h"

#include "AppInfoValues.h"
#include "platform/Log.h"
#include "platform/QtWorkspace.h"

#include <QCoreApplication>
#include <QFile>

namespace daemonary {

namespace {

// An Info.plist is a few kilobytes; a larger file is not one.
constexpr qint64 kMaxInfoPlistBytes = 1024 * 1024;

void takeString(const PlistDictionary& dictionary, const char* key, QString& target) {
    const auto found = dictionary.find(key);
    if (found == dictionary.end()) {
        return;
    }
    if (const std::string* text = found->second.string()) {
        target = QString::fromStdString(*text).trimmed();
    }
}

} // namespace

const AppInfo& AppInfo::current() {
    static const AppInfo info = [] {
        AppInfo compiledInfo = compiled();
        if (QCoreApplication::instance() == nullptr) {
            return compiledInfo;
        }
        const auto bundle = QtWorkspace::bundlePathForProgramDirectory(
            QCoreApplication::applicationDirPath().toStdString());
        return bundle ? compiledInfo.overriddenByBundle(QString::fromStdString(*bundle))
                      : compiledInfo;
    }();
    return info;
}

QString AppInfo::versionText() const {
    if (bundleVersion.isEmpty() || bundleVersion == shortVersion) {
        return shortVersion.isEmpty() ? bundleVersion : shortVersion;
    }
    return QStringLiteral("%1 (%2)").arg(
        shortVersion.isEmpty() ? QStringLiteral("-") : shortVersion, bundleVersion);
}

AppInfo AppInfo::compiled() {
    return AppInfo{
        QString::fromUtf8(appinfo::kName),
        QString::fromUtf8(appinfo::kIdentifier),
        QString::fromUtf8(appinfo::kShortVersion),
        QString::fromUtf8(appinfo::kBundleVersion),
        QString::fromUtf8(appinfo::kFeedUrl).trimmed(),
        QString::fromUtf8(appinfo::kPublicEdKey).trimmed(),
    };
}

AppInfo AppInfo::overriddenBy(const PlistDictionary& infoDictionary) const {
    AppInfo info = *this;
    takeString(infoDictionary, "CFBundleName", info.name);
    takeString(infoDictionary, "CFBundleIdentifier", info.identifier);
    takeString(infoDictionary, "CFBundleShortVersionString", info.shortVersion);
    takeString(infoDictionary, "CFBundleVersion", info.bundleVersion);
    takeString(infoDictionary, "SUFeedURL", info.feedUrl);
    takeString(infoDictionary, "SUPublicEDKey", info.publicEdKey);
    return info;
}

AppInfo AppInfo::overriddenByBundle(const QString& bundlePath) const {
    const QString path = bundlePath + QStringLiteral("/Contents/Info.plist");
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() > kMaxInfoPlistBytes) {
        Log::line(QStringLiteral("AppInfo: cannot read %1; using the built-in values")
                      .arg(path)
                      .toStdString());
        return *this;
    }
    const QByteArray bytes = file.read(kMaxInfoPlistBytes);
    const auto parsed = parsePropertyList(std::string_view(bytes.constData(), bytes.size()));
    const PlistDictionary* dictionary = parsed ? parsed->dictionary() : nullptr;
    if (dictionary == nullptr) {
        Log::line(QStringLiteral("AppInfo: %1 is not a property-list dictionary; using the "
                                 "built-in values")
                      .arg(path)
                      .toStdString());
        return *this;
    }
    return overriddenBy(*dictionary);
}

} // namespace daemonary
