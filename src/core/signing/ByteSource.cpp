#include "ByteSource.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace daemonary {

std::optional<std::string> MemoryByteSource::read(std::uint64_t offset, std::size_t length) const {
    if (offset > m_bytes.size() || length > m_bytes.size() - offset) {
        return std::nullopt;
    }
    return std::string(m_bytes.substr(static_cast<std::size_t>(offset), length));
}

std::unique_ptr<FileByteSource> FileByteSource::open(const std::string& path, std::string* error) {
    const int descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (descriptor < 0) {
        if (error) {
            *error = std::strerror(errno);
        }
        return nullptr;
    }
    struct stat status {};
    if (::fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode)) {
        if (error) {
            *error = "not a regular file";
        }
        ::close(descriptor);
        return nullptr;
    }
    return std::unique_ptr<FileByteSource>(
        new FileByteSource(descriptor, static_cast<std::uint64_t>(status.st_size)));
}

FileByteSource::~FileByteSource() {
    ::close(m_descriptor);
}

std::optional<std::string> FileByteSource::read(std::uint64_t offset, std::size_t length) const {
    if (offset > m_size || length > m_size - offset) {
        return std::nullopt;
    }
    std::string bytes(length, '\0');
    std::size_t done = 0;
    while (done < length) {
        const ssize_t got = ::pread(m_descriptor, bytes.data() + done, length - done,
                                    static_cast<off_t>(offset + done));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return std::nullopt;
        }
        done += static_cast<std::size_t>(got);
    }
    return bytes;
}

} // namespace daemonary
