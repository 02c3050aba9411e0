#pragma once

#include "HostContext.h"
#include "HostState.h"

#include <optional>
#include <string>

namespace daemonary::hostsim {

struct OpenedStateStore;

// The host's state file, held under an flock for the life of the object so
// that concurrent tool runs (the GUI runs several at once) see each other's
// changes whole. Writes go through a temporary file and rename.
class StateStore {
public:
    enum class Access { shared, exclusive };

    static OpenedStateStore open(const HostContext& host, Access access);

    StateStore(StateStore&& other) noexcept;
    StateStore& operator=(StateStore&&) = delete;
    StateStore(const StateStore&) = delete;
    StateStore& operator=(const StateStore&) = delete;
    ~StateStore();

    HostState& state() { return m_state; }
    const std::string& exitDirectory() const { return m_exitDirectory; }

    // Writes the state when it changed since it was read. False with a
    // message when it could not be written.
    bool save(std::string& error);

private:
    StateStore(int lockFd, std::string statePath, std::string exitDirectory, HostState state);

    int m_lockFd = -1;
    std::string m_statePath;
    std::string m_exitDirectory;
    HostState m_loaded;
    HostState m_state;
};

struct OpenedStateStore {
    std::optional<StateStore> store;
    std::string error;
};

} // namespace daemonary::hostsim
