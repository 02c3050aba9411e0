#include "listing/CategoryLoader.h"

#include "discovery/LaunchServiceManager.h"
#include "platform/Log.h"

#include <future>
#include <string>

namespace daemonary {

namespace {

struct CategoryLoad {
    std::vector<LaunchItem> items;
    std::vector<std::string> logLines;
};

} // namespace

std::vector<std::pair<LaunchScope, std::vector<LaunchItem>>>
loadCategories(const LaunchServiceManager& manager, const std::vector<LaunchScope>& scopes) {
    std::vector<std::future<CategoryLoad>> loads;
    loads.reserve(scopes.size());
    for (const LaunchScope scope : scopes) {
        // With a single category there is nothing to overlap.
        const auto policy = scopes.size() > 1 ? std::launch::async : std::launch::deferred;
        loads.push_back(std::async(policy, [&manager, scope] {
            Log::Capture capture;
            CategoryLoad load;
            load.items = manager.loadItems(scope);
            load.logLines = capture.take();
            return load;
        }));
    }

    std::vector<std::pair<LaunchScope, std::vector<LaunchItem>>> categories;
    categories.reserve(scopes.size());
    for (std::size_t i = 0; i < scopes.size(); ++i) {
        CategoryLoad load = loads[i].get();
        for (const std::string& line : load.logLines) {
            Log::line(line);
        }
        categories.emplace_back(scopes[i], std::move(load.items));
    }
    return categories;
}

} // namespace daemonary
