#pragma once

#include "ByteSource.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace daemonary {

// Slots before the code hashes, numbered as the signature format numbers them.
enum class SpecialSlot : std::uint32_t {
    infoPlist = 1,
    requirements = 2,
    resourceDirectory = 3, // _CodeSignature/CodeResources
    application = 4,
    entitlements = 5,
    derEntitlements = 7,
};

std::string_view specialSlotName(std::uint32_t slot);

// One CodeDirectory: the hashes of a slice's pages and of the blobs and
// files the signature binds.
class CodeDirectory {
public:
    static constexpr std::uint32_t kFlagAdhoc = 0x2;
    static constexpr std::uint32_t kFlagRuntime = 0x10000;
    static constexpr std::uint32_t kFlagLinkerSigned = 0x20000;

    // Nothing, with the reason, when the blob is malformed or would make
    // a reader step outside it. `sliceSize` bounds the code limit.
    static std::optional<CodeDirectory> parse(std::string_view blob, std::uint64_t sliceSize,
                                              std::string* error);

    std::string_view blob() const { return m_blob; }
    std::uint32_t version() const { return m_version; }
    std::uint32_t flags() const { return m_flags; }
    std::uint8_t hashType() const { return m_hashType; }
    std::uint64_t codeLimit() const { return m_codeLimit; }
    std::uint32_t codeSlotCount() const { return m_codeSlots; }
    std::uint32_t pageSize() const { return m_pageSize; } // 0: the code is one page
    const std::string& identifier() const { return m_identifier; }
    const std::string& teamIdentifier() const { return m_team; }

    // The slot's hash, or nothing when the directory has no such slot or
    // the slot is all zeros (nothing bound).
    std::optional<std::string_view> specialSlot(std::uint32_t slot) const;
    // The digest of the bytes with this directory's hash type.
    std::string digest(std::string_view bytes) const;
    // The CDHash: the directory's own digest, cut to 20 bytes.
    std::string cdHash() const;

    // The first page whose hash differs from the slice's bytes, or a read
    // error (page index past the end) as the same. Nothing when every page
    // matches.
    std::optional<std::uint64_t> firstBadPage(const ByteSource& source,
                                              std::uint64_t sliceOffset) const;

private:
    std::string_view m_blob;
    std::uint32_t m_version = 0;
    std::uint32_t m_flags = 0;
    std::uint8_t m_hashType = 0;
    std::uint8_t m_hashSize = 0;
    std::uint32_t m_pageSize = 0;
    std::uint64_t m_codeLimit = 0;
    std::uint32_t m_hashOffset = 0;
    std::uint32_t m_specialSlots = 0;
    std::uint32_t m_codeSlots = 0;
    std::string m_identifier;
    std::string m_team;
};

// Digest size of a CodeDirectory hash type; 0 for a type this reader does
// not know (1 SHA-1, 2 SHA-256, 3 SHA-256 cut to 20 bytes, 4 SHA-384).
std::size_t hashTypeSize(std::uint8_t hashType);
std::string hashTypeDigest(std::uint8_t hashType, std::string_view bytes);

} // namespace daemonary
