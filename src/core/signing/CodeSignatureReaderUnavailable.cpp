// The reader in a build without libcrypto (the macOS cross build): it
// proves nothing, so every answer is Invalid with the reason, never a
// guessed class.
#include "CodeSignatureReader.h"

namespace daemonary {

namespace {

CodeSignature unavailable() {
    CodeSignature result;
    result.signingClass = SigningClass::invalid;
    result.reason = "this build cannot check signatures (built without libcrypto)";
    result.unread = true;
    return result;
}

} // namespace

CodeSignature CodeSignatureReader::readMachO(const ByteSource&, const BoundFiles&) {
    return unavailable();
}

CodeSignature CodeSignatureReader::readPath(const std::string&) {
    return unavailable();
}

CodeSignature CodeSignatureReader::readBundle(const std::string&) {
    return unavailable();
}

std::map<std::string, std::string> CodeSignatureReader::readCdHashes(const std::string&) {
    return {};
}

std::map<std::string, std::string> CodeSignatureReader::readCdHashes(const ByteSource&) {
    return {};
}

} // namespace daemonary
