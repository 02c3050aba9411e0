#include "baseline/DiskSnapshot.h"

#include "listing/Listing.h"

#include <utility>

namespace daemonary {

Snapshot takeDiskSnapshot(const MacDisk& disk, const std::vector<LaunchScope>& scopes,
                          const Snapshot* reference) {
    Listing listing = Listing::load(disk, ListingRequest{scopes, false, false, true});
    FingerprintReader reader(disk.layout(), kDiskProgramHashLimit);
    Snapshot snapshot = Snapshot::take(listing.categories, reader, reference);
    snapshot.problems = std::move(listing.problems);
    std::vector<std::string> names;
    for (const MacUser& user : disk.users()) {
        names.push_back(user.name);
    }
    snapshot.markReadFromDisk(disk.root(), std::move(names));
    return snapshot;
}

} // namespace daemonary
