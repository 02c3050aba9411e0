#include "discovery/LaunchServiceManager.h"

#include "actions/ServiceActionManager.h"
#include "discovery/AppBundleScanner.h"
#include "discovery/BackgroundTasks.h"
#include "discovery/LabelMatcher.h"
#include "discovery/LoginItemManager.h"
#include "discovery/MetadataManager.h"
#include "discovery/PluginDirectories.h"
#include "platform/FileSystem.h"
#include "platform/Log.h"
#include "platform/ToolRunner.h"
#include "plist/PlistReader.h"
#include "text/Text.h"
#include "text/TextParsing.h"

#include <future>
#include <mutex>
#include <unistd.h>
#include <unordered_set>
#include <utility>

namespace daemonary {

bool isAnotherPersonsProcess(const ProcessInfo& process, std::uint32_t ownUid) {
    // Below the first login account are root and the system's service
    // accounts, which daemons run as; at or above it, another person's
    // session, whose jobs this user's launchd never ran.
    constexpr std::uint32_t kFirstLoginUid = 500;
    return process.uid != ownUid && process.uid >= kFirstLoginUid;
}

ProcessNameIndex makeProcessNameIndex(const ProcessSnapshot& snapshot, std::uint32_t ownUid) {
    ProcessNameIndex index;
    for (const auto& [pid, process] : snapshot) {
        if (!isAnotherPersonsProcess(process, ownUid)) {
            index[asciiLowercased(process.name)].push_back(pid);
        }
    }
    return index;
}

std::vector<std::optional<std::size_t>>
findContainingLabels(const std::vector<std::string_view>& labels, const LaunchctlTable& table) {
    std::vector<std::optional<std::size_t>> positions;
    positions.reserve(labels.size());
    const std::vector<LaunchctlEntry>& entries = table.entries();
    for (const std::string_view label : labels) {
        std::optional<std::size_t> first;
        for (std::size_t i = 0; i < entries.size(); ++i) {
            if (entries[i].label.find(label) != std::string::npos) {
                first = i;
                break;
            }
        }
        positions.push_back(first);
    }
    return positions;
}

struct LaunchServiceManager::BackgroundTaskRun {
    std::mutex mutex;
    std::shared_future<BackgroundTaskTable> current;
};

LaunchServiceManager::LaunchServiceManager(HostLayout layout,
                                           std::shared_ptr<const ProcessSource> processes)
    : m_layout(std::move(layout)), m_processes(std::move(processes)),
      m_kernel(std::make_unique<KernelServiceManager>(m_layout)),
      m_systemDaemons(m_layout.systemDaemons()), m_systemAgents(m_layout.systemAgents()),
      m_globalDaemons(m_layout.globalDaemons()), m_globalAgents(m_layout.globalAgents()),
      m_userAgents(m_layout.userAgents()), m_systemStartupItems(m_layout.systemStartupItems()),
      m_globalStartupItems(m_layout.globalStartupItems()),
      m_backgroundTaskRun(std::make_shared<BackgroundTaskRun>()) {
    if (!m_processes) {
        m_processes = std::make_shared<ProcessMonitor>();
    }
}

const HostLayout& LaunchServiceManager::layout() const {
    return m_layout;
}

std::vector<std::string> LaunchServiceManager::directoriesRead(LaunchScope scope) const {
    switch (scope) {
    case LaunchScope::kernel:
        return {m_layout.systemExtensions(), m_layout.libraryExtensions()};
    case LaunchScope::system:
        return {m_globalDaemons, m_globalAgents, m_globalStartupItems};
    case LaunchScope::user:
        return {m_userAgents};
    case LaunchScope::macos:
        return {m_systemDaemons, m_systemAgents, m_systemStartupItems};
    case LaunchScope::mach:
        return {};
    case LaunchScope::others: {
        std::vector<std::string> folders;
        for (const auto& category : PluginDirectories::pluginDirectories(m_layout)) {
            folders.insert(folders.end(), category.directories.begin(), category.directories.end());
        }
        return folders;
    }
    case LaunchScope::privilegedHelperTools:
        return PluginDirectories::privilegedHelperDirectories(m_layout);
    case LaunchScope::background:
        return AppBundleScanner(m_layout).directoriesRead();
    }
    return {};
}

bool LaunchServiceManager::readsBackgroundTasks(LaunchScope scope) {
    return scope != LaunchScope::kernel && scope != LaunchScope::mach;
}

bool LaunchServiceManager::holdsJobDefinitions(LaunchScope scope) {
    return scope == LaunchScope::system || scope == LaunchScope::user ||
           scope == LaunchScope::macos;
}

BackgroundTaskTable LaunchServiceManager::loadBackgroundTasks() const {
    std::shared_future<BackgroundTaskTable> running;
    std::promise<BackgroundTaskTable> mine;
    {
        std::lock_guard lock(m_backgroundTaskRun->mutex);
        auto& current = m_backgroundTaskRun->current;
        if (current.valid() &&
            current.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
            running = current;
        } else {
            current = mine.get_future().share();
        }
    }
    if (running.valid()) {
        return running.get();
    }
    BackgroundTaskTable table = BackgroundTasks(m_layout).loadTable();
    mine.set_value(table);
    return table;
}

HostPicture LaunchServiceManager::takePicture(HostPicture::Needs needs) const {
    return HostPicture::take(m_layout, m_processes, needs);
}

DiscoveredCategory LaunchServiceManager::loadCategory(LaunchScope scope) const {
    DiscoveredCategory category;
    category.items = loadItems(scope, &category.problems);
    return category;
}

DiscoveredCategory LaunchServiceManager::loadCategory(LaunchScope scope,
                                                      const HostPicture& picture) const {
    DiscoveredCategory category;
    category.items = loadItems(scope, picture, &category.problems);
    return category;
}

std::vector<LaunchItem>
LaunchServiceManager::loadItems(LaunchScope scope, std::vector<DefinitionProblem>* problems) const {
    const HostPicture picture = takePicture(HostPicture::Needs::forScope(scope, false));
    std::vector<LaunchItem> items = loadItems(scope, picture, problems);
    picture.writeLog();
    return items;
}

std::vector<LaunchItem>
LaunchServiceManager::keepOnHost(std::vector<LaunchItem> items, LaunchScope scope,
                                 std::vector<DefinitionProblem>* problems) const {
    std::vector<LaunchItem> kept;
    kept.reserve(items.size());
    for (LaunchItem& item : items) {
        const bool fileOnHost =
            !item.path || !item.path->starts_with('/') || m_layout.insideHost(*item.path);
        if (fileOnHost && PlistReader::programsStayOnHost(item, m_layout)) {
            kept.push_back(std::move(item));
            continue;
        }
        std::string path = item.path.value_or(item.executablePath.value_or(item.label));
        Log::line("Skipping a record that leads out of the host: " + path);
        if (problems != nullptr) {
            problems->push_back({std::move(path), ProblemReason::outsideHost, scope});
        }
    }
    return kept;
}

std::vector<LaunchItem>
LaunchServiceManager::loadItems(LaunchScope scope, const HostPicture& picture,
                                std::vector<DefinitionProblem>* problems) const {
    const HostLayout::CheckMemo memo;
    std::vector<LaunchItem> items =
        keepOnHost(loadUnannotated(scope, picture, problems), scope, problems);
    if (scope != LaunchScope::background && readsBackgroundTasks(scope)) {
        BackgroundTasks(m_layout).annotate(items, picture.backgroundTasks());
    }
    return items;
}

std::vector<LaunchItem>
LaunchServiceManager::loadUnannotated(LaunchScope scope, const HostPicture& picture,
                                      std::vector<DefinitionProblem>* problems) const {
    std::vector<DefinitionProblem> unwanted;
    std::vector<DefinitionProblem>& found = problems != nullptr ? *problems : unwanted;
    switch (scope) {
    case LaunchScope::background:
        return resolveStatuses(
            BackgroundTasks(m_layout).loadItems(picture.backgroundTasks(), &found), picture);
    case LaunchScope::kernel:
        // The kernel reports its own state; there is nothing to resolve.
        return m_kernel->loadKernelExtensions(picture.loadedExtensions());
    case LaunchScope::system: {
        std::vector<LaunchItem> items =
            scanLaunchdDirectories({m_globalDaemons, m_globalAgents}, scope, found);
        std::vector<LaunchItem> startup = scanStartupItems({m_globalStartupItems});
        items.insert(items.end(), std::make_move_iterator(startup.begin()),
                     std::make_move_iterator(startup.end()));
        return resolveStatuses(std::move(items), picture);
    }
    case LaunchScope::user: {
        std::vector<LaunchItem> items = scanLaunchdDirectories({m_userAgents}, scope, found);
        const std::vector<LaunchItem>& loginItems = picture.loginItems();
        items.insert(items.end(), loginItems.begin(), loginItems.end());
        return resolveStatuses(collapseByBundle(std::move(items), m_layout.hostRoot()), picture);
    }
    case LaunchScope::macos: {
        std::vector<LaunchItem> items =
            scanLaunchdDirectories({m_systemDaemons, m_systemAgents}, scope, found);
        std::vector<LaunchItem> startup = scanStartupItems({m_systemStartupItems});
        items.insert(items.end(), std::make_move_iterator(startup.begin()),
                     std::make_move_iterator(startup.end()));
        return resolveStatuses(std::move(items), picture);
    }
    case LaunchScope::mach:
        return resolveStatuses(machServices(picture.jobs()), picture);
    case LaunchScope::others:
        return resolveStatuses(PluginDirectories::loadOtherItems(m_layout), picture);
    case LaunchScope::privilegedHelperTools:
        return resolveStatuses(PluginDirectories::loadPrivilegedHelperTools(m_layout), picture);
    }
    return {};
}

std::vector<LaunchItem>
LaunchServiceManager::scanLaunchdDirectories(const std::vector<std::string>& directories) const {
    std::vector<DefinitionProblem> unwanted;
    return scanLaunchdDirectories(directories, LaunchScope::system, unwanted);
}

std::vector<LaunchItem>
LaunchServiceManager::scanLaunchdDirectories(const std::vector<std::string>& directories,
                                             LaunchScope scope,
                                             std::vector<DefinitionProblem>& problems) const {
    std::vector<LaunchItem> items;
    for (const std::string& directory : directories) {
        Log::info("Scanning directory: " + directory);
        if (!folderStaysOnHost(directory, m_layout)) {
            continue;
        }
        const auto names = listDirectory(directory);
        if (!names) {
            // Many Macs lack some of the folders: only one that is there and
            // cannot be read is worth a warning.
            if (pathExists(directory)) {
                Log::line("Failed to access directory: " + directory);
            } else {
                Log::info("Failed to access directory: " + directory);
            }
            continue;
        }
        Log::info("Found " + std::to_string(names->size()) + " files in " +
                  std::string(lastPathComponent(directory)));
        for (const std::string& name : *names) {
            if (pathExtension(name) != "plist") {
                continue;
            }
            std::string path = appendPathComponent(directory, name);
            std::variant<LaunchItem, ProblemReason> read =
                PlistReader::readDefinition(path, m_layout);
            if (auto* item = std::get_if<LaunchItem>(&read)) {
                items.push_back(std::move(*item));
            } else {
                // Not a warning: the problems list carries it, and a listing
                // counts such files in one line at its end.
                Log::info("Failed to read plist definition: " + name);
                problems.push_back({std::move(path), std::get<ProblemReason>(read), scope});
            }
        }
    }
    return items;
}

std::vector<LaunchItem>
LaunchServiceManager::scanStartupItems(const std::vector<std::string>& directories) const {
    std::vector<LaunchItem> items;
    for (const std::string& directory : directories) {
        const auto names =
            folderStaysOnHost(directory, m_layout) ? listDirectory(directory) : std::nullopt;
        if (!names) {
            continue;
        }
        for (const std::string& name : *names) {
            const std::string path = appendPathComponent(directory, name);
            if (!isDirectory(path)) {
                continue;
            }
            LaunchItem item;
            item.label = name;
            // The program inside a startup item carries the folder's name.
            item.executablePath = appendPathComponent(path, name);
            item.path = path;
            item.status = ServiceStatus::unknown;
            item.scope = LaunchScope::system;
            item.type = ServiceType::startupItem;
            items.push_back(std::move(item));
        }
    }
    return items;
}

LaunchctlTable LaunchServiceManager::runLaunchctlList() const {
    return HostPicture::runLaunchctlList(m_layout);
}

std::optional<DisabledOverrides> LaunchServiceManager::runPrintDisabled(const std::string& domain,
                                                                        bool* timedOut) const {
    return HostPicture::runPrintDisabled(m_layout, domain, timedOut);
}

DisabledServices LaunchServiceManager::loadDisabledServices() const {
    // A launchctl that did not answer for one domain is not asked again: a
    // stuck tool costs the listing one time limit, not one per domain.
    bool timedOut = false;
    auto user = runPrintDisabled(ServiceActionManager::domainTarget(), &timedOut);
    if (timedOut) {
        return {std::move(user), std::nullopt, {}};
    }
    return {std::move(user), runPrintDisabled("system"), {}};
}

std::vector<LaunchItem> LaunchServiceManager::loadMachServices() const {
    return machServices(runLaunchctlList());
}

std::vector<LaunchItem> LaunchServiceManager::machServices(const LaunchctlTable& table) {
    std::vector<LaunchItem> items;
    items.reserve(table.size());
    for (const LaunchctlEntry& entry : table.entries()) {
        LaunchItem item;
        item.label = entry.label;
        item.pid = entry.pid;
        item.status = entry.pid ? ServiceStatus::active : ServiceStatus::inactive;
        item.scope = LaunchScope::mach;
        item.type = ServiceType::launchService;
        items.push_back(std::move(item));
    }
    return items;
}

std::vector<LaunchItem>
LaunchServiceManager::resolveStatuses(std::vector<LaunchItem> records) const {
    const HostPicture picture = takePicture({.jobs = true,
                                             .processes = true,
                                             .disabled = false,
                                             .loadedExtensions = false,
                                             .backgroundTasks = false,
                                             .loginItems = false});
    std::vector<LaunchItem> resolved = resolveStatuses(std::move(records), picture);
    picture.writeLog();
    return resolved;
}

std::vector<LaunchItem> LaunchServiceManager::resolveStatuses(std::vector<LaunchItem> records,
                                                              const HostPicture& picture) {
    return resolveStatuses(std::move(records), picture.jobs(), picture.processes());
}

std::vector<LaunchItem> LaunchServiceManager::resolveStatuses(std::vector<LaunchItem> records,
                                                              const LaunchctlTable& table,
                                                              const ProcessSnapshot& snapshot) {
    return resolveStatuses(std::move(records), table, snapshot,
                           static_cast<std::uint32_t>(::getuid()));
}

std::vector<LaunchItem> LaunchServiceManager::resolveStatuses(std::vector<LaunchItem> records,
                                                              const LaunchctlTable& table,
                                                              const ProcessSnapshot& snapshot,
                                                              std::uint32_t ownUid) {
    const ProcessNameIndex names = makeProcessNameIndex(snapshot, ownUid);

    // A pid the job table gives to a label belongs to that label's job: a
    // second definition naming the same program is another job, not this one.
    std::unordered_set<std::int32_t> jobPids;
    for (const LaunchctlEntry& entry : table.entries()) {
        if (entry.pid) {
            jobPids.insert(*entry.pid);
        }
    }

    const auto takeEntry = [](LaunchItem& item, const LaunchctlEntry& entry) {
        item.pid = entry.pid;
        item.pidSource = PidSource::launchd;
        item.status = entry.pid ? ServiceStatus::active : ServiceStatus::inactive;
    };
    const auto takeProcessNamed = [&names, &jobPids](LaunchItem& item, std::string_view name) {
        const auto found = names.find(asciiLowercased(name));
        if (found == names.end()) {
            return false;
        }
        for (const std::int32_t pid : found->second) {
            if (!jobPids.contains(pid)) {
                // launchd lists no job for the record, so whether it runs is
                // not known; the process is only a hint.
                item.pid = pid;
                item.pidSource = PidSource::processName;
                item.status = ServiceStatus::unknown;
                return true;
            }
        }
        return false;
    };

    // Exact label first; the records it leaves without a pid go on to the
    // containing-label search in one batch.
    std::vector<std::size_t> unresolved;
    for (std::size_t i = 0; i < records.size(); ++i) {
        LaunchItem& item = records[i];
        item.pid.reset();
        item.pidSource = PidSource::launchd;
        item.index.reset();
        item.status = ServiceStatus::inactive;
        // launchd listing the label is the whole answer: a loaded job
        // without a pid is idle, whatever else carries its name.
        if (const LaunchctlEntry* entry = table.find(item.label)) {
            takeEntry(item, *entry);
        } else {
            unresolved.push_back(i);
        }
    }

    std::vector<std::string_view> labels;
    labels.reserve(unresolved.size());
    for (const std::size_t i : unresolved) {
        labels.push_back(records[i].label);
    }
    const std::vector<std::optional<std::size_t>> containing =
        LabelMatcher(labels).firstContaining(table);

    for (std::size_t n = 0; n < unresolved.size(); ++n) {
        LaunchItem& item = records[unresolved[n]];
        if (containing[n]) {
            takeEntry(item, table.entries()[*containing[n]]);
        }
        if (item.pid) {
            continue;
        }
        const std::string_view label = item.label;
        const std::size_t dot = label.rfind('.');
        const std::string_view lastComponent =
            dot == std::string_view::npos ? label : label.substr(dot + 1);
        if (takeProcessNamed(item, lastComponent) || takeProcessNamed(item, label)) {
            continue;
        }
        if (item.executablePath) {
            takeProcessNamed(item, lastPathComponent(*item.executablePath));
        }
    }
    return records;
}

std::vector<LaunchItem> LaunchServiceManager::withDefinitionPrograms(
    std::vector<LaunchItem> jobs, const std::vector<const std::vector<LaunchItem>*>& definitions) {
    // Label -> the definition naming its one program, or nothing once two
    // definitions disagree.
    std::unordered_map<std::string_view, const LaunchItem*> programs;
    for (const std::vector<LaunchItem>* list : definitions) {
        if (list == nullptr) {
            continue;
        }
        for (const LaunchItem& definition : *list) {
            if (!definition.path || !definition.executablePath ||
                definition.executablePath->empty()) {
                continue;
            }
            const auto [found, inserted] = programs.try_emplace(definition.label, &definition);
            if (!inserted && found->second != nullptr &&
                (found->second->executablePath != definition.executablePath ||
                 found->second->runs != definition.runs)) {
                found->second = nullptr;
            }
        }
    }
    for (LaunchItem& job : jobs) {
        const auto found = programs.find(job.label);
        if (found != programs.end() && found->second != nullptr) {
            job.executablePath = found->second->executablePath;
            job.runs = found->second->runs;
        } else {
            job.executablePath.reset();
            job.runs.reset();
        }
    }
    return jobs;
}

std::vector<LaunchItem> LaunchServiceManager::collapseByBundle(std::vector<LaunchItem> records,
                                                               std::string_view hostRoot) {
    const auto bundleKey = [hostRoot](std::string bundle) {
        if (!hostRoot.empty() && bundle.starts_with(hostRoot) && bundle.size() > hostRoot.size() &&
            bundle[hostRoot.size()] == '/') {
            bundle.erase(0, hostRoot.size());
        }
        return bundle;
    };
    std::vector<LaunchItem> bundled;
    std::unordered_map<std::string, std::size_t> bundlePositions;
    std::vector<LaunchItem> loose;

    for (LaunchItem& item : records) {
        std::optional<std::string> bundle;
        if (item.executablePath) {
            bundle = MetadataManager::enclosingBundlePath(*item.executablePath);
        }
        if (!bundle && item.path) {
            bundle = MetadataManager::enclosingBundlePath(*item.path);
        }
        if (!bundle) {
            loose.push_back(std::move(item));
            continue;
        }
        const auto [found, inserted] =
            bundlePositions.try_emplace(bundleKey(std::move(*bundle)), bundled.size());
        if (inserted) {
            bundled.push_back(std::move(item));
            continue;
        }
        // A record that names the program beats one that only names the
        // application; among equals the first one stays.
        LaunchItem& stored = bundled[found->second];
        if (!stored.executablePath && item.executablePath) {
            stored = std::move(item);
        }
    }

    bundled.insert(bundled.end(), std::make_move_iterator(loose.begin()),
                   std::make_move_iterator(loose.end()));
    return bundled;
}

} // namespace daemonary
