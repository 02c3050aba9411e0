// libFuzzer entry point for the code-signature reader: Mach-O headers, the
// SuperBlob, CodeDirectories, page hashes and the CMS message, all from
// untrusted bytes.

#include "signing/ByteSource.h"
#include "signing/CodeSignatureReader.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const daemonary::MemoryByteSource source(
        std::string_view(reinterpret_cast<const char*>(data), size));
    const daemonary::CodeSignature signature = daemonary::CodeSignatureReader::readMachO(source);
    // Random bytes never chain to an Apple root, and every verdict that is
    // not intact says why.
    using daemonary::SigningClass;
    if (signature.signingClass == SigningClass::apple ||
        signature.signingClass == SigningClass::developerId ||
        signature.signingClass == SigningClass::macAppStore ||
        signature.signingClass == SigningClass::appleDevelopment) {
        std::abort();
    }
    if (!signature.intact() && signature.reason.empty()) {
        std::abort();
    }
    // A CDHash is 20 bytes in hex, for an architecture the file has.
    for (const auto& [architecture, hash] : signature.cdHashes) {
        if (hash.size() != 40) {
            std::abort();
        }
        bool listed = false;
        for (const auto& name : signature.architectures) {
            listed = listed || name == architecture;
        }
        if (!listed) {
            std::abort();
        }
    }
    return 0;
}
