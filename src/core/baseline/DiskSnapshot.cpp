#include "baseline/DiskSnapshot.h"

#include <utility>

namespace daemonary {

Snapshot takeDiskSnapshot(const MacDisk& disk, const std::vector<LaunchScope>& scopes,
                          const Snapshot* reference) {
    Snapshot::Categories categories;
    std::vector<DefinitionProblem> problems;
    for (const LaunchScope scope : scopes) {
        DiscoveredCategory found = disk.loadCategory(scope);
        categories.emplace_back(scope, std::move(found.items));
        problems.insert(problems.end(), found.problems.begin(), found.problems.end());
    }
    FingerprintReader reader(disk.layout(), kDiskProgramHashLimit);
    Snapshot snapshot = Snapshot::take(categories, reader, reference);
    snapshot.problems = std::move(problems);
    std::vector<std::string> names;
    for (const MacUser& user : disk.users()) {
        names.push_back(user.name);
    }
    snapshot.markReadFromDisk(disk.root(), std::move(names));
    return snapshot;
}

} // namespace daemonary
