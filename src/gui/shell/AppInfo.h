#pragma once

#include "plist/PropertyList.h"

#include <QString>

namespace daemonary {

// What a macOS bundle keeps in its information dictionary, generated from the
// build for every platform so that Linux builds carry the same facts. In a
// bundle, the values of its Info.plist win, so a packager can set the update
// keys without rebuilding.
struct AppInfo {
    QString name;          // CFBundleName
    QString identifier;    // CFBundleIdentifier
    QString shortVersion;  // CFBundleShortVersionString; empty when the build sets none
    QString bundleVersion; // CFBundleVersion: the version update feeds are compared with
    QString feedUrl;       // SUFeedURL; empty when no feed is configured
    QString publicEdKey;   // SUPublicEDKey: base64 Ed25519 key that signs updates

    static const AppInfo& current();

    // "1.2 (1200)", or the short version alone when the two agree: what
    // About and `daemonary --version` show.
    QString versionText() const;

    // The values built into this program.
    static AppInfo compiled();
    // These values with every text value the dictionary holds under the same keys.
    AppInfo overriddenBy(const PlistDictionary& infoDictionary) const;
    // These values with those of the bundle's Contents/Info.plist; unchanged
    // (and logged) when the file cannot be read.
    AppInfo overriddenByBundle(const QString& bundlePath) const;
};

} // namespace daemonary
