#include "table/DisplayName.h"

namespace daemonary {

QString displayName(const QString& label) {
    QString name = label;
    if (name.endsWith(QLatin1String(".plist"), Qt::CaseSensitive)) {
        name.chop(6);
    }
    if (name.endsWith(QLatin1String(".app"), Qt::CaseSensitive)) {
        name.chop(4);
    }
    return name;
}

} // namespace daemonary
