#pragma once

#include "ByteSource.h"
#include "CodeSignature.h"

#include <optional>
#include <string>

namespace daemonary {

// Reads a Mach-O file's or a bundle's signature in-process and says what it
// proves: every slice, every CodeDirectory and page, the CMS signature and
// its chain, and for a bundle the files its seal covers. No tool runs; the
// same answer on any system.
class CodeSignatureReader {
public:
    // The bytes a bundle's signature binds through its special slots.
    struct BoundFiles {
        std::optional<std::string> infoPlist;     // Contents/Info.plist
        std::optional<std::string> codeResources; // Contents/_CodeSignature/CodeResources
    };

    // A file, or a bundle folder (its main executable and its seal).
    static CodeSignature readPath(const std::string& path);
    // The bytes of one Mach-O file; a bundle's bound files when it is one.
    static CodeSignature readMachO(const ByteSource& source, const BoundFiles& bound = {});

private:
    static CodeSignature readBundle(const std::string& path);
};

} // namespace daemonary
