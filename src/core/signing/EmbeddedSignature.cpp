#include "EmbeddedSignature.h"

#include "BigEndian.h"

#include <set>

namespace daemonary {

namespace {

constexpr std::uint32_t kSuperBlobMagic = 0xfade0cc0;
constexpr std::uint32_t kCodeDirectoryMagic = 0xfade0c02;
constexpr std::uint32_t kRequirementsMagic = 0xfade0c01;
constexpr std::uint32_t kEntitlementsMagic = 0xfade7171;
constexpr std::uint32_t kDerEntitlementsMagic = 0xfade7172;
constexpr std::uint32_t kBlobWrapperMagic = 0xfade0b01;

constexpr std::uint32_t kSlotCodeDirectory = 0;
constexpr std::uint32_t kSlotRequirements = 2;
constexpr std::uint32_t kSlotEntitlements = 5;
constexpr std::uint32_t kSlotDerEntitlements = 7;
constexpr std::uint32_t kSlotAlternateFirst = 0x1000;
constexpr std::uint32_t kSlotAlternateLast = 0x1004;
constexpr std::uint32_t kSlotSignature = 0x10000;

} // namespace

std::optional<EmbeddedSignature> EmbeddedSignature::parse(std::string_view superBlob,
                                                          std::string* error) {
    const auto fail = [error](std::string message) -> std::optional<EmbeddedSignature> {
        if (error) {
            *error = std::move(message);
        }
        return std::nullopt;
    };
    const auto magic = bytes::be32(superBlob, 0);
    const auto length = bytes::be32(superBlob, 4);
    const auto count = bytes::be32(superBlob, 8);
    if (!magic || *magic != kSuperBlobMagic || !length || !count) {
        return fail("the embedded signature is not a SuperBlob");
    }
    if (*length < 12 || *length > superBlob.size()) {
        return fail("the SuperBlob's length lies past the signature");
    }
    const std::string_view blob = superBlob.substr(0, *length);
    if (*count > (blob.size() - 12) / 8) {
        return fail("the SuperBlob's index lies past its end");
    }
    const std::uint64_t indexEnd = 12 + std::uint64_t{*count} * 8;
    EmbeddedSignature signature;
    std::optional<std::string_view> primary;
    std::set<std::uint32_t> seen;
    for (std::uint32_t i = 0; i < *count; ++i) {
        const std::uint32_t type = *bytes::be32(blob, 12 + std::uint64_t{i} * 8);
        const std::uint32_t offset = *bytes::be32(blob, 16 + std::uint64_t{i} * 8);
        if (!seen.insert(type).second) {
            return fail("slot " + std::to_string(type) + " appears twice in the SuperBlob");
        }
        // Blobs sit after the index and never nest: a single pass over the
        // index cannot loop, whatever the offsets say.
        const auto blobMagic = bytes::be32(blob, offset);
        const auto blobLength = bytes::be32(blob, std::uint64_t{offset} + 4);
        if (offset < indexEnd || !blobMagic || !blobLength || *blobLength < 8 ||
            !bytes::fits(offset, *blobLength, blob.size())) {
            return fail("blob " + std::to_string(type) + " lies outside the SuperBlob");
        }
        const std::string_view content = blob.substr(offset, *blobLength);
        const auto expect = [&](std::uint32_t wanted) { return *blobMagic == wanted; };
        if (type == kSlotCodeDirectory ||
            (type >= kSlotAlternateFirst && type <= kSlotAlternateLast)) {
            if (!expect(kCodeDirectoryMagic)) {
                return fail("slot " + std::to_string(type) + " holds no CodeDirectory");
            }
            if (type == kSlotCodeDirectory) {
                primary = content;
            } else {
                signature.codeDirectories.push_back(content);
            }
        } else if (type == kSlotRequirements) {
            if (!expect(kRequirementsMagic)) {
                return fail("the requirements slot holds something else");
            }
            signature.requirements = content;
        } else if (type == kSlotEntitlements) {
            if (!expect(kEntitlementsMagic)) {
                return fail("the entitlements slot holds something else");
            }
            signature.entitlements = content;
        } else if (type == kSlotDerEntitlements) {
            if (!expect(kDerEntitlementsMagic)) {
                return fail("the DER entitlements slot holds something else");
            }
            signature.derEntitlements = content;
        } else if (type == kSlotSignature) {
            if (!expect(kBlobWrapperMagic)) {
                return fail("the signature slot holds something else");
            }
            signature.cms = content.substr(8);
        }
    }
    if (!primary) {
        return fail("the SuperBlob has no CodeDirectory");
    }
    // Alternates keep the index order; the CDHashes check compares sets.
    signature.codeDirectories.insert(signature.codeDirectories.begin(), *primary);
    return signature;
}

} // namespace daemonary
