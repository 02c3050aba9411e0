#pragma once

#include <chrono>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace daemonary {

// What a code signature proves, in the classes of Apple's requirement
// language. Only the first four carry an authority; untrusted is a valid
// signature whose chain does not end at one of Apple's roots.
enum class SigningClass {
    apple,
    developerId,
    macAppStore,
    appleDevelopment,
    adHoc,
    unsignedCode,
    invalid,
    untrusted,
};

// "Apple", "Developer ID", "Mac App Store", "Apple Development", "Ad hoc",
// "Unsigned", "Invalid", "Untrusted".
std::string_view toText(SigningClass signingClass);
std::optional<SigningClass> signingClassFromText(std::string_view text);
// Every class but invalid, untrusted and unsigned: the code is what its
// signature says, whoever that is.
bool isIntact(SigningClass signingClass);

// The facts one file's or bundle's signature proves, read from its bytes.
struct CodeSignature {
    SigningClass signingClass = SigningClass::unsignedCode;
    // Why the class is invalid, untrusted or unsigned: which slice, which
    // page, which slot, which file.
    std::string reason;
    std::string identifier;
    // From the verified leaf certificate only; empty otherwise.
    std::string teamIdentifier;
    std::string organization;
    // Common names leaf to root, as the certificates give them: shown, never
    // trusted (a chain that is not Apple's can name itself anything).
    std::vector<std::string> authorities;
    // Architecture to CDHash (hex of the first 20 bytes of the SHA-256
    // CodeDirectory, else of the strongest one).
    std::map<std::string, std::string> cdHashes;
    std::vector<std::string> architectures;
    std::optional<std::chrono::system_clock::time_point> signingTime;
    bool hardenedRuntime = false;
    // The file (or a bundle's main executable) could not be opened, or this
    // build cannot check at all: the class then says nothing about the code.
    bool unread = false;

    bool intact() const { return isIntact(signingClass); }
};

// {"path", "class", "reason", "identifier", "teamIdentifier", "organization",
//  "authorities", "cdhashes", "architectures", "signingTime", "hardenedRuntime"};
// absent facts are null.
nlohmann::ordered_json toJson(const std::string& path, const CodeSignature& signature);

} // namespace daemonary
