#include "listing/ListRecordJson.h"

#include "discovery/MetadataManager.h"
#include "insight/SignerChecker.h"
#include "model/LaunchItemJson.h"

namespace daemonary {

const Signer* listedSigner(const LaunchItem& item, const std::map<std::string, Signer>* signers) {
    if (signers == nullptr) {
        return nullptr;
    }
    if (runsInlineCommand(item)) {
        return &inlineCommandSigner();
    }
    const auto target = signerTarget(item);
    if (!target) {
        return nullptr;
    }
    const auto found = signers->find(*target);
    return found == signers->end() ? nullptr : &found->second;
}

nlohmann::ordered_json listRecordJson(const LaunchItem& item, const ListFacts& facts) {
    nlohmann::ordered_json record = toJson(item);
    if (facts.metadata) {
        record["systemDefault"] = facts.metadata->isSystemDefault(item);
    }
    if (facts.disabled != nullptr && facts.disabled->hasDisabled(item)) {
        record["disabled"] = true;
    }
    if (const Signer* signer = listedSigner(item, facts.signers)) {
        record["signer"] = signer->text();
        if (!signer->team.empty()) {
            record["team"] = signer->team;
        }
        if (!signer->reason.empty()) {
            record["signerReason"] = signer->reason;
        }
        // The certificate's own name: shown, never the class.
        if (!signer->authority.empty()) {
            record["signerAuthority"] = signer->authority;
        }
        if (!signer->cdHashes.empty()) {
            record["cdhashes"] = signer->cdHashes;
        }
        if (signer->readFromFile) {
            record["signerSource"] = "file";
        }
    }
    return record;
}

} // namespace daemonary
