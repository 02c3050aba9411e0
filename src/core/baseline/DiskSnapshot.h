#pragma once

#include "baseline/Snapshot.h"
#include "offline/MacDisk.h"

#include <cstdint>
#include <limits>
#include <vector>

namespace daemonary {

// Evidence is read once and compared with care: every program on a disk is
// hashed whatever its size, so none is judged by a stamp a copy can keep.
inline constexpr std::uint64_t kDiskProgramHashLimit =
    static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());

// The categories' records on a Mac's disk, every user's, fingerprinted from
// the files there and named as the Mac names them; nothing is run and
// nothing under the disk's root is written. The reference is the snapshot
// to be compared with, as for Snapshot::take.
Snapshot takeDiskSnapshot(const MacDisk& disk, const std::vector<LaunchScope>& scopes,
                          const Snapshot* reference = nullptr);

} // namespace daemonary
