#pragma once

#include "ByteSource.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace daemonary {

// One architecture of a Mach-O file: where its bytes lie in the file and
// where its embedded signature lies within them (LC_CODE_SIGNATURE).
struct MachOSlice {
    std::uint32_t cpuType = 0;
    std::uint32_t cpuSubtype = 0;
    std::string architecture; // "arm64", "x86_64", … or "cpu-<type>"
    std::uint64_t offset = 0; // in the file
    std::uint64_t size = 0;
    struct Range {
        std::uint64_t offset = 0; // in the slice
        std::uint64_t size = 0;
    };
    std::optional<Range> signature;
};

struct MachOLayout {
    enum class Status { machO, notMachO, invalid };
    Status status = Status::notMachO;
    bool universal = false;
    std::vector<MachOSlice> slices;
    std::string error; // for invalid: what is wrong, naming the slice
};

// The slices of a thin or universal Mach-O file, every offset and size
// checked against the file before it is believed.
MachOLayout readMachOLayout(const ByteSource& source);

std::string architectureName(std::uint32_t cpuType, std::uint32_t cpuSubtype);

} // namespace daemonary
