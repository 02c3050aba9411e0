#pragma once

#include <string>

namespace daemonary {

// Local crash reports: on a fatal signal, a short report with a backtrace is
// written to a file in the crash folder and to standard error, then the
// process dies of the same signal as it would have. Nothing leaves the machine.
class CrashReporter {
public:
    CrashReporter() = delete;

    // Reports go to "crashes" under the application's data location. Call once
    // the application's name is set (QCoreApplication::setApplicationName).
    static void configure();
    // Reports go to the given folder, created if needed. Returns false (and
    // logs why) when no handler could be installed. A second call only changes
    // the folder.
    static bool configure(const std::string& crashDirectory);

    // The folder reports go to; empty before configure().
    static std::string crashDirectory();
};

} // namespace daemonary
