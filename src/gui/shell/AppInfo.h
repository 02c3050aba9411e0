#pragma once

#include <QString>

namespace daemonary {

// What a macOS bundle keeps in its information dictionary, generated from the
// build for every platform so that Linux builds carry the same facts.
struct AppInfo {
    QString name;          // CFBundleName
    QString identifier;    // CFBundleIdentifier
    QString shortVersion;  // CFBundleShortVersionString; empty when the build sets none
    QString bundleVersion; // CFBundleVersion: the version update feeds are compared with
    QString feedUrl;       // SUFeedURL

    static const AppInfo& current();
};

} // namespace daemonary
