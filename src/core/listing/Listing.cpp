#include "listing/Listing.h"

#include "discovery/LaunchServiceManager.h"
#include "insight/SignerChecker.h"
#include "listing/CategoryLoader.h"
#include "platform/Log.h"

#include <algorithm>
#include <future>

namespace daemonary {

ListFacts Listing::facts(const MetadataManager* metadata) const {
    return ListFacts{metadata, disabled ? &*disabled : nullptr, signers ? &*signers : nullptr};
}

Listing Listing::load(const LaunchServiceManager& manager, const ListingRequest& request,
                      const SignerChecker& checker) {
    // One print-disabled per domain for the whole listing, and none when no
    // listed category holds launchd jobs. Its log lines follow the categories'.
    std::future<DisabledServices> disabledLoad;
    std::vector<std::string> disabledLog;
    if (request.disabled &&
        std::any_of(request.scopes.begin(), request.scopes.end(), DisabledServices::appliesTo)) {
        disabledLoad = std::async(std::launch::async, [&manager, &disabledLog] {
            Log::Capture capture;
            DisabledServices loaded = manager.loadDisabledServices();
            disabledLog = capture.take();
            return loaded;
        });
    }

    Listing listing;
    listing.categories =
        loadCategories(manager, request.scopes, request.problems ? &listing.problems : nullptr);

    if (disabledLoad.valid()) {
        listing.disabled = disabledLoad.get();
        for (const std::string& line : disabledLog) {
            Log::line(line);
        }
    }

    if (request.signers) {
        std::vector<std::string> targets;
        for (const auto& category : listing.categories) {
            for (const LaunchItem& item : category.second) {
                if (auto target = signerTarget(item)) {
                    targets.push_back(std::move(*target));
                }
            }
        }
        listing.signers = checker.checkAll(targets);
    }
    return listing;
}

} // namespace daemonary
