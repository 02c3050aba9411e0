#pragma once

#include "CodeSignature.h"

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace daemonary {

// What the CMS signature of one slice proves about its primary CodeDirectory.
struct CmsVerdict {
    // apple, developerId, macAppStore, appleDevelopment, untrusted or invalid.
    SigningClass signingClass = SigningClass::invalid;
    std::string reason;
    std::string teamIdentifier; // the verified leaf's subject OU
    std::string organization;   // the verified leaf's subject O
    std::vector<std::string> authorities;
    std::optional<std::chrono::system_clock::time_point> signingTime;
    // The CDHashes the signer listed (the signed attribute Apple adds when a
    // slice has more than one CodeDirectory); nothing when it is absent.
    std::optional<std::vector<std::string>> signedCdHashes;
};

// Checks the detached CMS signature over the CodeDirectory, then the
// certificate chain from the certificates inside it, anchored only at a root
// whose SHA-256 is one of Apple's published root fingerprints.
CmsVerdict verifyCmsSignature(std::string_view cms, std::string_view codeDirectory);

} // namespace daemonary
