#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace daemonary {

// The blobs of one slice's embedded signature (the SuperBlob), each a view
// into the bytes given to parse. Blob bytes include their 8-byte header, as
// the special slots hash them.
struct EmbeddedSignature {
    // The primary CodeDirectory first, then the alternates in slot order.
    std::vector<std::string_view> codeDirectories;
    std::optional<std::string_view> requirements;
    std::optional<std::string_view> entitlements;
    std::optional<std::string_view> derEntitlements;
    // The CMS message without its wrapper header; empty for an ad hoc
    // signature, nothing when there is no wrapper at all.
    std::optional<std::string_view> cms;

    // Nothing, with the reason, when the SuperBlob is malformed: an index
    // entry or a blob outside it, a slot given twice, a blob of the wrong kind.
    static std::optional<EmbeddedSignature> parse(std::string_view superBlob, std::string* error);
};

} // namespace daemonary
