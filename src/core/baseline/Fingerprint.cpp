#include "baseline/Fingerprint.h"

#include "baseline/Sha256.h"
#include "platform/FileSystem.h"
#include "plist/PropertyList.h"

#include <array>
#include <sys/stat.h>

namespace daemonary {

namespace {

std::optional<FileStamp> stampOf(const struct stat& info) {
    if (info.st_size < 0) {
        return std::nullopt;
    }
    return FileStamp{static_cast<std::uint64_t>(info.st_size),
                     static_cast<std::int64_t>(info.st_mtime)};
}

std::optional<FileStamp> regularFileStamp(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
        return std::nullopt;
    }
    return stampOf(info);
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
        if (regularFileStamp(candidate.path)) {
            return candidate;
        }
    }
    return std::nullopt;
}

std::optional<std::string> bundleExecutable(const std::string& informationBytes,
                                            const std::string& directory) {
    const auto information = parsePropertyList(informationBytes);
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

Fingerprint bundleFingerprint(const LaunchItem& item, const std::string& folder) {
    Fingerprint fingerprint;
    fingerprint.kind = Fingerprint::Kind::bundle;
    std::optional<std::string> executable;
    if (const auto information = informationFile(folder)) {
        if (const auto bytes = readFile(information->path)) {
            fingerprint.sha256 = sha256Hex(*bytes);
            executable = bundleExecutable(*bytes, information->directory);
        }
    }
    // Without a declared executable, the program the record runs stands in.
    if (!executable && item.executablePath && regularFileStamp(*item.executablePath)) {
        executable = item.executablePath;
    }
    if (executable) {
        if (const auto stamp = regularFileStamp(*executable)) {
            fingerprint.executable = executable;
            fingerprint.executableStamp = stamp;
        }
    }
    return fingerprint;
}

} // namespace

Fingerprint Fingerprint::of(const LaunchItem& item) {
    Fingerprint fingerprint;
    if (!item.path || item.path->empty()) {
        return fingerprint;
    }
    const std::string& path = *item.path;
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        fingerprint.kind = Kind::missing;
        return fingerprint;
    }
    if (S_ISDIR(info.st_mode)) {
        return bundleFingerprint(item, path);
    }
    if (!S_ISREG(info.st_mode)) {
        fingerprint.kind = Kind::unreadable;
        return fingerprint;
    }
    if (info.st_size >= 0 && static_cast<std::uint64_t>(info.st_size) > kMaxReadableFileBytes) {
        fingerprint.kind = Kind::largeFile;
        fingerprint.stamp = stampOf(info);
        return fingerprint;
    }
    const auto bytes = readFile(path);
    if (!bytes) {
        // It may also have grown past the limit since it was looked at.
        fingerprint.kind = Kind::unreadable;
        return fingerprint;
    }
    fingerprint.kind = Kind::file;
    fingerprint.sha256 = sha256Hex(*bytes);
    return fingerprint;
}

std::string_view toText(Fingerprint::Kind kind) {
    switch (kind) {
    case Fingerprint::Kind::none:
        return "none";
    case Fingerprint::Kind::file:
        return "file";
    case Fingerprint::Kind::largeFile:
        return "largeFile";
    case Fingerprint::Kind::bundle:
        return "bundle";
    case Fingerprint::Kind::missing:
        return "missing";
    case Fingerprint::Kind::unreadable:
        return "unreadable";
    }
    return "none";
}

std::optional<Fingerprint::Kind> fingerprintKindFromText(std::string_view text) {
    for (const auto kind :
         {Fingerprint::Kind::none, Fingerprint::Kind::file, Fingerprint::Kind::largeFile,
          Fingerprint::Kind::bundle, Fingerprint::Kind::missing, Fingerprint::Kind::unreadable}) {
        if (toText(kind) == text) {
            return kind;
        }
    }
    return std::nullopt;
}

} // namespace daemonary
