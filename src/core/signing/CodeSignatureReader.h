#pragma once

#include "ByteSource.h"
#include "CodeSignature.h"

#include <map>
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

    // Architecture to CDHash of a file or a bundle's main executable, from
    // the signature's structure alone: no page, no CMS, no chain is checked,
    // so it names the code without vouching for it. Reads the headers and
    // the CodeDirectories only. Empty for code with no signature that
    // parses, and in a build that cannot check.
    static std::map<std::string, std::string> readCdHashes(const std::string& path);

private:
    static CodeSignature readBundle(const std::string& path);
    static std::map<std::string, std::string> readCdHashes(const ByteSource& source);
};

} // namespace daemonary
