#include "listing/CategoryLoader.h"

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
        // Only the programs the definitions name are wanted: an empty
        // picture keeps their load from running any tool.
        const Log::Capture unwanted;
        unlisted.push_back(manager.loadItems(scope, HostPicture::of({})));
        definitions.push_back(&unlisted.back());
    }
    jobs->second =
        LaunchServiceManager::withDefinitionPrograms(std::move(jobs->second), definitions);
}

} // namespace

std::vector<std::pair<LaunchScope, std::vector<LaunchItem>>>
loadCategories(const LaunchServiceManager& manager, const std::vector<LaunchScope>& scopes,
               std::vector<DefinitionProblem>* problems) {
    const HostPicture picture = manager.takePicture(HostPicture::Needs::forScopes(scopes, false));
    return loadCategories(manager, picture, scopes, problems);
}

std::vector<std::pair<LaunchScope, std::vector<LaunchItem>>>
loadCategories(const LaunchServiceManager& manager, const HostPicture& picture,
               const std::vector<LaunchScope>& scopes, std::vector<DefinitionProblem>* problems) {
    // The tools run while the categories read their folders; a category
    // waits for the picture only once it has its records to resolve.
    std::vector<std::future<CategoryLoad>> loads;
    loads.reserve(scopes.size());
    for (const LaunchScope scope : scopes) {
        // With a single category there is nothing to overlap.
        const auto policy = scopes.size() > 1 ? std::launch::async : std::launch::deferred;
        loads.push_back(std::async(policy, [&manager, &picture, scope] {
            Log::Capture capture;
            CategoryLoad load;
            load.items = manager.loadItems(scope, picture, &load.problems);
            load.logLines = capture.take();
            return load;
        }));
    }

    std::vector<std::pair<LaunchScope, std::vector<LaunchItem>>> categories;
    categories.reserve(scopes.size());
    std::vector<CategoryLoad> finished;
    finished.reserve(scopes.size());
    for (auto& load : loads) {
        finished.push_back(load.get());
    }
    picture.writeLog();
    for (std::size_t i = 0; i < scopes.size(); ++i) {
        CategoryLoad& load = finished[i];
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
