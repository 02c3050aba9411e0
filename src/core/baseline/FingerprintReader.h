#pragma once

#include "baseline/Fingerprint.h"
#include "model/LaunchItem.h"
#include "platform/HostLayout.h"

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <tuple>
#include <unordered_map>

namespace daemonary {

// Reads records' fingerprints from the disk. Definitions and information
// files are read with the same guards as discovery: regular files only,
// never blocking, nothing over kMaxReadableFileBytes hashed. A program is
// streamed through SHA-256 up to the hash limit; a larger one is stamped.
//
// Digests of programs are remembered by their full stamp (device, inode,
// size, modification and change time), so a window that compares after every
// load reads each program once; rewriting one changes its change time, which
// no user can set back. A program changed in the last two seconds is read
// every time, as the kernel's clock may not have moved on since. Safe to use
// from several threads.
class FingerprintReader {
public:
    // Large enough for almost every launchd program; the few larger ones are
    // stamped so that a listing is not held up reading them.
    static constexpr std::uint64_t kDefaultProgramHashLimit = 64 * 1024 * 1024;

    explicit FingerprintReader(HostLayout layout,
                               std::uint64_t programHashLimit = kDefaultProgramHashLimit);

    // Definitions already parsed, by the SHA-256 of their bytes: equal bytes
    // are not parsed again.
    using KnownDefinitions = std::unordered_map<std::string, const nlohmann::json*>;

    Fingerprint read(const LaunchItem& item, const KnownDefinitions* known = nullptr);
    std::uint64_t programHashLimit() const { return m_programHashLimit; }
    const HostLayout& layout() const { return m_layout; }

private:
    // Device, inode, size, modification and change time in nanoseconds.
    using Identity =
        std::tuple<std::uint64_t, std::uint64_t, std::uint64_t, std::int64_t, std::int64_t>;

    void readProgram(const std::string& path, Fingerprint& fingerprint);

    HostLayout m_layout;
    std::uint64_t m_programHashLimit;
    std::mutex m_mutex;
    std::map<std::pair<std::string, Identity>, std::string> m_digests;
};

} // namespace daemonary
