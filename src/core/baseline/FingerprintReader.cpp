#include "baseline/FingerprintReader.h"

#include "baseline/Sha256.h"
#include "platform/FileSystem.h"
#include "plist/PlistJson.h"
#include "plist/PropertyList.h"
#include "signing/CodeSignatureReader.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace daemonary {

namespace {

// Entries older than this many are dropped at once rather than tracked.
constexpr std::size_t kMaxRememberedDigests = 50'000;
constexpr std::size_t kReadChunk = 256 * 1024;
// Status change times are kept at the kernel's tick, not to the nanosecond: a
// file changed again within the same tick keeps its stamp. A digest is only
// remembered once the file has been left alone for longer than any tick.
constexpr std::int64_t kRacyNanoseconds = 2'000'000'000;
// A definition is a few kilobytes; anything much larger is not kept parsed.
constexpr std::size_t kMaxParsedDefinitionBytes = 256 * 1024;

std::int64_t nanoseconds(const struct timespec& time) {
    return static_cast<std::int64_t>(time.tv_sec) * 1'000'000'000 +
           static_cast<std::int64_t>(time.tv_nsec);
}

const struct timespec& modifiedTime(const struct stat& info) {
#if defined(__APPLE__)
    return info.st_mtimespec;
#else
    return info.st_mtim;
#endif
}

const struct timespec& changedTime(const struct stat& info) {
#if defined(__APPLE__)
    return info.st_ctimespec;
#else
    return info.st_ctim;
#endif
}

FileStamp stampOf(const struct stat& info) {
    FileStamp stamp;
    stamp.size = info.st_size < 0 ? 0 : static_cast<std::uint64_t>(info.st_size);
    stamp.modified = static_cast<std::int64_t>(modifiedTime(info).tv_sec);
    stamp.inode = static_cast<std::uint64_t>(info.st_ino);
    stamp.changedNanoseconds = nanoseconds(changedTime(info));
    return stamp;
}

bool sameVersion(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           nanoseconds(modifiedTime(a)) == nanoseconds(modifiedTime(b)) &&
           nanoseconds(changedTime(a)) == nanoseconds(changedTime(b));
}

bool isRegularFile(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

std::size_t nesting(const nlohmann::json& value) {
    std::size_t deepest = 0;
    if (value.is_structured()) {
        for (const auto& member : value) {
            deepest = std::max(deepest, nesting(member));
        }
        return deepest + 1;
    }
    return 0;
}

std::optional<nlohmann::json> definitionOf(const std::optional<PlistValue>& parsed) {
    if (!parsed || parsed->dictionary() == nullptr) {
        return std::nullopt;
    }
    nlohmann::json json(toJson(*parsed));
    if (nesting(json) > Fingerprint::kMaxDefinitionNesting ||
        json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace).size() >
            Fingerprint::kMaxDefinitionJsonBytes) {
        return std::nullopt;
    }
    return json;
}

std::optional<PlistValue> parsedDefinition(const std::string& bytes) {
    if (bytes.size() > kMaxParsedDefinitionBytes) {
        return std::nullopt;
    }
    return parsePropertyList(bytes);
}

// A bundle keeps its information in Contents/Info.plist; flat bundles and
// startup items keep their own property list at the top.
struct InformationFile {
    std::string path;
    std::string directory; // where CFBundleExecutable is looked up
};

std::optional<InformationFile> informationFile(const std::string& folder) {
    const std::string contents = appendPathComponent(folder, "Contents");
    const std::array candidates = {
        InformationFile{appendPathComponent(contents, "Info.plist"),
                        appendPathComponent(contents, "MacOS")},
        InformationFile{appendPathComponent(folder, "Info.plist"), folder},
        InformationFile{appendPathComponent(folder, "StartupParameters.plist"), folder},
    };
    for (const InformationFile& candidate : candidates) {
        if (isRegularFile(candidate.path)) {
            return candidate;
        }
    }
    return std::nullopt;
}

std::optional<std::string> bundleExecutable(const std::optional<PlistValue>& information,
                                            const std::string& directory) {
    if (!information || information->dictionary() == nullptr) {
        return std::nullopt;
    }
    const auto found = information->dictionary()->find("CFBundleExecutable");
    if (found == information->dictionary()->end() || found->second.string() == nullptr ||
        found->second.string()->empty() || found->second.string()->find('/') != std::string::npos) {
        return std::nullopt;
    }
    return appendPathComponent(directory, *found->second.string());
}

} // namespace

FingerprintReader::FingerprintReader(HostLayout layout, std::uint64_t programHashLimit)
    : m_layout(std::move(layout)), m_programHashLimit(programHashLimit) {}

