#include "platform/FileIdentity.h"

#include <sys/stat.h>

namespace daemonary {

namespace {

std::int64_t nanoseconds(const timespec& time) {
    return static_cast<std::int64_t>(time.tv_sec) * 1'000'000'000 +
           static_cast<std::int64_t>(time.tv_nsec);
}

} // namespace

std::optional<FileIdentity> fileIdentity(const std::string& path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) {
        return std::nullopt;
    }
#if defined(__APPLE__)
    const auto& modified = status.st_mtimespec;
    const auto& changed = status.st_ctimespec;
#else
    const auto& modified = status.st_mtim;
    const auto& changed = status.st_ctim;
#endif
    return FileIdentity{static_cast<std::int64_t>(status.st_size), nanoseconds(modified),
                        static_cast<std::int64_t>(status.st_ino), nanoseconds(changed)};
}

} // namespace daemonary
