#include "platform/ProcessMonitor.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/sysctl.h>
#include <sys/types.h>
#include <vector>

namespace daemonary {

namespace {

// The table can grow between the size query and the read; a few rounds with
// headroom ride that out instead of giving an empty snapshot.
constexpr int kAttempts = 4;

// p_comm is NUL-terminated within its fixed field; invalid UTF-8 is replaced
// with U+FFFD so names are always valid text.
std::string commandName(const char* field, std::size_t capacity) {
    std::size_t length = 0;
    while (length < capacity && field[length] != '\0') {
        ++length;
    }
    const auto* bytes = reinterpret_cast<const unsigned char*>(field);
    std::string name;
    name.reserve(length);
    std::size_t i = 0;
    while (i < length) {
        const unsigned char lead = bytes[i];
        std::size_t size = lead < 0x80             ? 1
                           : (lead & 0xE0) == 0xC0 ? 2
                           : (lead & 0xF0) == 0xE0 ? 3
                           : (lead & 0xF8) == 0xF0 ? 4
                                                   : 0;
        bool valid = size > 0 && i + size <= length;
        std::uint32_t codePoint = size == 1   ? lead
                                  : size == 2 ? lead & 0x1F
                                  : size == 3 ? lead & 0x0F
                                              : lead & 0x07;
        for (std::size_t k = 1; valid && k < size; ++k) {
            valid = (bytes[i + k] & 0xC0) == 0x80;
            codePoint = (codePoint << 6) | (bytes[i + k] & 0x3F);
        }
        static constexpr std::uint32_t kMinimum[] = {0, 0, 0x80, 0x800, 0x10000};
        if (valid && (codePoint < kMinimum[size] || codePoint > 0x10FFFF ||
                      (codePoint >= 0xD800 && codePoint <= 0xDFFF))) {
            valid = false;
        }
        if (valid) {
            name.append(field + i, size);
            i += size;
        } else {
            name += "\xEF\xBF\xBD";
            ++i;
        }
    }
    return name;
}

} // namespace

ProcessSnapshot ProcessMonitor::allProcesses() const {
    ProcessSnapshot snapshot;
    int name[4] = {CTL_KERN, KERN_PROC, KERN_PROC_ALL, 0};

    std::vector<kinfo_proc> records;
    std::size_t filledBytes = 0;
    bool read = false;
    for (int attempt = 0; attempt < kAttempts && !read; ++attempt) {
        std::size_t size = 0;
        if (::sysctl(name, 4, nullptr, &size, nullptr, 0) != 0) {
            return snapshot;
        }
        // Exact on the first round; after a table that outgrew its size query,
        // a quarter more so a little further growth still fits.
        std::size_t count = size / sizeof(kinfo_proc);
        if (attempt > 0) {
            count += count / 4 + 16;
        }
        records.assign(count, kinfo_proc{});
        filledBytes = count * sizeof(kinfo_proc);
        if (::sysctl(name, 4, records.data(), &filledBytes, nullptr, 0) == 0) {
            read = true;
        } else if (errno != ENOMEM) {
            return snapshot;
        }
    }
    if (!read) {
        return snapshot;
    }

    // Only the records the kernel actually filled.
    const std::size_t filled = std::min(records.size(), filledBytes / sizeof(kinfo_proc));
    for (std::size_t i = 0; i < filled; ++i) {
        const kinfo_proc& record = records[i];
        const pid_t pid = record.kp_proc.p_pid;
        if (pid == 0) {
            continue;
        }
        snapshot.insert_or_assign(
            pid, ProcessInfo{pid, commandName(record.kp_proc.p_comm, sizeof(record.kp_proc.p_comm)),
                             static_cast<std::uint32_t>(record.kp_eproc.e_ucred.cr_uid)});
    }
    return snapshot;
}

} // namespace daemonary
