#pragma once

#include "discovery/DisabledServices.h"
#include "insight/Signer.h"
#include "listing/ListRecordJson.h"
#include "model/DefinitionProblem.h"
#include "model/LaunchItem.h"

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace daemonary {

class LaunchServiceManager;
class MacDisk;
class SignerChecker;

// What to load for a listing besides the records: each extra costs child
// processes, so callers ask only for what they show.
struct ListingRequest {
    std::vector<LaunchScope> scopes; // in the order wanted
    bool disabled = true;            // launchctl print-disabled, once per domain
    bool signers = false;            // codesign, once or twice per distinct target
    bool problems = false;           // the definitions that could not be read
};

// Records of some categories with the facts a listing adds to them.
struct Listing {
    std::vector<std::pair<LaunchScope, std::vector<LaunchItem>>> categories;
    // Read only when asked for and when a category holds launchd jobs.
    std::optional<DisabledServices> disabled;
    std::optional<std::map<std::string, Signer>> signers;
    std::vector<DefinitionProblem> problems;
    // When the tools behind the records were asked (read, for a disk).
    std::chrono::system_clock::time_point takenAt;
    // The root of the Mac's disk the records were read from; nothing for a
    // live host.
    std::optional<std::string> diskRoot;

    ListFacts facts(const MetadataManager* metadata) const;

    // The categories load at the same time from one picture of the host,
    // the disabled state with them. Signers are checked once every category
    // has loaded.
    static Listing load(const LaunchServiceManager& manager, const ListingRequest& request,
                        const SignerChecker& checker);
    // The same read from a Mac's disk, running nothing: the disabled state
    // from launchd's files, signers read from the files.
    static Listing load(const MacDisk& disk, const ListingRequest& request);
};

} // namespace daemonary
