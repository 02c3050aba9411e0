#include "Hostsim.h"

#include "Codesign.h"
#include "HostContext.h"
#include "HostLifecycle.h"
#include "Kmutil.h"
#include "Launchctl.h"
#include "Osascript.h"
#include "Sfltool.h"

#include <cstdlib>
#include <ostream>

namespace daemonary::hostsim {

namespace {

constexpr int kUsageStatus = 64;
constexpr int kNoHostStatus = 69;

bool isTool(std::string_view name) {
    return name == "launchctl" || name == "kmutil" || name == "osascript" || name == "codesign" ||
           name == "sfltool";
}

int usage(std::ostream& err) {
    err << "Usage: daemonary-hostsim launchctl|kmutil|osascript|codesign|sfltool ARGS...\n"
           "       daemonary-hostsim boot|shutdown\n"
           "Run through a link named after the tool, or with DAEMONARY_HOST_ROOT set.\n";
    return kUsageStatus;
}

} // namespace

int runHostsim(const std::vector<std::string>& commandLine, std::ostream& out, std::ostream& err) {
    const std::string argv0 = commandLine.empty() ? std::string() : commandLine.front();
    std::string tool(
        argv0.substr(argv0.rfind('/') == std::string::npos ? 0 : argv0.rfind('/') + 1));
    std::vector<std::string> arguments;
    if (commandLine.size() > 1)
        arguments.assign(commandLine.begin() + 1, commandLine.end());

    bool direct = !isTool(tool);
    if (direct) {
        if (arguments.empty())
            return usage(err);
        tool = arguments.front();
        arguments.erase(arguments.begin());
        if (!isTool(tool) && tool != "boot" && tool != "shutdown")
            return usage(err);
    }

    auto root = hostRootFor(tool, direct ? std::string_view() : std::string_view(argv0),
                            std::getenv("DAEMONARY_HOST_ROOT"), currentWorkingDirectory());
    if (!root) {
        err << tool << ": cannot tell which simulated host this is; "
            << "set DAEMONARY_HOST_ROOT or run the tool through the host's link\n";
        return kNoHostStatus;
    }
    HostContext host(*root, out, err);
    if (const auto uid = simulatedCallerUid(std::getenv("DAEMONARY_HOSTSIM_UID")))
        host.setCallerUid(*uid);
    if (tool == "launchctl")
        return runLaunchctl(host, arguments);
    if (tool == "kmutil")
        return runKmutil(host, arguments);
    if (tool == "osascript")
        return runOsascript(host, arguments);
    if (tool == "codesign")
        return runCodesign(host, arguments);
    if (tool == "sfltool")
        return runSfltool(host, arguments);
    if (!arguments.empty())
        return usage(err);
    return tool == "boot" ? bootHost(host) : shutDownHost(host);
}

} // namespace daemonary::hostsim
