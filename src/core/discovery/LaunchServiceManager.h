#pragma once

#include "discovery/BackgroundTaskTable.h"
#include "discovery/DisabledServices.h"
#include "discovery/HostPicture.h"
#include "discovery/KernelServiceManager.h"
#include "discovery/LaunchctlTable.h"
#include "model/DefinitionProblem.h"
#include "model/LaunchItem.h"
#include "platform/HostLayout.h"
#include "platform/ProcessMonitor.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace daemonary {

// Lowercased process name -> the pids carrying it, in snapshot (pid) order.
using ProcessNameIndex = std::unordered_map<std::string, std::vector<std::int32_t>>;

// Another login account's process (not root's, not a service account's): this
// user's launchd never ran it.
bool isAnotherPersonsProcess(const ProcessInfo& process, std::uint32_t ownUid);

// Other people's processes are left out.
ProcessNameIndex makeProcessNameIndex(const ProcessSnapshot& snapshot, std::uint32_t ownUid);

// For each label, the position of the first table entry (in table order) whose
// label contains it, or nothing. The plain reference form, one search per
// label and entry; the status pass gets the same answers from LabelMatcher.
std::vector<std::optional<std::size_t>>
findContainingLabels(const std::vector<std::string_view>& labels, const LaunchctlTable& table);

// One category's records and the definitions in its folders that gave none.
struct DiscoveredCategory {
    std::vector<LaunchItem> items;
    std::vector<DefinitionProblem> problems;
};

// Discovery of one category at a time. Holds only values fixed at creation
// (and the kernel-extension component, which serialises itself), so every
// member may be called from several threads at once.
class LaunchServiceManager {
public:
    explicit LaunchServiceManager(
        HostLayout layout = HostLayout::fromEnvironment(),
        std::shared_ptr<const ProcessSource> processes = std::make_shared<ProcessMonitor>());

    // The records of one category, in gathering order, from a picture of
    // the host taken for it alone. Never fails; with `problems`, the
    // definitions that could not be read are added there.
    std::vector<LaunchItem> loadItems(LaunchScope scope,
                                      std::vector<DefinitionProblem>* problems = nullptr) const;
    // The same from a picture shared by the categories of one load: every
    // status, state and tool answer comes from it, and nothing else is run.
    std::vector<LaunchItem> loadItems(LaunchScope scope, const HostPicture& picture,
                                      std::vector<DefinitionProblem>* problems = nullptr) const;
    DiscoveredCategory loadCategory(LaunchScope scope) const;
    DiscoveredCategory loadCategory(LaunchScope scope, const HostPicture& picture) const;

    // Starts the tool runs a load of these parts needs (see HostPicture).
    HostPicture takePicture(HostPicture::Needs needs) const;
    // One `sfltool dumpbtm`; callers that ask while a run is under way share
    // its answer, so a load of every category runs the tool once.
    BackgroundTaskTable loadBackgroundTasks() const;
    static bool readsBackgroundTasks(LaunchScope scope);
    // The categories of launchd definitions, whose programs the job table's
    // records take by label (withDefinitionPrograms).
    static bool holdsJobDefinitions(LaunchScope scope);

    const HostLayout& layout() const;

    // The folders loadItems reads for a category, for watching them: a change
    // in one of them can change that category. The job table reads none.
    std::vector<std::string> directoriesRead(LaunchScope scope) const;

