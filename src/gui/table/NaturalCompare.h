#pragma once

#include <QStringView>

namespace daemonary {

// The one text order of the interface: case-insensitive, runs of ASCII digits
// compared by value, independent of the process locale (QCollator drops its
// numeric mode in the C locale). Negative, zero or positive like strcmp.
int naturalCompare(QStringView a, QStringView b);

} // namespace daemonary
