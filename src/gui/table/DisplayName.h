#pragma once

#include <QString>

namespace daemonary {

// A record's label as the interface shows it: a trailing ".plist" removed, then a
// trailing ".app" (exact, case-sensitive suffixes), so "X.app.plist" shows as "X".
QString displayName(const QString& label);

} // namespace daemonary
