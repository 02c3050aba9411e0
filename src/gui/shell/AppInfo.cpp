#include "shell/AppInfo.h"

#include "AppInfoValues.h"

namespace daemonary {

const AppInfo& AppInfo::current() {
    static const AppInfo info{
        QString::fromUtf8(appinfo::kName),         QString::fromUtf8(appinfo::kIdentifier),
        QString::fromUtf8(appinfo::kShortVersion), QString::fromUtf8(appinfo::kBundleVersion),
        QString::fromUtf8(appinfo::kFeedUrl),
    };
    return info;
}

} // namespace daemonary
