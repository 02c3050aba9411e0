#include "StateStore.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace daemonary::hostsim {

namespace {

std::string errnoText(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

bool makeDirectory(const std::string& path, std::string& error) {
    if (::mkdir(path.c_str(), 0755) == 0 || errno == EEXIST)
        return true;
    error = errnoText(path);
    return false;
}

// Nothing when the file does not exist; an error text when it cannot be read.
std::optional<std::string> readWhole(const std::string& path, std::string& error) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno != ENOENT)
            error = errnoText(path);
        return std::nullopt;
    }
    std::string bytes;
    char buffer[65536];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            error = errnoText(path);
            ::close(fd);
            return std::nullopt;
        }
        if (n == 0)
            break;
        bytes.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return bytes;
}

bool writeWhole(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

} // namespace

OpenedStateStore StateStore::open(const HostContext& host, Access access) {
    OpenedStateStore result;
    struct stat info {};
    if (::stat(host.root().c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        result.error = "no simulated host at " + host.root();
        return result;
    }
    const std::string directory = host.stateDirectory();
    const std::string exits = directory + "/exits";
    if (!makeDirectory(directory, result.error) || !makeDirectory(exits, result.error))
        return result;

    const std::string lockPath = directory + "/lock";
    int fd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        result.error = errnoText(lockPath);
        return result;
    }
    const int operation = access == Access::exclusive ? LOCK_EX : LOCK_SH;
    while (::flock(fd, operation) != 0) {
        if (errno != EINTR) {
            result.error = errnoText(lockPath);
            ::close(fd);
            return result;
        }
    }

    const std::string statePath = directory + "/state.json";
    HostState state;
    if (auto text = readWhole(statePath, result.error)) {
        auto parsed = hostStateFromJson(*text);
        if (!parsed.state) {
            result.error = statePath + ": " + parsed.error;
            ::close(fd);
            return result;
        }
        state = std::move(*parsed.state);
    } else if (!result.error.empty()) {
        ::close(fd);
        return result;
    }
    result.store.emplace(StateStore(fd, statePath, exits, std::move(state)));
    return result;
}

StateStore::StateStore(int lockFd, std::string statePath, std::string exitDirectory,
                       HostState state)
    : m_lockFd(lockFd), m_statePath(std::move(statePath)),
      m_exitDirectory(std::move(exitDirectory)), m_loaded(state), m_state(std::move(state)) {}

StateStore::StateStore(StateStore&& other) noexcept
    : m_lockFd(other.m_lockFd), m_statePath(std::move(other.m_statePath)),
      m_exitDirectory(std::move(other.m_exitDirectory)), m_loaded(std::move(other.m_loaded)),
      m_state(std::move(other.m_state)) {
    other.m_lockFd = -1;
}

StateStore::~StateStore() {
    if (m_lockFd >= 0)
        ::close(m_lockFd);
}

bool StateStore::save(std::string& error) {
    if (m_state == m_loaded)
        return true;
    const std::string temporary = m_statePath + ".tmp." + std::to_string(::getpid());
    int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = errnoText(temporary);
        return false;
    }
    const bool written = writeWhole(fd, hostStateToJson(m_state));
    if (::close(fd) != 0 || !written) {
        error = errnoText(temporary);
        ::unlink(temporary.c_str());
        return false;
    }
    if (::rename(temporary.c_str(), m_statePath.c_str()) != 0) {
        error = errnoText(m_statePath);
        ::unlink(temporary.c_str());
        return false;
    }
    m_loaded = m_state;
    return true;
}

} // namespace daemonary::hostsim