    // The steps of loadItems; each never fails and logs its own problems.
    std::vector<LaunchItem>
    scanLaunchdDirectories(const std::vector<std::string>& directories) const;
    // The same, adding each definition that gives no record to `problems`
    // under `scope`.
    std::vector<LaunchItem> scanLaunchdDirectories(const std::vector<std::string>& directories,
                                                   LaunchScope scope,
                                                   std::vector<DefinitionProblem>& problems) const;
    std::vector<LaunchItem> scanStartupItems(const std::vector<std::string>& directories) const;
    LaunchctlTable runLaunchctlList() const;
    // `launchctl print-disabled` for the user's GUI domain and for the system
    // domain, once each. A domain whose answer is unusable is logged once and
    // left absent; timedOut, when given, is set when the tool did not answer.
    DisabledServices loadDisabledServices() const;
    std::optional<DisabledOverrides> runPrintDisabled(const std::string& domain,
                                                      bool* timedOut = nullptr) const;
    std::vector<LaunchItem> loadMachServices() const;
    static std::vector<LaunchItem> machServices(const LaunchctlTable& table);
    // Decides every record's pid and active/inactive state from a fresh
    // launchctl table and process snapshot.
    std::vector<LaunchItem> resolveStatuses(std::vector<LaunchItem> records) const;
    // The same from the job table and process table of a picture.
    static std::vector<LaunchItem> resolveStatuses(std::vector<LaunchItem> records,
                                                   const HostPicture& picture);

    // The user category lists an application both as a launch agent and as a
    // login item: one record per enclosing bundle, the first one that names a
    // program winning. Bundles in order of first appearance, then the records
    // without a bundle. Under a host root, a bundle is the same whether a path
    // names it inside the root or as the simulated Mac's own path.
    static std::vector<LaunchItem> collapseByBundle(std::vector<LaunchItem> records,
                                                    std::string_view hostRoot = {});

    // Status resolution against a given table and snapshot, without running
    // anything.
    // A pid found by a process name alone is marked so (its status is
    // unknown), and only this user's, root's and service accounts' processes
    // are looked at; `ownUid` defaults to the real user.
    static std::vector<LaunchItem> resolveStatuses(std::vector<LaunchItem> records,
                                                   const LaunchctlTable& table,
                                                   const ProcessSnapshot& snapshot);
    static std::vector<LaunchItem> resolveStatuses(std::vector<LaunchItem> records,
                                                   const LaunchctlTable& table,
                                                   const ProcessSnapshot& snapshot,
                                                   std::uint32_t ownUid);

    // The job table names no program. A job whose label the given
    // definitions use takes the program they name, when they all name the
    // same one; labels claimed by definitions naming different programs stay
    // without, since the job table cannot say which of them launchd loaded.
    static std::vector<LaunchItem>
    withDefinitionPrograms(std::vector<LaunchItem> jobs,
                           const std::vector<const std::vector<LaunchItem>*>& definitions);

    const std::string& systemDaemons() const { return m_systemDaemons; }
    const std::string& systemAgents() const { return m_systemAgents; }
    const std::string& globalDaemons() const { return m_globalDaemons; }
    const std::string& globalAgents() const { return m_globalAgents; }
    const std::string& userAgents() const { return m_userAgents; }
    const std::string& systemStartupItems() const { return m_systemStartupItems; }
    const std::string& globalStartupItems() const { return m_globalStartupItems; }

private:
    struct BackgroundTaskRun;

    // Records whose file or program a link or ".." leads out of the host
    // root become problems: nothing outside the host is listed, read or
    // hashed.
    std::vector<LaunchItem> keepOnHost(std::vector<LaunchItem> items, LaunchScope scope,
                                       std::vector<DefinitionProblem>* problems) const;
    std::vector<LaunchItem> loadUnannotated(LaunchScope scope, const HostPicture& picture,
                                            std::vector<DefinitionProblem>* problems) const;

    HostLayout m_layout;
    std::shared_ptr<const ProcessSource> m_processes;
    std::unique_ptr<KernelServiceManager> m_kernel;
    std::string m_systemDaemons;
    std::string m_systemAgents;
    std::string m_globalDaemons;
    std::string m_globalAgents;
    std::string m_userAgents;
    std::string m_systemStartupItems;
    std::string m_globalStartupItems;
    std::shared_ptr<BackgroundTaskRun> m_backgroundTaskRun;
};

} // namespace daemonary
