#include "discovery/AppBundleScanner.h"

#include "platform/FileSystem.h"
#include "platform/Log.h"
#include "plist/PlistReader.h"
#include "plist/PropertyList.h"
#include "text/Text.h"

#include <sys/stat.h>
#include <utility>

namespace daemonary {

namespace {

bool isSymbolicLink(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode);
}

const PlistDictionary* dictionaryIn(const std::optional<PlistValue>& root) {
    return root ? root->dictionary() : nullptr;
}

std::optional<std::string> textIn(const PlistDictionary& dictionary, const char* key) {
    const auto found = dictionary.find(key);
    if (found == dictionary.end() || !found->second.string()) {
        return std::nullopt;
    }
    return *found->second.string();
}

// A path inside the app that stays inside it.
std::optional<std::string> insideApp(const std::string& app, std::string_view relative) {
    if (relative.empty() || relative.front() == '/') {
        return std::nullopt;
    }
    for (std::string_view rest = relative; !rest.empty();) {
        const auto slash = rest.find('/');
        if (rest.substr(0, slash) == "..") {
            return std::nullopt;
        }
        rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
    }
    return appendPathComponent(app, relative);
}

} // namespace

AppBundleScanner::AppBundleScanner(HostLayout layout) : m_layout(std::move(layout)) {}

bool AppBundleScanner::staysInsideRoot(const std::string& path, const HostLayout& layout) {
    return layout.insideHost(path).has_value();
}

bool AppBundleScanner::insideRoot(const std::string& path) const {
    return staysInsideRoot(path, m_layout);
}

std::vector<std::string> AppBundleScanner::appFolders() const {
    std::vector<std::string> folders = {m_layout.applications()};
    if (const auto names = listDirectory(m_layout.applications())) {
        for (const std::string& name : *names) {
            const std::string path = appendPathComponent(m_layout.applications(), name);
            if (pathExtension(name) != "app" && !name.starts_with('.') && isDirectory(path) &&
                !isSymbolicLink(path)) {
                folders.push_back(path);
            }
        }
    }
    folders.push_back(m_layout.userApplications());
    return folders;
}

std::vector<std::string> AppBundleScanner::directoriesRead() const {
    return appFolders();
}

std::vector<std::string> AppBundleScanner::findApps() const {
    return findApps(nullptr);
}

std::vector<std::string>
AppBundleScanner::findApps(std::vector<DefinitionProblem>* problems) const {
    std::vector<std::string> apps;
    for (const std::string& folder : appFolders()) {
        std::vector<std::string> found = findAppsIn(folder, problems);
        apps.insert(apps.end(), std::make_move_iterator(found.begin()),
                    std::make_move_iterator(found.end()));
    }
    return apps;
}

std::vector<std::string>
AppBundleScanner::findAppsIn(const std::string& folder,
                             std::vector<DefinitionProblem>* problems) const {
    std::vector<std::string> apps;
    const auto names = folderStaysOnHost(folder, m_layout) ? listDirectory(folder) : std::nullopt;
    if (!names) {
        return apps;
    }
    for (const std::string& name : *names) {
        if (pathExtension(name) != "app") {
            continue;
        }
        const std::string app = appendPathComponent(folder, name);
        if (isSymbolicLink(app) && !insideRoot(app)) {
            Log::line("Skipping app bundle that links outside the host: " + displayableText(app));
            if (problems != nullptr) {
                problems->push_back({app, ProblemReason::outsideHost, LaunchScope::background});
            }
            continue;
        }
        if (isDirectory(app)) {
            apps.push_back(app);
        }
    }
    return apps;
}

