#include "MachOLayout.h"

#include "BigEndian.h"

#include <algorithm>
#include <utility>

namespace daemonary {

namespace {

constexpr std::uint32_t kFatMagic = 0xcafebabe;
constexpr std::uint32_t kFatMagic64 = 0xcafebabf;
constexpr std::uint32_t kMachMagic = 0xfeedface;   // as read little-endian
constexpr std::uint32_t kMachMagic64 = 0xfeedfacf; // as read little-endian
constexpr std::uint32_t kMachCigam = 0xcefaedfe;
constexpr std::uint32_t kMachCigam64 = 0xcffaedfe;
constexpr std::uint32_t kLoadCodeSignature = 0x1d;
constexpr std::uint32_t kCpuArch64 = 0x01000000;
constexpr std::uint32_t kCpuArch6432 = 0x02000000;
// No real universal file has more; a larger count is a damaged header (or a
// Java class file, which shares the magic).
constexpr std::uint32_t kMaxArchitectures = 64;
// Load commands of real programs take a few kilobytes.
constexpr std::uint32_t kMaxLoadCommandBytes = 16u << 20;

MachOLayout invalid(std::string error) {
    MachOLayout layout;
    layout.status = MachOLayout::Status::invalid;
    layout.error = std::move(error);
    return layout;
}

// Reads the header and load commands of the slice; fills its architecture
// and signature range. An error names what is wrong.
std::optional<std::string> readSlice(const ByteSource& source, MachOSlice& slice, bool checkCpu) {
    const auto header = source.read(slice.offset, std::min<std::uint64_t>(slice.size, 32));
    if (!header || header->size() < 28) {
        return "the Mach-O header is cut short";
    }
    const std::uint32_t magic = *bytes::le32(*header, 0);
    if (magic == kMachCigam || magic == kMachCigam64) {
        return "big-endian Mach-O is not supported";
    }
    if (magic != kMachMagic && magic != kMachMagic64) {
        return "the slice is not Mach-O";
    }
    const std::uint64_t headerSize = magic == kMachMagic64 ? 32 : 28;
    if (header->size() < headerSize) {
        return "the Mach-O header is cut short";
    }
    const std::uint32_t cpuType = *bytes::le32(*header, 4);
    const std::uint32_t cpuSubtype = *bytes::le32(*header, 8);
    if (checkCpu && (cpuType != slice.cpuType)) {
        return "the universal header and the slice name different CPUs";
    }
    slice.cpuType = cpuType;
    slice.cpuSubtype = cpuSubtype;
    slice.architecture = architectureName(cpuType, cpuSubtype);

    const std::uint32_t commandCount = *bytes::le32(*header, 16);
    const std::uint32_t commandBytes = *bytes::le32(*header, 20);
    if (commandBytes > kMaxLoadCommandBytes || !bytes::fits(headerSize, commandBytes, slice.size)) {
        return "the load commands reach past the end of the slice";
    }
    if (commandCount > commandBytes / 8) {
        return "more load commands than fit in their space";
    }
    const auto commands = source.read(slice.offset + headerSize, commandBytes);
    if (!commands) {
        return "the load commands reach past the end of the file";
    }
    std::uint64_t at = 0;
    for (std::uint32_t i = 0; i < commandCount; ++i) {
        const auto command = bytes::le32(*commands, at);
        const auto commandSize = bytes::le32(*commands, at + 4);
        if (!command || !commandSize || *commandSize < 8 || *commandSize % 4 != 0 ||
            !bytes::fits(at, *commandSize, commands->size())) {
            return "load command " + std::to_string(i) + " is malformed";
        }
        if (*command == kLoadCodeSignature) {
            if (slice.signature) {
                return "more than one LC_CODE_SIGNATURE";
            }
            if (*commandSize < 16) {
                return "LC_CODE_SIGNATURE is malformed";
            }
            const std::uint32_t dataOffset = *bytes::le32(*commands, at + 8);
            const std::uint32_t dataSize = *bytes::le32(*commands, at + 12);
            if (!bytes::fits(dataOffset, dataSize, slice.size)) {
                return "the signature lies past the end of the slice";
            }
            slice.signature = MachOSlice::Range{dataOffset, dataSize};
        }
        at += *commandSize;
    }
    return std::nullopt;
}

} // namespace

std::string architectureName(std::uint32_t cpuType, std::uint32_t cpuSubtype) {
    const std::uint32_t subtype = cpuSubtype & 0x00ffffff;
    switch (cpuType) {
    case 7:
        return "i386";
    case 7 | kCpuArch64:
        return subtype == 8 ? "x86_64h" : "x86_64";
    case 12:
        return "arm";
    case 12 | kCpuArch64:
        return subtype == 2 ? "arm64e" : "arm64";
    case 12 | kCpuArch6432:
        return "arm64_32";
    case 18:
        return "ppc";
    case 18 | kCpuArch64:
        return "ppc64";
    default:
        return "cpu-" + std::to_string(cpuType);
    }
}

MachOLayout readMachOLayout(const ByteSource& source) {
    const auto start = source.read(0, std::min<std::uint64_t>(source.size(), 8));
    if (!start || start->size() < 4) {
        return {};
    }
    const std::uint32_t bigMagic = *bytes::be32(*start, 0);
    const std::uint32_t littleMagic = *bytes::le32(*start, 0);

    MachOLayout layout;
    layout.status = MachOLayout::Status::machO;
    if (bigMagic == kFatMagic || bigMagic == kFatMagic64) {
        layout.universal = true;
        const bool wide = bigMagic == kFatMagic64;
        const auto count = bytes::be32(*start, 4);
        if (!count) {
            return invalid("the universal header is cut short");
        }
        if (*count == 0 || *count > kMaxArchitectures) {
            return invalid("the universal header lists " + std::to_string(*count) +
                           " architectures");
        }
        const std::uint64_t entrySize = wide ? 32 : 20;
        const auto table = source.read(8, static_cast<std::size_t>(entrySize * *count));
        if (!table) {
            return invalid("the universal header is cut short");
        }
        for (std::uint32_t i = 0; i < *count; ++i) {
            const std::uint64_t at = entrySize * i;
            MachOSlice slice;
            slice.cpuType = *bytes::be32(*table, at);
            slice.cpuSubtype = *bytes::be32(*table, at + 4);
            slice.offset = wide ? *bytes::be64(*table, at + 8) : *bytes::be32(*table, at + 8);
            slice.size = wide ? *bytes::be64(*table, at + 16) : *bytes::be32(*table, at + 12);
            slice.architecture = architectureName(slice.cpuType, slice.cpuSubtype);
            if (!bytes::fits(slice.offset, slice.size, source.size()) ||
                slice.offset < 8 + entrySize * *count) {
                return invalid(slice.architecture + ": the slice lies outside the file");
            }
            for (const MachOSlice& other : layout.slices) {
                if (other.cpuType == slice.cpuType && other.cpuSubtype == slice.cpuSubtype) {
                    return invalid(slice.architecture + ": the architecture appears twice");
                }
            }
            if (auto error = readSlice(source, slice, true)) {
                return invalid(slice.architecture + ": " + *error);
            }
            layout.slices.push_back(std::move(slice));
        }
        return layout;
    }
    if (littleMagic == kMachMagic || littleMagic == kMachMagic64 || littleMagic == kMachCigam ||
        littleMagic == kMachCigam64) {
        MachOSlice slice;
        slice.size = source.size();
        if (auto error = readSlice(source, slice, false)) {
            return invalid(*error);
        }
        layout.slices.push_back(std::move(slice));
        return layout;
    }
    return {};
}

} // namespace daemonary
