#include "CodeDirectory.h"

#include "BigEndian.h"

#include <algorithm>
#include <memory>
#include <openssl/evp.h>

namespace daemonary {

namespace {

constexpr std::uint32_t kCodeDirectoryMagic = 0xfade0c02;
constexpr std::uint32_t kEarliestVersion = 0x20001;
// Later minor versions only add fields at the end; a new major version
// would mean a format this reader cannot judge.
constexpr std::uint32_t kVersionLimit = 0x30000;
constexpr std::uint32_t kSupportsScatter = 0x20100;
constexpr std::uint32_t kSupportsTeam = 0x20200;
constexpr std::uint32_t kSupportsCodeLimit64 = 0x20300;
constexpr std::uint32_t kSupportsExecSegment = 0x20400;
constexpr std::uint32_t kSupportsRuntime = 0x20500;
constexpr std::uint32_t kSupportsLinkage = 0x20600;
// Pages are hashed this many at a time: few reads, bounded memory.
constexpr std::uint64_t kPagesPerRead = 256;

std::uint64_t headerSize(std::uint32_t version) {
    if (version >= kSupportsLinkage) {
        return 108;
    }
    if (version >= kSupportsRuntime) {
        return 96;
    }
    if (version >= kSupportsExecSegment) {
        return 88;
    }
    if (version >= kSupportsCodeLimit64) {
        return 64;
    }
    if (version >= kSupportsTeam) {
        return 52;
    }
    if (version >= kSupportsScatter) {
        return 48;
    }
    return 44;
}

const EVP_MD* digestFor(std::uint8_t hashType) {
    switch (hashType) {
    case 1:
        return EVP_sha1();
    case 2:
    case 3:
        return EVP_sha256();
    case 4:
        return EVP_sha384();
    default:
        return nullptr;
    }
}

// A NUL-terminated string inside the blob.
std::optional<std::string> stringAt(std::string_view blob, std::uint32_t offset,
                                    std::uint64_t fixedEnd) {
    if (offset < fixedEnd || offset >= blob.size()) {
        return std::nullopt;
    }
    const std::size_t end = blob.find('\0', offset);
    if (end == std::string_view::npos) {
        return std::nullopt;
    }
    return std::string(blob.substr(offset, end - offset));
}

struct DigestContextDeleter {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

} // namespace

std::string_view specialSlotName(std::uint32_t slot) {
    switch (slot) {
    case 1:
        return "Info.plist";
    case 2:
        return "requirements";
    case 3:
        return "CodeResources";
    case 4:
        return "application";
    case 5:
        return "entitlements";
    case 6:
        return "representation";
    case 7:
        return "DER entitlements";
    default:
        return "unknown";
    }
}

std::size_t hashTypeSize(std::uint8_t hashType) {
    switch (hashType) {
    case 1:
    case 3:
        return 20;
    case 2:
        return 32;
    case 4:
        return 48;
    default:
        return 0;
    }
}

std::string hashTypeDigest(std::uint8_t hashType, std::string_view bytes) {
    const EVP_MD* md = digestFor(hashType);
    if (md == nullptr) {
        return {};
    }
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), out, &length, md, nullptr) != 1) {
        return {};
    }
    length = std::min<unsigned int>(length, static_cast<unsigned int>(hashTypeSize(hashType)));
    return std::string(reinterpret_cast<const char*>(out), length);
}

std::optional<CodeDirectory> CodeDirectory::parse(std::string_view blob, std::uint64_t sliceSize,
                                                  std::string* error) {
    const auto fail = [error](std::string message) -> std::optional<CodeDirectory> {
        if (error) {
            *error = std::move(message);
        }
        return std::nullopt;
    };
    const auto magic = bytes::be32(blob, 0);
    const auto length = bytes::be32(blob, 4);
    if (!magic || *magic != kCodeDirectoryMagic || !length || *length > blob.size() ||
        *length < 44) {
        return fail("the CodeDirectory is malformed");
    }
    CodeDirectory directory;
    directory.m_blob = blob.substr(0, *length);
    const std::string_view cd = directory.m_blob;
    directory.m_version = *bytes::be32(cd, 8);
    if (directory.m_version < kEarliestVersion || directory.m_version >= kVersionLimit) {
        return fail("CodeDirectory version " + std::to_string(directory.m_version) +
                    " is not supported");
    }
    const std::uint64_t fixedEnd = headerSize(directory.m_version);
    if (cd.size() < fixedEnd) {
        return fail("the CodeDirectory is shorter than its version's header");
    }
    directory.m_flags = *bytes::be32(cd, 12);
    directory.m_hashOffset = *bytes::be32(cd, 16);
    const std::uint32_t identOffset = *bytes::be32(cd, 20);
    directory.m_specialSlots = *bytes::be32(cd, 24);
    directory.m_codeSlots = *bytes::be32(cd, 28);
    std::uint64_t codeLimit = *bytes::be32(cd, 32);
    directory.m_hashSize = *bytes::u8(cd, 36);
    directory.m_hashType = *bytes::u8(cd, 37);
    const std::uint8_t pageShift = *bytes::u8(cd, 39);
    if (directory.m_version >= kSupportsScatter && *bytes::be32(cd, 44) != 0) {
        return fail("scatter CodeDirectories are not supported");
    }
    if (directory.m_version >= kSupportsCodeLimit64) {
        const std::uint64_t codeLimit64 = *bytes::be64(cd, 56);
        if (codeLimit64 != 0) {
            codeLimit = codeLimit64;
        }
    }
    if (hashTypeSize(directory.m_hashType) == 0 ||
        directory.m_hashSize != hashTypeSize(directory.m_hashType)) {
        return fail("unknown CodeDirectory hash type " + std::to_string(directory.m_hashType));
    }
    if (pageShift != 0 && (pageShift < 9 || pageShift > 16)) {
        return fail("page size 2^" + std::to_string(pageShift) + " is not plausible");
    }
    directory.m_pageSize = pageShift == 0 ? 0 : (1u << pageShift);
    if (codeLimit > sliceSize) {
        return fail("the code limit lies past the end of the slice");
    }
    directory.m_codeLimit = codeLimit;
    const std::uint64_t expectedSlots =
        directory.m_pageSize == 0 ? (codeLimit > 0 ? 1 : 0)
                                  : (codeLimit + directory.m_pageSize - 1) / directory.m_pageSize;
    if (expectedSlots != directory.m_codeSlots) {
        return fail("the CodeDirectory has " + std::to_string(directory.m_codeSlots) +
                    " code slots for " + std::to_string(expectedSlots) + " pages");
    }
    const std::uint64_t hashSize = directory.m_hashSize;
    if (directory.m_hashOffset < fixedEnd ||
        std::uint64_t{directory.m_specialSlots} * hashSize > directory.m_hashOffset - fixedEnd ||
        !bytes::fits(directory.m_hashOffset, std::uint64_t{directory.m_codeSlots} * hashSize,
                     cd.size())) {
        return fail("the CodeDirectory's hash slots lie outside it");
    }
    const auto identifier = stringAt(cd, identOffset, fixedEnd);
    if (!identifier) {
        return fail("the CodeDirectory's identifier lies outside it");
    }
    directory.m_identifier = *identifier;
    if (directory.m_version >= kSupportsTeam) {
        const std::uint32_t teamOffset = *bytes::be32(cd, 48);
        if (teamOffset != 0) {
            const auto team = stringAt(cd, teamOffset, fixedEnd);
            if (!team) {
                return fail("the CodeDirectory's team identifier lies outside it");
            }
            directory.m_team = *team;
        }
    }
    return directory;
}