void FingerprintReader::readProgram(const std::string& program, Fingerprint& fingerprint) {
    fingerprint.executable = program;
    // Through a link, a program may lie anywhere; only the host's are read.
    const std::optional<std::string> onHost = m_layout.insideHost(program);
    if (!onHost) {
        return;
    }
    const std::string& path = *onHost;
    struct stat before {};
    if (::stat(path.c_str(), &before) != 0 || !S_ISREG(before.st_mode)) {
        return;
    }
    fingerprint.executableStamp = stampOf(before);
    auto cdHashes = CodeSignatureReader::readCdHashes(path);
    struct stat signatureRead {};
    if (::stat(path.c_str(), &signatureRead) == 0 && sameVersion(before, signatureRead)) {
        fingerprint.cdHashes = std::move(cdHashes);
    }
    if (fingerprint.executableStamp->size > m_programHashLimit) {
        return;
    }
    const Identity identity{static_cast<std::uint64_t>(before.st_dev),
                            static_cast<std::uint64_t>(before.st_ino),
                            fingerprint.executableStamp->size, nanoseconds(modifiedTime(before)),
                            nanoseconds(changedTime(before))};
    const auto key = std::make_pair(path, identity);
    {
        std::lock_guard lock(m_mutex);
        if (const auto found = m_digests.find(key); found != m_digests.end()) {
            fingerprint.programSha256 = found->second;
            return;
        }
    }

    // Non-blocking open: a FIFO put where the program was must not hang the
    // listing. What is read must be the file that was stamped.
    const int descriptor = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (descriptor < 0) {
        return;
    }
    struct stat opened {};
    if (::fstat(descriptor, &opened) != 0 || !sameVersion(before, opened)) {
        ::close(descriptor);
        return;
    }
    Sha256 hash;
    std::string buffer(kReadChunk, '\0');
    std::uint64_t total = 0;
    bool failed = false;
    while (total <= m_programHashLimit) {
        const ssize_t count = ::read(descriptor, buffer.data(), buffer.size());
        if (count < 0) {
            if (errno == EINTR) {
                continue;
            }
            failed = true;
            break;
        }
        if (count == 0) {
            break;
        }
        total += static_cast<std::uint64_t>(count);
        hash.update(std::string_view(buffer.data(), static_cast<std::size_t>(count)));
    }
    struct stat after {};
    // Written to while it was read: the digest is of no version; the stamp
    // taken first stands.
    const bool unchanged = ::fstat(descriptor, &after) == 0 && sameVersion(before, after) &&
                           total == fingerprint.executableStamp->size;
    ::close(descriptor);
    if (failed || !unchanged) {
        return;
    }
    fingerprint.programSha256 = Sha256::toHex(hash.finish());
    struct timespec now {};
    ::clock_gettime(CLOCK_REALTIME, &now);
    if (nanoseconds(changedTime(after)) > nanoseconds(now) - kRacyNanoseconds) {
        return;
    }
    std::lock_guard lock(m_mutex);
    if (m_digests.size() >= kMaxRememberedDigests) {
        m_digests.clear();
    }
    m_digests.emplace(key, *fingerprint.programSha256);
}

Fingerprint FingerprintReader::read(const LaunchItem& item, const KnownDefinitions* known) {
    Fingerprint fingerprint;
    if (!item.path || item.path->empty()) {
        return fingerprint;
    }
    // The script or program an interpreter or launcher runs is the program;
    // inline code is in the definition, and the interpreter stands in.
    const std::optional<std::string>& named =
        item.runs && item.runs->path ? item.runs->path : item.executablePath;
    const std::optional<std::string> program =
        named && !named->empty() ? m_layout.insideHost(*named) : std::nullopt;
    const std::optional<std::string> onHost = m_layout.insideHost(*item.path);
    if (!onHost) {
        fingerprint.kind = Fingerprint::Kind::unreadable;
        return fingerprint;
    }
    const std::string& path = *onHost;
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        fingerprint.kind = Fingerprint::Kind::missing;
        return fingerprint;
    }
    if (S_ISDIR(info.st_mode)) {
        fingerprint.kind = Fingerprint::Kind::bundle;
        std::optional<std::string> executable;
        if (const auto information = informationFile(path);
            information && m_layout.insideHost(information->path)) {
            if (const auto bytes = readFile(information->path)) {
                fingerprint.sha256 = sha256Hex(*bytes);
                const auto parsed = parsedDefinition(*bytes);
                fingerprint.definition = definitionOf(parsed);
                executable = bundleExecutable(parsed, information->directory);
            }
        }
        // Without a declared executable, the program the record runs stands in.
        if (!executable && program && isRegularFile(*program)) {
            executable = program;
        }
        if (executable) {
            readProgram(*executable, fingerprint);
        }
        return fingerprint;
    }
    if (!S_ISREG(info.st_mode)) {
        fingerprint.kind = Fingerprint::Kind::unreadable;
        return fingerprint;
    }
    if (info.st_size >= 0 && static_cast<std::uint64_t>(info.st_size) > kMaxReadableFileBytes) {
        fingerprint.kind = Fingerprint::Kind::largeFile;
        fingerprint.stamp = stampOf(info);
    } else if (const auto bytes = readFile(path)) {
        fingerprint.kind = Fingerprint::Kind::file;
        fingerprint.sha256 = sha256Hex(*bytes);
        const auto found =
            known ? known->find(*fingerprint.sha256) : KnownDefinitions::const_iterator();
        if (known && found != known->end()) {
            fingerprint.definition = *found->second;
        } else {
            fingerprint.definition = definitionOf(parsedDefinition(*bytes));
        }
    } else {
        // It may also have grown past the limit since it was looked at.
        fingerprint.kind = Fingerprint::Kind::unreadable;
        return fingerprint;
    }
    // A record that is its own program (a helper tool) is covered by its hash.
    if (program && !(fingerprint.kind == Fingerprint::Kind::file && *program == path)) {
        readProgram(*program, fingerprint);
    }
    return fingerprint;
}

} // namespace daemonary
