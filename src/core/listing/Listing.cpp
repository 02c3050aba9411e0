#include "listing/Listing.h"

#include "discovery/LaunchServiceManager.h"
#include "insight/SignerChecker.h"
#include "listing/CategoryLoader.h"
#include "offline/MacDisk.h"
#include "platform/Log.h"

#include <algorithm>
#include <future>

namespace daemonary {

ListFacts Listing::facts(const MetadataManager* metadata) const {
    return ListFacts{metadata, disabled ? &*disabled : nullptr, signers ? &*signers : nullptr};
}

namespace {

std::map<std::string, Signer> checkSigners(const Listing& listing, const SignerChecker& checker) {
    std::vector<std::string> targets;
    for (const auto& category : listing.categories) {
        for (const LaunchItem& item : category.second) {
            if (auto target = signerTarget(item)) {
                targets.push_back(std::move(*target));
            }
        }
    }
    return checker.checkAll(targets);
}

} // namespace

Listing Listing::load(const MacDisk& disk, const ListingRequest& request) {
    Listing listing;
    listing.takenAt = std::chrono::system_clock::now();
    listing.diskRoot = disk.root();
    // Each category waits on files alone; their log lines are written in
    // the order of the categories, as a live listing writes them.
    struct Load {
        DiscoveredCategory category;
        std::vector<std::string> logLines;
    };
    std::vector<std::future<Load>> loads;
    loads.reserve(request.scopes.size());
    for (const LaunchScope scope : request.scopes) {
        const auto policy = request.scopes.size() > 1 ? std::launch::async : std::launch::deferred;
        loads.push_back(std::async(policy, [&disk, scope] {
            Log::Capture capture;
            Load load;
            load.category = disk.loadCategory(scope);
            load.logLines = capture.take();
            return load;
        }));
    }
    for (std::size_t i = 0; i < loads.size(); ++i) {
        Load load = loads[i].get();
        for (const std::string& line : load.logLines) {
            Log::line(line);
        }
        listing.categories.emplace_back(request.scopes[i], std::move(load.category.items));
        if (request.problems) {
            listing.problems.insert(listing.problems.end(), load.category.problems.begin(),
                                    load.category.problems.end());
        }
    }
    if (request.disabled &&
        std::any_of(request.scopes.begin(), request.scopes.end(), DisabledServices::appliesTo)) {
        listing.disabled = disk.disabled();
    }
    if (request.signers) {
        // No cache is read or written: nothing is kept of a disk.
        listing.signers = checkSigners(listing, SignerChecker(disk.layout()));
    }
    return listing;
}

Listing Listing::load(const LaunchServiceManager& manager, const ListingRequest& request,
                      const SignerChecker& checker) {
    // One picture for the whole listing: the disabled state is read with the
    // job table, and none at all when no listed category holds launchd jobs.
    const HostPicture picture =
        manager.takePicture(HostPicture::Needs::forScopes(request.scopes, request.disabled));
    Listing listing;
    listing.takenAt = picture.takenAt();
    listing.categories = loadCategories(manager, picture, request.scopes,
                                        request.problems ? &listing.problems : nullptr);
    if (request.disabled &&
        std::any_of(request.scopes.begin(), request.scopes.end(), DisabledServices::appliesTo)) {
        listing.disabled = picture.disabled();
        picture.writeLog();
    }

    if (request.signers) {
        listing.signers = checkSigners(listing, checker);
    }
    return listing;
}

} // namespace daemonary