std::optional<std::string_view> CodeDirectory::specialSlot(std::uint32_t slot) const {
    if (slot == 0 || slot > m_specialSlots) {
        return std::nullopt;
    }
    const std::string_view hash =
        m_blob.substr(m_hashOffset - std::uint64_t{slot} * m_hashSize, m_hashSize);
    if (std::all_of(hash.begin(), hash.end(), [](char c) { return c == '\0'; })) {
        return std::nullopt;
    }
    return hash;
}

std::string CodeDirectory::digest(std::string_view bytes) const {
    return hashTypeDigest(m_hashType, bytes);
}

std::string CodeDirectory::cdHash() const {
    return digest(m_blob).substr(0, 20);
}

std::optional<std::uint64_t> CodeDirectory::firstBadPage(const ByteSource& source,
                                                         std::uint64_t sliceOffset) const {
    const EVP_MD* md = digestFor(m_hashType);
    std::unique_ptr<EVP_MD_CTX, DigestContextDeleter> context(EVP_MD_CTX_new());
    if (md == nullptr || !context) {
        return 0;
    }
    unsigned char out[EVP_MAX_MD_SIZE];
    if (m_pageSize == 0) {
        // One page of any size: hashed in pieces.
        if (m_codeSlots == 0) {
            return std::nullopt;
        }
        constexpr std::uint64_t kPiece = 1u << 20;
        if (EVP_DigestInit_ex(context.get(), md, nullptr) != 1) {
            return 0;
        }
        for (std::uint64_t at = 0; at < m_codeLimit; at += kPiece) {
            const auto piece = source.read(
                sliceOffset + at, static_cast<std::size_t>(std::min(kPiece, m_codeLimit - at)));
            if (!piece || EVP_DigestUpdate(context.get(), piece->data(), piece->size()) != 1) {
                return 0;
            }
        }
        unsigned int length = 0;
        if (EVP_DigestFinal_ex(context.get(), out, &length) != 1 ||
            std::string_view(reinterpret_cast<const char*>(out), m_hashSize) !=
                m_blob.substr(m_hashOffset, m_hashSize)) {
            return 0;
        }
        return std::nullopt;
    }
    const std::uint64_t pageSize = m_pageSize;
    for (std::uint64_t first = 0; first < m_codeSlots; first += kPagesPerRead) {
        const std::uint64_t last = std::min<std::uint64_t>(m_codeSlots, first + kPagesPerRead);
        const std::uint64_t begin = first * pageSize;
        const std::uint64_t end = std::min(m_codeLimit, last * pageSize);
        const auto chunk = source.read(sliceOffset + begin, static_cast<std::size_t>(end - begin));
        if (!chunk) {
            return first;
        }
        for (std::uint64_t page = first; page < last; ++page) {
            const std::uint64_t at = (page - first) * pageSize;
            const std::uint64_t size = std::min(pageSize, chunk->size() - at);
            unsigned int length = 0;
            if (EVP_DigestInit_ex(context.get(), md, nullptr) != 1 ||
                EVP_DigestUpdate(context.get(), chunk->data() + at, size) != 1 ||
                EVP_DigestFinal_ex(context.get(), out, &length) != 1) {
                return page;
            }
            const std::string_view expected =
                m_blob.substr(m_hashOffset + page * m_hashSize, m_hashSize);
            if (std::string_view(reinterpret_cast<const char*>(out), m_hashSize) != expected) {
                return page;
            }
        }
    }
    return std::nullopt;
}

} // namespace daemonary
