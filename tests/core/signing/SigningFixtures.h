#pragma once

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <string>

namespace daemonary::test {

// The real programs scripts/setup fetches; a missing one is a broken setup,
// so the test fails (it never skips) and says how to mend it.
inline std::string signingFixture(const std::string& relative) {
    const std::filesystem::path path = std::filesystem::path(DAEMONARY_SIGNING_FIXTURES) / relative;
    if (!std::filesystem::is_regular_file(path)) {
        ADD_FAILURE() << "signing fixture " << path
                      << " is missing: run scripts/setup (it fetches the npm packages)";
    }
    return path.string();
}

inline std::string sentryUniversal() {
    return signingFixture("sentry-cli-darwin-3.8.0/package/bin/sentry-cli");
}
inline std::string esbuildArm64() {
    return signingFixture("esbuild-darwin-arm64-0.28.2/package/bin/esbuild");
}
inline std::string esbuildX64() {
    return signingFixture("esbuild-darwin-x64-0.28.2/package/bin/esbuild");
}

inline std::string readBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    std::string bytes(static_cast<std::size_t>(std::max<std::streamoff>(in.tellg(), 0)), '\0');
    in.seekg(0);
    in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return bytes;
}

inline void writeBytes(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline std::uint32_t be32At(const std::string& bytes, std::size_t at) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data() + at);
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
           p[3];
}
inline std::uint32_t le32At(const std::string& bytes, std::size_t at) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data() + at);
    return (std::uint32_t{p[3]} << 24) | (std::uint32_t{p[2]} << 16) | (std::uint32_t{p[1]} << 8) |
           p[0];
}
inline void putBe32(std::string& bytes, std::size_t at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        bytes[at + static_cast<std::size_t>(i)] = static_cast<char>(value >> (24 - 8 * i));
    }
}
inline void putLe32(std::string& bytes, std::size_t at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        bytes[at + static_cast<std::size_t>(i)] = static_cast<char>(value >> (8 * i));
    }
}

// Where a universal file's slices lie: (offset, size) of slice `index`.
inline std::pair<std::size_t, std::size_t> fatSlice(const std::string& bytes, std::size_t index) {
    return {be32At(bytes, 8 + 20 * index + 8), be32At(bytes, 8 + 20 * index + 12)};
}

// The LC_CODE_SIGNATURE (dataoff, datasize) of a thin 64-bit Mach-O, and the
// offset of the command itself.
struct SignatureCommand {
    std::size_t commandOffset = 0;
    std::uint32_t dataOffset = 0;
    std::uint32_t dataSize = 0;
};
inline SignatureCommand signatureCommand(const std::string& thin) {
    const std::uint32_t count = le32At(thin, 16);
    std::size_t at = 32;
    for (std::uint32_t i = 0; i < count; ++i) {
        if (le32At(thin, at) == 0x1d) {
            return {at, le32At(thin, at + 8), le32At(thin, at + 12)};
        }
        at += le32At(thin, at + 4);
    }
    ADD_FAILURE() << "no LC_CODE_SIGNATURE";
    return {};
}

// The offset of the blob in slot `type` of the SuperBlob at `superBlob`.
inline std::size_t blobOffset(const std::string& thin, std::size_t superBlob, std::uint32_t type) {
    const std::uint32_t count = be32At(thin, superBlob + 8);
    for (std::uint32_t i = 0; i < count; ++i) {
        if (be32At(thin, superBlob + 12 + 8 * i) == type) {
            return superBlob + be32At(thin, superBlob + 16 + 8 * i);
        }
    }
    ADD_FAILURE() << "no blob in slot " << type;
    return 0;
}

} // namespace daemonary::test
