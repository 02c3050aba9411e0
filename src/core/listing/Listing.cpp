#include "listing/Listing.h"

#include "discovery/LaunchServiceManager.h"
#include "insight/SignerChecker.h"
#include "listing/CategoryLoader.h"
#include "platform/Log.h"

#include <algorithm>

namespace daemonary {

ListFacts Listing::facts(const MetadataManager* metadata) const {
    return ListFacts{metadata, disabled ? &*disabled : nullptr, signers ? &*signers : nullptr};
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
