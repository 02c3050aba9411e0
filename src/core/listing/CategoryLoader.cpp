#include "listing/CategoryLoader.h"

#include "discovery/BackgroundTasks.h"
#include "discovery/LaunchServiceManager.h"
#include "platform/Log.h"

#include <algorithm>
#include <future>
#include <string>

namespace daemonary {

namespace {

struct CategoryLoad {
    std::vector<LaunchItem> items;
    std::vector<DefinitionProblem> problems;
    std::vector<std::string> logLines;
};

using Categories = std::vector<std::pair<LaunchScope, std::vector<LaunchItem>>>;

// The job table names no program: a Mach record takes the one its
// definitions name, as the window gives it. Definition categories that are
// not listed are read for that alone; their records, problems and log lines
// stay out of the listing.
void attachMachPrograms(const LaunchServiceManager& manager, Categories& categories) {
    const auto jobs = std::find_if(categories.begin(), categories.end(), [](const auto& category) {
        return category.first == LaunchScope::mach;
    });
    if (jobs == categories.end()) {
        return;
    }
    std::vector<std::vector<LaunchItem>> unlisted;
    unlisted.reserve(allScopes().size());
    std::vector<const std::vector<LaunchItem>*> definitions;
    for (const LaunchScope scope : allScopes()) {
        if (!LaunchServiceManager::holdsJobDefinitions(scope)) {
            continue;
        }
        const auto listed =
            std::find_if(categories.begin(), categories.end(),
                         [scope](const auto& category) { return category.first == scope; });
        if (listed != categories.end()) {
            definitions.push_back(&listed->second);
            continue;
        }
        const Log::Capture unwanted;
        unlisted.push_back(manager.loadItems(scope, BackgroundTaskTable()));
        definitions.push_back(&unlisted.back());
    }
    jobs->second =
        LaunchServiceManager::withDefinitionPrograms(std::move(jobs->second), definitions);
}

} // namespace

std::vector<std::pair<LaunchScope, std::vector<LaunchItem>>>
loadCategories(const LaunchServiceManager& manager, const std::vector<LaunchScope>& scopes,
               std::vector<DefinitionProblem>* problems) {
    // Background Task Management is read once for the whole load, beside the
    // categories: only the Background category needs its answer to begin;
    // the others take the allowed state from it once their own scan is done.
    bool needsBackgroundTasks = false;
    for (const LaunchScope scope : scopes) {
        needsBackgroundTasks =
            needsBackgroundTasks || LaunchServiceManager::readsBackgroundTasks(scope);
    }
    struct BackgroundTaskLoad {
        BackgroundTaskTable table;
        std::vector<std::string> logLines;
    };
    std::shared_future<BackgroundTaskLoad> backgroundTasks =
        std::async(needsBackgroundTasks && scopes.size() > 1 ? std::launch::async
                                                             : std::launch::deferred,
                   [&manager, needsBackgroundTasks] {
                       BackgroundTaskLoad load;
                       if (needsBackgroundTasks) {
                           Log::Capture capture;
                           load.table = manager.loadBackgroundTasks();
                           load.logLines = capture.take();
                       }
                       return load;
                   })
            .share();

    std::vector<std::future<CategoryLoad>> loads;
    loads.reserve(scopes.size());
    for (const LaunchScope scope : scopes) {
        // With a single category there is nothing to overlap.
        const auto policy = scopes.size() > 1 ? std::launch::async : std::launch::deferred;
        loads.push_back(std::async(policy, [&manager, backgroundTasks, scope] {
            Log::Capture capture;
            CategoryLoad load;
            if (scope == LaunchScope::background) {
                load.items = manager.loadItems(scope, backgroundTasks.get().table, &load.problems);
            } else {
                load.items = manager.loadItems(scope, BackgroundTaskTable(), &load.problems);
                if (LaunchServiceManager::readsBackgroundTasks(scope)) {
                    BackgroundTasks(manager.layout())
                        .annotate(load.items, backgroundTasks.get().table);
                }
            }
            load.logLines = capture.take();
            return load;
        }));
    }

    for (const std::string& line : backgroundTasks.get().logLines) {
        Log::line(line);
    }
    std::vector<std::pair<LaunchScope, std::vector<LaunchItem>>> categories;
    categories.reserve(scopes.size());
    for (std::size_t i = 0; i < scopes.size(); ++i) {
        CategoryLoad load = loads[i].get();
        for (const std::string& line : load.logLines) {
            Log::line(line);
        }
        categories.emplace_back(scopes[i], std::move(load.items));
        if (problems != nullptr) {
            problems->insert(problems->end(), load.problems.begin(), load.problems.end());
        }
    }
    attachMachPrograms(manager, categories);
    return categories;
}

} // namespace daemonary
