#include "platform/FileSystem.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <random>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace daemonary {

namespace {

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : m_fd(fd) {}
    ~FileDescriptor() {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return m_fd; }

private:
    int m_fd;
};

// A new file "<prefix>.XXXXXX" (six random letters or digits), created with
// mode 0666 so that the process's umask gives it the usual permissions: a
// baseline is no secret, and mkstemp's 0600 would need the umask read, which
// cannot be done without changing it for every thread. -1 with errno set when
// no name could be taken.
int createTemporaryFile(const std::string& prefix, std::string& path) {
    static constexpr std::string_view kLetters =
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    thread_local std::mt19937_64 random{std::random_device{}()};
    for (int attempt = 0; attempt < 100; ++attempt) {
        path = prefix + ".";
        for (int i = 0; i < 6; ++i) {
            path.push_back(kLetters[random() % kLetters.size()]);
        }
        const int fd =
            ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST) {
            return fd;
        }
    }
    errno = EEXIST;
    return -1;
}

enum class OpenResult { opened, missing, notRegularFile, unreadable };

// Only a regular file is opened: the path is checked first so a FIFO or a
// device (some have side effects on open) is never opened at all, then
// O_NONBLOCK keeps a FIFO swapped in meanwhile from hanging the open, and the
// descriptor itself is checked before anything is read.
OpenResult openRegularFile(const std::string& path, int& fd, struct stat& info) {
    if (::stat(path.c_str(), &info) != 0) {
        return errno == ENOENT || errno == ENOTDIR ? OpenResult::missing : OpenResult::unreadable;
    }
    if (!S_ISREG(info.st_mode)) {
        return OpenResult::notRegularFile;
    }
    do {
        fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        return errno == ENOENT ? OpenResult::missing : OpenResult::unreadable;
    }
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        fd = -1;
        return OpenResult::notRegularFile;
    }
    return OpenResult::opened;
}

} // namespace

std::optional<std::vector<std::string>> listDirectory(const std::string& path) {
    DIR* directory = ::opendir(path.c_str());
    if (!directory) {
        return std::nullopt;
    }
    std::vector<std::string> names;
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(directory);
        if (!entry) {
            if (errno != 0) {
                ::closedir(directory);
                return std::nullopt;
            }
            break;
        }
        const std::string_view name(entry->d_name);
        if (name == "." || name == "..") {
            continue;
        }
        names.emplace_back(name);
    }
    ::closedir(directory);
    // std::string compares by char; compare as unsigned bytes so names with
    // high bytes sort after ASCII on every platform.
    std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
        const int order = std::memcmp(a.data(), b.data(), std::min(a.size(), b.size()));
        return order != 0 ? order < 0 : a.size() < b.size();
    });
    return names;
}

std::optional<std::string> readFile(const std::string& path, std::size_t maxBytes) {
    auto read = readRegularFile(path, maxBytes);
    if (auto* contents = std::get_if<std::string>(&read)) {
        return std::move(*contents);
    }
    return std::nullopt;
}

std::variant<std::string, FileReadError> readRegularFile(const std::string& path,
                                                         std::size_t maxBytes) {
    int fd = -1;
    struct stat info {};
    switch (openRegularFile(path, fd, info)) {
    case OpenResult::opened:
        break;
    case OpenResult::missing:
        return FileReadError::missing;
    case OpenResult::notRegularFile:
        return FileReadError::notRegularFile;
    case OpenResult::unreadable:
        return FileReadError::unreadable;
    }
    const FileDescriptor file(fd);
    if (info.st_size < 0 || static_cast<std::uint64_t>(info.st_size) > maxBytes) {
        return FileReadError::tooLarge;
    }

    std::string contents;
    contents.reserve(static_cast<std::size_t>(info.st_size));
    char buffer[65536];
    for (;;) {
        const ssize_t count = ::read(fd, buffer, sizeof buffer);
        if (count < 0) {
            if (errno == EINTR) {
                continue;
            }
            return FileReadError::unreadable;
        }
        if (count == 0) {
            break;
        }
        // The file may grow while it is read; the limit holds regardless.
        if (contents.size() + static_cast<std::size_t>(count) > maxBytes) {
            return FileReadError::tooLarge;
        }
        contents.append(buffer, static_cast<std::size_t>(count));
    }
    return contents;
}

