#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace daemonary {

struct ProcessInfo {
    std::int32_t pid = 0;
    std::string name; // the kernel's short command name
    std::uint32_t uid = 0;
    bool operator==(const ProcessInfo&) const = default;
};

// Keyed and ordered by pid; never contains pid 0.
using ProcessSnapshot = std::map<std::int32_t, ProcessInfo>;

// Where process snapshots come from; injectable so the status pass can be
// tested against a fixed snapshot.
class ProcessSource {
public:
    virtual ~ProcessSource() = default;
    virtual ProcessSnapshot allProcesses() const = 0;
};

// The live process table: sysctl on macOS, /proc on Linux.
class ProcessMonitor final : public ProcessSource {
public:
    ProcessSnapshot allProcesses() const override;
};

} // namespace daemonary