std::vector<LaunchItem> AppBundleScanner::scanApp(const std::string& app,
                                                  std::vector<DefinitionProblem>* problems) const {
    std::vector<LaunchItem> items;
    const auto refuse = [](const std::string& path, std::string_view why) {
        Log::line("Skipping " + std::string(why) + ": " + displayableText(path));
    };
    const auto outside = [&](const std::string& path, std::string_view why) {
        refuse(path, why);
        if (problems != nullptr) {
            problems->push_back({path, ProblemReason::outsideHost, LaunchScope::background});
        }
    };
    const auto readDictionary = [&](const std::string& path) -> std::optional<PlistValue> {
        if (!insideRoot(path)) {
            outside(path, "a definition that links outside the host");
            return std::nullopt;
        }
        // readFile refuses FIFOs, devices and links to them without opening them.
        const std::optional<std::string> bytes = readFile(path);
        if (!bytes) {
            refuse(path, "an unreadable definition");
            return std::nullopt;
        }
        std::optional<PlistValue> root = parsePropertyList(*bytes);
        if (!dictionaryIn(root)) {
            refuse(path, "a definition that is not a property list");
            return std::nullopt;
        }
        return root;
    };

    // Most apps have none of the three folders: one stat instead of three
    // failed opens, which add up over thousands of apps.
    if (!isDirectory(appendPathComponent(app, "Contents/Library"))) {
        return items;
    }
    constexpr std::pair<const char*, ServiceType> kJobFolders[] = {
        {"Contents/Library/LaunchAgents", ServiceType::launchAgent},
        {"Contents/Library/LaunchDaemons", ServiceType::launchDaemon},
    };
    for (const auto& [folder, type] : kJobFolders) {
        const std::string directory = appendPathComponent(app, folder);
        const auto names = listDirectory(directory);
        if (!names) {
            continue;
        }
        for (const std::string& name : *names) {
            if (pathExtension(name) != "plist") {
                continue;
            }
            const std::string path = appendPathComponent(directory, name);
            const std::optional<PlistValue> root = readDictionary(path);
            if (!root) {
                continue;
            }
            const PlistDictionary& definition = *root->dictionary();
            const std::optional<std::string> label = textIn(definition, "Label");
            if (!label) {
                refuse(path, "a definition without a Label");
                continue;
            }
            LaunchItem item;
            item.label = *label;
            item.path = path;
            if (const auto bundleProgram = textIn(definition, "BundleProgram")) {
                item.executablePath = insideApp(app, *bundleProgram);
                if (!item.executablePath) {
                    refuse(path, "a BundleProgram that leaves its app");
                }
            } else if (const auto program = textIn(definition, "Program")) {
                item.executablePath = *program;
                item.runs = PlistReader::runningProgramOf(definition);
            } else if (const auto arguments = definition.find("ProgramArguments");
                       arguments != definition.end() && arguments->second.array() &&
                       !arguments->second.array()->empty() &&
                       arguments->second.array()->front().string()) {
                item.executablePath = *arguments->second.array()->front().string();
                item.runs = PlistReader::runningProgramOf(definition);
            }
            if (!PlistReader::programsStayOnHost(item, m_layout)) {
                outside(path, "a definition whose program leads out of the host");
                continue;
            }
            item.scope = LaunchScope::background;
            item.type = type;
            item.parentApp = app;
            items.push_back(std::move(item));
        }
    }

    const std::string helpers = appendPathComponent(app, "Contents/Library/LoginItems");
    if (const auto names = listDirectory(helpers)) {
        for (const std::string& name : *names) {
            const std::string helper = appendPathComponent(helpers, name);
            if (pathExtension(name) != "app" || !isDirectory(helper)) {
                continue;
            }
            // Listed, it would be read whole by the snapshot and codesign.
            if (!insideRoot(helper)) {
                outside(helper, "a login item that links outside the host");
                continue;
            }
            LaunchItem item;
            item.label = std::string(deletingPathExtension(name));
            item.path = helper;
            const std::string infoPath = appendPathComponent(helper, "Contents/Info.plist");
            // A helper without an Info.plist is still a helper, named by its folder.
            if (const std::optional<PlistValue> root =
                    pathExists(infoPath) ? readDictionary(infoPath) : std::nullopt) {
                const PlistDictionary& info = *root->dictionary();
                if (const auto identifier = textIn(info, "CFBundleIdentifier")) {
                    item.label = *identifier;
                }
                if (const auto executable = textIn(info, "CFBundleExecutable")) {
                    item.executablePath = insideApp(helper, "Contents/MacOS/" + *executable);
                }
            }
            item.scope = LaunchScope::background;
            item.type = ServiceType::loginItem;
            item.parentApp = app;
            items.push_back(std::move(item));
        }
    }
    return items;
}

std::vector<LaunchItem> AppBundleScanner::scan(std::vector<DefinitionProblem>* problems) const {
    std::vector<LaunchItem> items;
    for (const std::string& app : findApps(problems)) {
        std::vector<LaunchItem> found = scanApp(app, problems);
        items.insert(items.end(), std::make_move_iterator(found.begin()),
                     std::make_move_iterator(found.end()));
    }
    return items;
}

} // namespace daemonary
