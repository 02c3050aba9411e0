#include "shell/WindowOptions.h"

#include "shell/AppInfo.h"

#include <algorithm>
#include <ostream>

namespace daemonary {

void WindowOptions::printUsage(std::ostream& out) {
    out << "Usage: daemonary [--help | --version] [Qt options]\n"
           "\n"
           "Opens the window that lists what the Mac runs in the background, by category.\n"
           "\n"
           "  -h, --help     print this help and exit\n"
           "  --version      print the name and version (as About shows them) and exit\n"
           "\n"
           "Qt's own options apply (-platform NAME, -style NAME, -reverse, ...).\n"
           "\n"
           "Environment:\n"
           "  DAEMONARY_HOST_ROOT  a folder taken as the Mac's root (a simulated host):\n"
           "                       every system folder and tool is found under it\n"
           "  HOME                 the user whose agents and login items are listed\n"
           "\n"
           "daemonary-cli lists and controls the same records from a terminal.\n";
}

std::optional<int> WindowOptions::answer(const std::vector<std::string>& arguments,
                                         std::ostream& out) {
    const auto has = [&arguments](std::initializer_list<const char*> names) {
        return std::any_of(arguments.begin(), arguments.end(), [names](const std::string& given) {
            return std::find(names.begin(), names.end(), given) != names.end();
        });
    };
    if (has({"--help", "-h"})) {
        printUsage(out);
        return 0;
    }
    if (has({"--version"})) {
        // The built-in values: a bundle's Info.plist is read only once the
        // application object exists, which answering must not need.
        const AppInfo info = AppInfo::compiled();
        out << info.name.toStdString() << ' ' << info.versionText().toStdString() << '\n';
        return 0;
    }
    return std::nullopt;
}

} // namespace daemonary