std::variant<FileTail, FileTailError> readFileTail(const std::string& path, std::size_t maxBytes) {
    int fd = -1;
    struct stat info {};
    switch (openRegularFile(path, fd, info)) {
    case OpenResult::opened:
        break;
    case OpenResult::missing:
        return FileTailError::missing;
    case OpenResult::notRegularFile:
        return FileTailError::notRegularFile;
    case OpenResult::unreadable:
        return FileTailError::unreadable;
    }
    const FileDescriptor file(fd);

    FileTail tail;
    tail.size = info.st_size > 0 ? static_cast<std::uint64_t>(info.st_size) : 0;
#ifdef __APPLE__
    tail.modifiedSeconds = static_cast<std::int64_t>(info.st_mtimespec.tv_sec);
#else
    tail.modifiedSeconds = static_cast<std::int64_t>(info.st_mtim.tv_sec);
#endif
    const std::uint64_t start = tail.size > maxBytes ? tail.size - maxBytes : 0;
    tail.fromStart = start == 0;
    // A file that shrinks meanwhile gives a shorter read, never more.
    tail.bytes.resize(static_cast<std::size_t>(tail.size - start));
    std::size_t filled = 0;
    while (filled < tail.bytes.size()) {
        const ssize_t count = ::pread(fd, tail.bytes.data() + filled, tail.bytes.size() - filled,
                                      static_cast<off_t>(start + filled));
        if (count < 0) {
            if (errno == EINTR) {
                continue;
            }
            return FileTailError::unreadable;
        }
        if (count == 0) {
            break;
        }
        filled += static_cast<std::size_t>(count);
    }
    tail.bytes.resize(filled);
    return tail;
}

std::optional<std::string> writeFileAtomically(const std::string& path, std::string_view contents,
                                               RenameFunction rename) {
    const auto failure = [](const std::string& step) { return step + ": " + std::strerror(errno); };
    const std::string_view name = lastPathComponent(path);
    const std::string_view folder =
        name.size() < path.size() ? std::string_view(path).substr(0, path.size() - name.size())
                                  : std::string_view("./");
    // Hidden, so a folder listing does not show it while it is written.
    std::string temporary;
    const int fd = createTemporaryFile(std::string(folder) + "." + std::string(name), temporary);
    if (fd < 0) {
        return failure("cannot create a temporary file in " + std::string(folder));
    }
    const FileDescriptor file(fd);
    const auto abandon = [&](const std::string& step) {
        std::string reason = failure(step);
        ::unlink(temporary.c_str());
        return reason;
    };
    std::size_t written = 0;
    while (written < contents.size()) {
        const ssize_t count = ::write(fd, contents.data() + written, contents.size() - written);
        if (count < 0) {
            if (errno == EINTR) {
                continue;
            }
            return abandon("cannot write " + temporary);
        }
        written += static_cast<std::size_t>(count);
    }
    if (::fsync(fd) != 0) {
        return abandon("cannot flush " + temporary);
    }
    if ((rename != nullptr ? rename : &::rename)(temporary.c_str(), path.c_str()) != 0) {
        return abandon("cannot replace " + path);
    }
    // The rename itself is durable once the folder is flushed; a folder that
    // refuses fsync still has the complete file.
    const int directory = ::open(std::string(folder).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directory >= 0) {
        ::fsync(directory);
        ::close(directory);
    }
    return std::nullopt;
}

bool pathExists(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0;
}

bool isDirectory(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

std::string appendPathComponent(std::string_view directory, std::string_view name) {
    std::string result(directory);
    if (result.empty()) {
        result.append(name);
        return result;
    }
    while (!name.empty() && name.front() == '/') {
        name.remove_prefix(1);
    }
    if (result.back() != '/') {
        result.push_back('/');
    }
    result.append(name);
    return result;
}

std::string_view lastPathComponent(std::string_view path) {
    // Like the platform's path APIs, a trailing "/" does not make an empty
    // last component; "/" itself stays "/".
    while (path.size() > 1 && path.back() == '/') {
        path.remove_suffix(1);
    }
    if (path == "/") {
        return path;
    }
    const auto slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

std::string_view pathExtension(std::string_view path) {
    const std::string_view name = lastPathComponent(path);
    const auto dot = name.rfind('.');
    // A leading dot (".profile") names a hidden file, not an extension.
    if (dot == std::string_view::npos || dot == 0) {
        return {};
    }
    return name.substr(dot + 1);
}

std::string_view deletingPathExtension(std::string_view name) {
    const std::string_view extension = pathExtension(name);
    if (extension.empty()) {
        return name;
    }
    const std::string_view last = lastPathComponent(name);
    const std::size_t end = static_cast<std::size_t>(last.data() - name.data()) + last.size();
    return name.substr(0, end - extension.size() - 1);
}

} // namespace daemonary
