#include "insight/SignerCache.h"

#include "platform/FileSystem.h"
#include "platform/Log.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace daemonary {

namespace {

bool writeAll(int fd, const std::string& bytes) {
    std::size_t written = 0;
    while (written < bytes.size()) {
        const ssize_t count = ::write(fd, bytes.data() + written, bytes.size() - written);
        if (count < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        written += static_cast<std::size_t>(count);
    }
    return true;
}

void logIgnored(const std::string& file, const std::string& why) {
    Log::line("SignerCache: ignoring " + file + ": " + why);
}

constexpr int kUnstampedVersion = 1;

nlohmann::ordered_json toJson(const FileIdentity& stamp) {
    return nlohmann::ordered_json::array({stamp.size, stamp.modified, stamp.inode, stamp.changed});
}

std::optional<FileIdentity> identityFromJson(const nlohmann::json& value) {
    if (!value.is_array() || value.size() != 4) {
        return std::nullopt;
    }
    for (const nlohmann::json& number : value) {
        if (!number.is_number_integer()) {
            return std::nullopt;
        }
    }
    return FileIdentity{value[0].get<std::int64_t>(), value[1].get<std::int64_t>(),
                        value[2].get<std::int64_t>(), value[3].get<std::int64_t>()};
}

// [target, bundle parts...]
std::optional<SignerStamp> stampFromJson(const nlohmann::json& value) {
    if (!value.is_array() || value.empty()) {
        return std::nullopt;
    }
    SignerStamp stamp;
    for (std::size_t i = 0; i < value.size(); ++i) {
        auto file = identityFromJson(value[i]);
        if (!file) {
            return std::nullopt;
        }
        if (i == 0) {
            stamp.target = *file;
        } else {
            stamp.bundleParts.push_back(*file);
        }
    }
    return stamp;
}

} // namespace

std::optional<CachedSigner> SignerCache::lookup(const std::string& target,
                                                const SignerStamp& stamp) const {
    const std::lock_guard lock(m_mutex);
    const auto found = m_entries.find(target);
    if (found == m_entries.end() || found->second.stamp != stamp) {
        return std::nullopt;
    }
    found->second.used = true;
    return CachedSigner{found->second.signer, found->second.proven};
}

void SignerCache::store(const std::string& target, const SignerStamp& stamp, const Signer& signer) {
    // A verdict on other code than the stamp names would be kept for the
    // wrong file.
    if (!isCacheable(signer) || signer.cdHashes != stamp.cdHashes) {
        return;
    }
    const std::lock_guard lock(m_mutex);
    m_entries[target] = Entry{stamp, signer, true, true};
}

std::size_t SignerCache::size() const {
    const std::lock_guard lock(m_mutex);
    return m_entries.size();
}

bool SignerCache::isCacheable(const Signer& signer) {
    return signer.kind != SignerKind::unknown && signer.kind != SignerKind::missing &&
           !signer.readFromFile;
}

bool SignerCache::load(const std::string& file) {
    std::map<std::string, Entry> entries;
    const auto finish = [&](bool ok) {
        const std::lock_guard lock(m_mutex);
        m_entries = ok ? std::move(entries) : std::map<std::string, Entry>();
        return ok;
    };
    struct stat status {};
    if (::lstat(file.c_str(), &status) != 0 && errno == ENOENT) {
        return finish(true);
    }
    const auto bytes = readFile(file, kMaxFileBytes);
    if (!bytes) {
        logIgnored(file, "not a readable regular file of at most " + std::to_string(kMaxFileBytes) +
                             " bytes");
        return finish(false);
    }
    const nlohmann::json document = nlohmann::json::parse(*bytes, nullptr, false);
    if (document.is_discarded() || !document.is_object()) {
        logIgnored(file, "not a JSON object");
        return finish(false);
    }
    const auto version = document.find("version");
    // An older release's cache is ours, only too weakly stamped to use.
    if (version != document.end() && version->is_number_integer() &&
        version->get<int>() == kUnstampedVersion) {
        return finish(true);
    }
    if (version == document.end() || !version->is_number_integer() ||
        version->get<int>() != kFormatVersion) {
        logIgnored(file, "unknown version");
        return finish(false);
    }
    const auto list = document.find("entries");
    if (list == document.end() || !list->is_array()) {
        logIgnored(file, "no entries array");
        return finish(false);
    }
    for (const nlohmann::json& entry : *list) {
        const auto path = entry.is_object() ? entry.find("path") : entry.end();
        const auto stamp = entry.is_object() ? entry.find("stamp") : entry.end();
        const auto signer = entry.is_object() ? entry.find("signer") : entry.end();
        std::optional<SignerStamp> decodedStamp;
        if (entry.is_object() && stamp != entry.end()) {
            decodedStamp = stampFromJson(*stamp);
        }
        if (!entry.is_object() || path == entry.end() || !path->is_string() || !decodedStamp ||
            signer == entry.end()) {
            logIgnored(file, "an entry is not a path, stamp and signer");
            return finish(false);
        }
        auto decoded = signerFromJson(*signer);
        if (!decoded || !isCacheable(*decoded)) {
            logIgnored(file, "an entry's signer cannot be read");
            return finish(false);
        }
        // The stamp's CDHashes are the verdict's: store keeps no other.
        decodedStamp->cdHashes = decoded->cdHashes;
        if (const auto contents = entry.find("contents"); contents != entry.end()) {
            if (!contents->is_string()) {
                logIgnored(file, "an entry's contents stamp is not text");
                return finish(false);
            }
            decodedStamp->contents = contents->get<std::string>();
        }
        entries[path->get<std::string>()] =
            Entry{std::move(*decodedStamp), std::move(*decoded), false, false};
    }
    return finish(true);
}

bool SignerCache::save(const std::string& file) const {
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    {
        const std::lock_guard lock(m_mutex);
        for (const auto& [path, entry] : m_entries) {
            if (!entry.used) {
                continue;
            }
            nlohmann::ordered_json object = nlohmann::ordered_json::object();
            object["path"] = path;
            nlohmann::ordered_json stamp = nlohmann::ordered_json::array();
            stamp.push_back(toJson(entry.stamp.target));
            for (const FileIdentity& part : entry.stamp.bundleParts) {
                stamp.push_back(toJson(part));
            }
            object["stamp"] = std::move(stamp);
            if (!entry.stamp.contents.empty()) {
                object["contents"] = entry.stamp.contents;
            }
            object["signer"] = toJson(entry.signer);
            list.push_back(std::move(object));
        }
    }
    nlohmann::ordered_json document = nlohmann::ordered_json::object();
    document["version"] = kFormatVersion;
    document["entries"] = std::move(list);
    const std::string bytes =
        document.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";

    // A reader never sees a half-written file: the whole text goes to a
    // temporary file beside it, which then replaces the old one.
    std::string temporary = file + ".XXXXXX";
    const int fd = ::mkstemp(temporary.data());
    if (fd < 0) {
        Log::line("SignerCache: cannot write " + file + ": " + std::strerror(errno));
        return false;
    }
    const bool written = writeAll(fd, bytes) && ::fsync(fd) == 0;
    const int savedErrno = errno;
    ::close(fd);
    if (!written || ::rename(temporary.c_str(), file.c_str()) != 0) {
        Log::line("SignerCache: cannot write " + file + ": " +
                  std::strerror(written ? errno : savedErrno));
        ::unlink(temporary.c_str());
        return false;
    }
    return true;
}

} // namespace daemonary
