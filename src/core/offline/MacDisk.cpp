#include "offline/MacDisk.h"

#include "discovery/AppBundleScanner.h"
#include "offline/DisabledFile.h"
#include "offline/MacUserRecord.h"
#include "platform/FileSystem.h"
#include "platform/Log.h"
#include "plist/PlistReader.h"
#include "text/Text.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <set>
#include <utility>

namespace daemonary {

namespace {

constexpr std::string_view kUserRecords = "/private/var/db/dslocal/nodes/Default/users";
constexpr std::string_view kLaunchdDatabase = "/private/var/db/com.apple.xpc.launchd";
// The home of the Mac's "nobody": an empty folder, so a layout without a user
// reads no one's home.
constexpr std::string_view kNoHome = "/private/var/empty";
// A user record is a few kilobytes, a picture included; a larger file is not one.
constexpr std::size_t kMaxUserRecordBytes = 4 * 1024 * 1024;
// A disabled file lists some hundred labels.
constexpr std::size_t kMaxDisabledFileBytes = 4 * 1024 * 1024;

// Categories that read a home as well as the system's folders.
bool readsHomes(LaunchScope scope) {
    switch (scope) {
    case LaunchScope::user:
    case LaunchScope::privilegedHelperTools:
    case LaunchScope::others:
    case LaunchScope::background:
        return true;
    case LaunchScope::system:
    case LaunchScope::macos:
    case LaunchScope::mach:
    case LaunchScope::kernel:
        break;
    }
    return false;
}

bool isWithin(std::string_view path, std::string_view folder) {
    return !folder.empty() && path.starts_with(folder) &&
           (path.size() == folder.size() || path[folder.size()] == '/');
}

// What no file can say: nobody runs anything, and nobody is known to be
// allowed or not.
void markUnknownState(LaunchItem& item) {
    item.pid.reset();
    item.pidSource = PidSource::launchd;
    item.index.reset();
    item.status = ServiceStatus::unknown;
    item.allowedInBackground = std::nullopt;
}

} // namespace

std::variant<MacDisk, MacDiskError> MacDisk::open(const std::string& directory) {
    char buffer[PATH_MAX];
    if (directory.empty() || ::realpath(directory.c_str(), buffer) == nullptr ||
        !isDirectory(buffer)) {
        return MacDiskError{displayableText(directory) + " is not a folder"};
    }
    MacDisk disk;
    disk.m_root = buffer;
    const HostLayout layout = disk.layout();
    const auto folder = [&layout](std::string_view macPath) {
        const auto onDisk = layout.insideHost(macPath);
        return onDisk && isDirectory(*onDisk);
    };
    if (!folder("/System/Library") && !folder("/Library")) {
        return MacDiskError{displayableText(directory) +
                            " does not look like a Mac's disk (no System/Library or Library)"};
    }
    disk.m_users = disk.readUsers();
    disk.m_disabled = disk.readDisabled();
    return disk;
}

const std::string& MacDisk::root() const {
    return m_root;
}

const std::vector<MacUser>& MacDisk::users() const {
    return m_users;
}

const DisabledServices& MacDisk::disabled() const {
    return m_disabled;
}

HostLayout MacDisk::layout(const MacUser* user) const {
    // A root of "/" (this machine's own disk, read as one) adds no prefix.
    const std::string base = m_root == "/" ? std::string() : m_root;
    HostLayout layout(m_root, base + std::string(user ? std::string_view(user->home) : kNoHome));
    layout.refuseTools(std::string(kToolRefusal));
    return layout;
}

std::string MacDisk::macPath(std::string_view path) const {
    std::string result(path);
    stripRoot(result);
    return result;
}

void MacDisk::stripRoot(std::string& path) const {
    if (m_root != "/" && path.size() > m_root.size() && isWithin(path, m_root)) {
        path.erase(0, m_root.size());
    }
}

std::vector<MacUser> MacDisk::readUsers() const {
    const HostLayout disk = layout();
    std::vector<MacUser> users;
    std::set<std::string, std::less<>> names;
    std::set<std::string, std::less<>> homes;
    const auto add = [&](MacUser user) {
        while (user.home.size() > 1 && user.home.back() == '/') {
            user.home.pop_back();
        }
        if (names.contains(user.name) || homes.contains(user.home)) {
            return;
        }
        // A home that a link takes out of the disk is not read.
        const auto onDisk = disk.insideHost(user.home);
        if (!onDisk) {
            Log::line("Skipping the home of " + displayableText(user.name) +
                      ", which leads out of the disk: " + displayableText(user.home));
            return;
        }
        if (!isDirectory(*onDisk)) {
            Log::info("No home on the disk for " + displayableText(user.name));
            return;
        }
        names.insert(user.name);
        homes.insert(user.home);
        users.push_back(std::move(user));
    };

    const std::string records = disk.system(kUserRecords);
    if (disk.insideHost(kUserRecords)) {
        for (const std::string& name :
             listDirectory(records).value_or(std::vector<std::string>{})) {
            if (pathExtension(name) != "plist") {
                continue;
            }
            const std::string macPath = std::string(kUserRecords) + "/" + name;
            const auto onDisk = disk.insideHost(macPath);
            const auto bytes = onDisk ? readFile(*onDisk, kMaxUserRecordBytes) : std::nullopt;
            const auto record = bytes ? parseMacUserRecord(*bytes) : std::nullopt;
            if (!record) {
                Log::line("Skipping a user record that could not be read: " +
                          displayableText(macPath));
                continue;
            }
            if (isLoginAccount(*record)) {
                add(*record);
            }
        }
    }
    if (users.empty()) {
        for (const std::string& name :
             listDirectory(disk.system("/Users")).value_or(std::vector<std::string>{})) {
            if (auto home = homeFromUsersFolder(name)) {
                add(MacUser{name, std::nullopt, std::move(*home)});
            }
        }
    }
    std::sort(users.begin(), users.end(),
              [](const MacUser& a, const MacUser& b) { return a.name < b.name; });
    return users;
}

std::optional<DisabledOverrides> MacDisk::readDisabledFile(const std::string& macPath,
                                                           bool folderExists) const {
    const HostLayout disk = layout();
    const auto onDisk = disk.insideHost(macPath);
    if (!onDisk) {
        Log::line("Not reading " + displayableText(macPath) + ", which leads out of the disk");
        return std::nullopt;
    }
    const auto bytes = readRegularFile(*onDisk, kMaxDisabledFileBytes);
    if (const auto* error = std::get_if<FileReadError>(&bytes)) {
        // launchd writes the file once something is switched off or on:
        // without it, nothing was, as long as its folder is there at all.
        if (*error == FileReadError::missing && folderExists) {
            return DisabledOverrides{};
        }
        Log::line((*error == FileReadError::missing ? "No " : "Could not read ") +
                  displayableText(macPath) + " on the disk; its disabled states are unknown");
        return std::nullopt;
    }
    auto overrides = parseDisabledFile(std::get<std::string>(bytes));
    if (!overrides) {
        Log::line("Could not read " + displayableText(macPath) +
                  "; its disabled states are unknown");
    }
    return overrides;
}

DisabledServices MacDisk::readDisabled() const {
    const HostLayout disk = layout();
    const auto folder = disk.insideHost(kLaunchdDatabase);
    const bool folderExists = folder && isDirectory(*folder);
    DisabledServices disabled;
    disabled.system =
        readDisabledFile(std::string(kLaunchdDatabase) + "/disabled.plist", folderExists);
    for (const MacUser& user : m_users) {
        if (!user.uid) {
            continue;
        }
        auto overrides = readDisabledFile(std::string(kLaunchdDatabase) + "/disabled." +
                                              std::to_string(*user.uid) + ".plist",
                                          folderExists);
        if (overrides) {
            disabled.users.emplace(user.name, std::move(*overrides));
        }
    }
    return disabled;
}

DiscoveredCategory MacDisk::loadWith(const HostLayout& layout, LaunchScope scope) const {
    // Nothing is asked of any tool: the picture holds only what files said.
    HostPicture::Facts facts;
    facts.disabled = m_disabled;
    const HostPicture picture = HostPicture::of(std::move(facts));
    const LaunchServiceManager manager(layout);
    DiscoveredCategory category = manager.loadCategory(scope, picture);
    finish(category);
    return category;
}

void MacDisk::finish(DiscoveredCategory& category) const {
    for (LaunchItem& item : category.items) {
        markUnknownState(item);
        for (std::optional<std::string>* path :
             {&item.path, &item.executablePath, &item.parentApp}) {
            if (*path) {
                stripRoot(**path);
            }
        }
        if (item.runs && item.runs->path) {
            stripRoot(*item.runs->path);
        }
    }
    for (DefinitionProblem& problem : category.problems) {
        stripRoot(problem.path);
    }
}

DiscoveredCategory MacDisk::loadOwnApps(const HostLayout& layout) const {
    // Only the apps in the home: those of /Applications are every user's,
    // read once, and scanning them again per user would cost the most.
    DiscoveredCategory category;
    const AppBundleScanner scanner(layout);
    for (const std::string& app :
         scanner.findAppsIn(layout.userApplications(), &category.problems)) {
        for (LaunchItem& item : scanner.scanApp(app, &category.problems)) {
            if (item.path && layout.insideHost(*item.path) &&
                PlistReader::programsStayOnHost(item, layout)) {
                category.items.push_back(std::move(item));
            } else {
                std::string path = item.path.value_or(item.label);
                Log::line("Skipping a record that leads out of the host: " + path);
                category.problems.push_back(
                    {std::move(path), ProblemReason::outsideHost, LaunchScope::background});
            }
        }
    }
    finish(category);
    return category;
}

DiscoveredCategory MacDisk::loadCategory(LaunchScope scope) const {
    DiscoveredCategory result;
    // launchd's job table lives in memory only.
    if (scope == LaunchScope::mach) {
        return result;
    }
    if (scope != LaunchScope::user) {
        result = loadWith(layout(), scope);
    }
    if (!readsHomes(scope)) {
        return result;
    }
    for (const MacUser& user : m_users) {
        DiscoveredCategory own = scope == LaunchScope::background ? loadOwnApps(layout(&user))
                                                                  : loadWith(layout(&user), scope);
        // A category that reads the system's folders too gives their
        // records once, above; only what lies in this home is the user's.
        const auto inHome = [&](const std::optional<std::string>& path) {
            return scope == LaunchScope::user || (path && isWithin(*path, user.home));
        };
        for (LaunchItem& item : own.items) {
            if (inHome(item.path) || (!item.path && inHome(item.executablePath))) {
                item.user = user.name;
                result.items.push_back(std::move(item));
            }
        }
        for (DefinitionProblem& problem : own.problems) {
            if (inHome(problem.path)) {
                result.problems.push_back(std::move(problem));
            }
        }
    }
    return result;
}

} // namespace daemonary
