#include "CodeSignatureReader.h"

#include "BundleSeal.h"
#include "CmsSignature.h"
#include "CodeDirectory.h"
#include "EmbeddedSignature.h"
#include "MachOLayout.h"
#include "plist/PropertyList.h"

#include <algorithm>
#include <filesystem>

namespace daemonary {

namespace {

// The largest real signatures (a CodeDirectory per hash type for a
// gigabyte of code) stay far below this; a header saying more is hostile.
constexpr std::uint64_t kMaxSignatureBytes = 64u << 20;

std::string hex(std::string_view bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    for (const char byte : bytes) {
        const auto value = static_cast<unsigned char>(byte);
        text += kDigits[value >> 4];
        text += kDigits[value & 0xf];
    }
    return text;
}

std::string hashTypeName(std::uint8_t hashType) {
    switch (hashType) {
    case 1:
        return "SHA-1";
    case 4:
        return "SHA-384";
    default:
        return "SHA-256";
    }
}

struct SliceVerdict {
    SigningClass signingClass = SigningClass::unsignedCode;
    std::string reason;
    std::string cdHash;
    std::string identifier;
    bool hardenedRuntime = false;
    CmsVerdict cms;
};

std::optional<std::string> checkSpecialSlot(const CodeDirectory& directory, std::uint32_t slot,
                                            const std::optional<std::string_view>& bytes) {
    const auto hash = directory.specialSlot(slot);
    const std::string name(specialSlotName(slot));
    if (!bytes && hash) {
        return "special slot " + std::to_string(slot) + " (" + name +
               ") binds data that is missing";
    }
    if (bytes && !hash) {
        return "the " + name + " are not bound by special slot " + std::to_string(slot);
    }
    if (bytes && directory.digest(*bytes) != *hash) {
        return "special slot " + std::to_string(slot) + " (" + name + ") does not match";
    }
    return std::nullopt;
}

SliceVerdict invalidSlice(std::string reason) {
    SliceVerdict verdict;
    verdict.signingClass = SigningClass::invalid;
    verdict.reason = std::move(reason);
    return verdict;
}

// The bytes of a signed slice's SuperBlob, or nothing with the reason.
std::optional<std::string> signatureBytes(const ByteSource& source, const MachOSlice& slice,
                                          std::string* error) {
    if (slice.signature->size > kMaxSignatureBytes) {
        *error = "the signature claims " + std::to_string(slice.signature->size) + " bytes";
        return std::nullopt;
    }
    auto bytes = source.read(slice.offset + slice.signature->offset,
                             static_cast<std::size_t>(slice.signature->size));
    if (!bytes) {
        *error = "the signature lies past the end of the file";
    }
    return bytes;
}

// The SuperBlob's CodeDirectories, each checked to cover the slice up to
// its signature; nothing with the reason when one cannot be believed.
std::optional<std::vector<CodeDirectory>>
codeDirectories(const EmbeddedSignature& signature, const MachOSlice& slice, std::string* error) {
    std::vector<CodeDirectory> directories;
    for (const std::string_view blob : signature.codeDirectories) {
        auto directory = CodeDirectory::parse(blob, slice.size, error);
        if (!directory) {
            return std::nullopt;
        }
        // Bytes between the code limit and the signature would be covered
        // by no hash.
        if (directory->codeLimit() != slice.signature->offset) {
            *error = "the code limit does not reach the signature";
            return std::nullopt;
        }
        directories.push_back(std::move(*directory));
    }
    return directories;
}

// The SHA-256 CodeDirectory's CDHash, as the system names code; else the
// last (strongest) one's.
std::string preferredCdHash(const std::vector<CodeDirectory>& directories) {
    const auto strongest = std::find_if(directories.begin(), directories.end(),
                                        [](const CodeDirectory& d) { return d.hashType() == 2; });
    return hex((strongest != directories.end() ? *strongest : directories.back()).cdHash());
}

SliceVerdict readSlice(const ByteSource& source, const MachOSlice& slice,
                       const CodeSignatureReader::BoundFiles& bound) {
    SliceVerdict verdict;
    if (!slice.signature) {
        verdict.reason = "not signed";
        return verdict;
    }
    std::string error;
    const auto bytes = signatureBytes(source, slice, &error);
    if (!bytes) {
        return invalidSlice(error);
    }
    const auto signature = EmbeddedSignature::parse(*bytes, &error);
    if (!signature) {
        return invalidSlice(error);
    }
    auto parsed = codeDirectories(*signature, slice, &error);
    if (!parsed) {
        return invalidSlice(error);
    }
    const std::vector<CodeDirectory>& directories = *parsed;
    const auto view =
        [](const std::optional<std::string>& text) -> std::optional<std::string_view> {
        if (!text) {
            return std::nullopt;
        }
        return std::string_view(*text);
    };
    for (const CodeDirectory& directory : directories) {
        if (auto page = directory.firstBadPage(source, slice.offset)) {
            return invalidSlice("page " + std::to_string(*page) + " does not match its hash (" +
                                hashTypeName(directory.hashType()) + " CodeDirectory)");
        }
        for (const auto& [slot, blob] :
             {std::pair{SpecialSlot::requirements, signature->requirements},
              std::pair{SpecialSlot::entitlements, signature->entitlements},
              std::pair{SpecialSlot::derEntitlements, signature->derEntitlements}}) {
            if (auto problem =
                    checkSpecialSlot(directory, static_cast<std::uint32_t>(slot), blob)) {
                return invalidSlice(*problem);
            }
        }
        if (bound.infoPlist || bound.codeResources) {
            for (const auto& [slot, file] :
                 {std::pair{SpecialSlot::infoPlist, view(bound.infoPlist)},
                  std::pair{SpecialSlot::resourceDirectory, view(bound.codeResources)}}) {
                if (auto problem =
                        checkSpecialSlot(directory, static_cast<std::uint32_t>(slot), file)) {
                    return invalidSlice(*problem);
                }
            }
        }
    }

    const CodeDirectory& primary = directories.front();
    verdict.cdHash = preferredCdHash(directories);
    verdict.identifier = primary.identifier();
    verdict.hardenedRuntime = (primary.flags() & CodeDirectory::kFlagRuntime) != 0;

    if (!signature->cms || signature->cms->empty()) {
        verdict.signingClass = SigningClass::adHoc;
        return verdict;
    }
    verdict.cms = verifyCmsSignature(*signature->cms, primary.blob());
    if (verdict.cms.signingClass == SigningClass::invalid) {
        return invalidSlice(verdict.cms.reason);
    }
    // The CMS signs the primary CodeDirectory only; alternates count when
    // the signed CDHashes attribute lists them.
    if (verdict.cms.signedCdHashes) {
        for (const CodeDirectory& directory : directories) {
            const auto& listed = *verdict.cms.signedCdHashes;
            if (std::find(listed.begin(), listed.end(), directory.cdHash()) == listed.end()) {
                return invalidSlice("a CodeDirectory is not among the signed CDHashes");
            }
        }
    } else if (directories.size() > 1) {
        return invalidSlice("an alternate CodeDirectory is not bound by the signature");
    }
    if (!primary.teamIdentifier().empty() && !verdict.cms.teamIdentifier.empty() &&
        primary.teamIdentifier() != verdict.cms.teamIdentifier) {
        return invalidSlice("the CodeDirectory names team " + primary.teamIdentifier() +
                            " but the certificate is team " + verdict.cms.teamIdentifier);
    }
    verdict.signingClass = verdict.cms.signingClass;
    verdict.reason = verdict.cms.reason;
    return verdict;
}

std::optional<std::string> readWholeFile(const std::filesystem::path& path) {
    auto source = FileByteSource::open(path.string(), nullptr);
    if (!source || source->size() > kMaxSignatureBytes) {
        return std::nullopt;
    }
    return source->read(0, static_cast<std::size_t>(source->size()));
}

// A macOS bundle keeps everything in Contents/; a shallow one at its top.
std::filesystem::path bundleContents(const std::string& path) {
    std::error_code error;
    const std::filesystem::path contents = std::filesystem::path(path) / "Contents";
    return std::filesystem::is_directory(contents, error) ? contents : std::filesystem::path(path);
}

// The main executable as the Info.plist names it, relative to the contents;
// nothing when it names none, or one outside the bundle.
std::optional<std::string> mainExecutable(const std::optional<std::string>& infoPlist,
                                          bool shallow) {
    const auto info = infoPlist ? parsePropertyList(*infoPlist) : std::nullopt;
    const PlistDictionary* dictionary = info ? info->dictionary() : nullptr;
    const auto entry =
        dictionary ? dictionary->find("CFBundleExecutable") : PlistDictionary::const_iterator{};
    const std::string* executable =
        dictionary && entry != dictionary->end() ? entry->second.string() : nullptr;
    if (!executable || executable->empty() || executable->find('/') != std::string::npos ||
        *executable == "." || *executable == "..") {
        return std::nullopt;
    }
    return shallow ? *executable : "MacOS/" + *executable;
}

} // namespace

CodeSignature CodeSignatureReader::readMachO(const ByteSource& source, const BoundFiles& bound) {
    CodeSignature result;
    const MachOLayout layout = readMachOLayout(source);
    if (layout.status == MachOLayout::Status::notMachO) {
        result.signingClass = SigningClass::unsignedCode;
        result.reason = "not Mach-O code";
        return result;
    }
    if (layout.status == MachOLayout::Status::invalid) {
        result.signingClass = SigningClass::invalid;
        result.reason = layout.error;
        return result;
    }
    std::vector<SliceVerdict> verdicts;
    for (const MachOSlice& slice : layout.slices) {
        result.architectures.push_back(slice.architecture);
        verdicts.push_back(readSlice(source, slice, bound));
        if (!verdicts.back().cdHash.empty()) {
            result.cdHashes[slice.architecture] = verdicts.back().cdHash;
        }
    }
    const auto named = [&](std::size_t i, const std::string& text) {
        return layout.slices[i].architecture + ": " + text;
    };
    for (std::size_t i = 0; i < verdicts.size(); ++i) {
        if (verdicts[i].signingClass == SigningClass::invalid) {
            result.signingClass = SigningClass::invalid;
            result.reason = named(i, verdicts[i].reason);
            return result;
        }
    }
    const SliceVerdict& first = verdicts.front();
    for (std::size_t i = 1; i < verdicts.size(); ++i) {
        const SliceVerdict& other = verdicts[i];
        if (other.signingClass != first.signingClass) {
            result.signingClass = SigningClass::invalid;
            result.reason = named(0, std::string(toText(first.signingClass))) + ", but " +
                            named(i, std::string(toText(other.signingClass)));
            return result;
        }
        if (other.cms.teamIdentifier != first.cms.teamIdentifier) {
            result.signingClass = SigningClass::invalid;
            result.reason = "the slices are signed by different teams";
            return result;
        }
    }
    result.signingClass = first.signingClass;
    result.reason = first.reason;
    result.identifier = first.identifier;
    result.teamIdentifier = first.cms.teamIdentifier;
    result.organization = first.cms.organization;
    result.authorities = first.cms.authorities;
    result.signingTime = first.cms.signingTime;
    result.hardenedRuntime =
        first.signingClass != SigningClass::unsignedCode &&
        std::all_of(verdicts.begin(), verdicts.end(),
                    [](const SliceVerdict& verdict) { return verdict.hardenedRuntime; });
    return result;
}

CodeSignature CodeSignatureReader::readBundle(const std::string& path) {
    CodeSignature result;
    result.signingClass = SigningClass::invalid;
    const std::filesystem::path contents = bundleContents(path);
    BoundFiles bound;
    bound.infoPlist = readWholeFile(contents / "Info.plist");
    bound.codeResources = readWholeFile(contents / "_CodeSignature" / "CodeResources");
    const auto main = mainExecutable(bound.infoPlist, contents == std::filesystem::path(path));
    if (!main) {
        result.signingClass = SigningClass::unsignedCode;
        result.reason = "not a bundle with a main executable";
        return result;
    }
    const std::string& mainRelative = *main;
    std::string message;
    auto source = FileByteSource::open((contents / mainRelative).string(), &message);
    if (!source) {
        result.reason = "cannot read the main executable: " + message;
        result.unread = true;
        return result;
    }
    result = readMachO(*source, bound);
    if (result.signingClass == SigningClass::invalid ||
        result.signingClass == SigningClass::unsignedCode) {
        return result;
    }
    if (!bound.codeResources) {
        result.signingClass = SigningClass::invalid;
        result.reason = "the bundle's resources are not sealed (no CodeResources)";
        return result;
    }
    if (auto problem = BundleSeal::check(contents.string(), *bound.codeResources, mainRelative)) {
        result.signingClass = SigningClass::invalid;
        result.reason = *problem;
    }
    return result;
}

CodeSignature CodeSignatureReader::readPath(const std::string& path) {
    std::error_code error;
    if (std::filesystem::is_directory(path, error)) {
        return readBundle(path);
    }
    std::string message;
    auto source = FileByteSource::open(path, &message);
    if (!source) {
        CodeSignature result;
        result.signingClass = SigningClass::invalid;
        result.reason = "cannot read the file: " + message;
        result.unread = true;
        return result;
    }
    return readMachO(*source);
}

std::map<std::string, std::string> CodeSignatureReader::readCdHashes(const ByteSource& source) {
    std::map<std::string, std::string> hashes;
    const MachOLayout layout = readMachOLayout(source);
    if (layout.status != MachOLayout::Status::machO) {
        return hashes;
    }
    for (const MachOSlice& slice : layout.slices) {
        if (!slice.signature) {
            continue;
        }
        std::string error;
        const auto bytes = signatureBytes(source, slice, &error);
        const auto signature = bytes ? EmbeddedSignature::parse(*bytes, &error) : std::nullopt;
        const auto directories =
            signature ? codeDirectories(*signature, slice, &error) : std::nullopt;
        if (directories && !directories->empty()) {
            hashes[slice.architecture] = preferredCdHash(*directories);
        }
    }
    return hashes;
}

std::map<std::string, std::string> CodeSignatureReader::readCdHashes(const std::string& path) {
    std::error_code error;
    std::string file = path;
    if (std::filesystem::is_directory(path, error)) {
        const std::filesystem::path contents = bundleContents(path);
        const auto main = mainExecutable(readWholeFile(contents / "Info.plist"),
                                         contents == std::filesystem::path(path));
        if (!main) {
            return {};
        }
        file = (contents / *main).string();
    }
    const auto source = FileByteSource::open(file, nullptr);
    return source ? readCdHashes(*source) : std::map<std::string, std::string>();
}

} // namespace daemonary
