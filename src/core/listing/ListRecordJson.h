#pragma once

#include "discovery/DisabledServices.h"
#include "insight/Signer.h"
#include "model/LaunchItem.h"

#include <map>
#include <nlohmann/json.hpp>
#include <string>

namespace daemonary {

class MetadataManager;

// What a listing knows about its records beyond the records themselves; a
// part that was not asked for stays null and adds nothing.
struct ListFacts {
    const MetadataManager* metadata = nullptr;
    const DisabledServices* disabled = nullptr;
    // By signerTarget.
    const std::map<std::string, Signer>* signers = nullptr;
};

// The signer found for the record's executable or bundle, if one was looked for.
const Signer* listedSigner(const LaunchItem& item, const std::map<std::string, Signer>* signers);

// One record as every listing writes it: its own JSON form, then
// "systemDefault" (with metadata), "disabled": true for a record launchd will
// not start (the key is absent otherwise, unknown included), and "signer"
// with "team" and "signerReason" when there is one. The command-line listing
// and the osquery tables both read records through this one function, so a
// key added here reaches both.
nlohmann::ordered_json listRecordJson(const LaunchItem& item, const ListFacts& facts);

} // namespace daemonary
