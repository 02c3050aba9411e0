#include "Codesign.h"

#include "CodeRequirement.h"
#include "StateStore.h"
#include "platform/FileSystem.h"
#include "plist/PropertyList.h"

#include <array>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <ostream>
#include <sys/resource.h>
#include <unistd.h>

namespace daemonary::hostsim {

namespace {

constexpr int kUsageStatus = 2;
constexpr std::array<std::string_view, 5> kBundleExtensions = {".app", ".kext", ".bundle",
                                                               ".plugin", ".xpc"};

bool isBundleName(std::string_view path) {
    for (std::string_view extension : kBundleExtensions) {
        if (path.ends_with(extension))
            return true;
    }
    return false;
}

// Stable pseudo-random values, so one file always gets the same report.
class Digits {
public:
    explicit Digits(std::string_view seed) {
        std::uint64_t hash = 1469598103934665603ULL;
        for (unsigned char c : seed) {
            hash ^= c;
            hash *= 1099511628211ULL;
        }
        m_state = hash;
    }

    std::uint64_t next() {
        std::uint64_t z = (m_state += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }

    std::uint64_t below(std::uint64_t bound) { return next() % bound; }

    std::string hex(std::size_t length) {
        static constexpr char kHex[] = "0123456789abcdef";
        std::string text;
        while (text.size() < length) {
            std::uint64_t bits = next();
            for (int i = 0; i < 16 && text.size() < length; ++i, bits >>= 4)
                text += kHex[bits & 0xF];
        }
        return text;
    }

private:
    std::uint64_t m_state = 0;
};

struct BundleInfo {
    std::optional<std::string> identifier;
    std::optional<std::string> executable;
    std::optional<std::size_t> entries; // nothing without a readable Info.plist
    std::size_t files = 0;
};

std::optional<BundleInfo> readBundle(const std::string& bundle) {
    if (!isDirectory(bundle))
        return std::nullopt;
    BundleInfo info;
    if (auto bytes = readFile(bundle + "/Contents/Info.plist")) {
        if (auto value = parsePropertyList(*bytes); value && value->dictionary()) {
            const PlistDictionary& dictionary = *value->dictionary();
            info.entries = dictionary.size();
            auto text = [&](const char* key) -> std::optional<std::string> {
                auto it = dictionary.find(key);
                if (it != dictionary.end() && it->second.string())
                    return *it->second.string();
                return std::nullopt;
            };
            info.identifier = text("CFBundleIdentifier");
            info.executable = text("CFBundleExecutable");
        }
    }
    std::error_code error;
    for (std::filesystem::recursive_directory_iterator it(bundle, error), end; !error && it != end;
         it.increment(error)) {
        if (it->is_regular_file(error))
            ++info.files;
    }
    return info;
}

struct Subject {
    std::string shownPath;  // the argument as given, normalised
    std::string executable; // what Executable= names
    std::string identifier;
    std::string format;
    std::optional<BundleInfo> bundle; // present when the subject is a bundle
};

std::string timestamp(Digits& digits) {
    static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                              "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const auto hour = digits.below(12) + 1;
    char text[64];
    std::snprintf(text, sizeof text, "%s %d, %d at %d:%02d:%02d %s", kMonths[digits.below(12)],
                  static_cast<int>(digits.below(28) + 1), static_cast<int>(2023 + digits.below(3)),
                  static_cast<int>(hour), static_cast<int>(digits.below(60)),
                  static_cast<int>(digits.below(60)), digits.below(2) == 0 ? "AM" : "PM");
    return text;
}

std::vector<std::string> authorityNames(const SignedCode& code) {
    if (!code.authorities.empty())
        return code.authorities;
    switch (code.kind) {
    case SigningKind::apple:
        return {"Software Signing", "Apple Code Signing Certification Authority", "Apple Root CA"};
    case SigningKind::developerId:
        return {"Developer ID Application: " + code.organization + " (" + code.teamIdentifier + ")",
                "Developer ID Certification Authority", "Apple Root CA"};
    case SigningKind::selfSigned:
        return {code.organization};
    case SigningKind::adHoc:
        break;
    }
    return {};
}

std::string report(const Subject& subject, const SignedCode& code, std::string_view seed) {
    Digits digits(seed);
    const bool adHoc = code.kind == SigningKind::adHoc;
    const bool apple = code.kind == SigningKind::apple;
    const auto pages = digits.below(4000) + 20;
    const std::string cdHash = digits.hex(40);
    const std::string cdHashFull = cdHash + digits.hex(24);

    std::string text;
    auto line = [&](const std::string& content) { text += content + "\n"; };
    line("Executable=" + subject.executable);
    line("Identifier=" + subject.identifier);
    line("Format=" + subject.format);
    std::string flags = adHoc   ? "0x20002(adhoc,linker-signed)"
                        : apple ? "0x0(none)"
                                : "0x10000(runtime)";
    line("CodeDirectory v=" + std::string(adHoc ? "20400" : "20500") +
         " size=" + std::to_string(pages * 32 + 400) + " flags=" + flags +
         " hashes=" + std::to_string(pages) + "+" + (adHoc ? "0" : "7") + " location=embedded");
    if (apple)
        line("Platform identifier=16");
    line("VersionPlatform=1");
    line("VersionMin=" + std::string(apple ? "983040" : "786432"));
    line("VersionSDK=" + std::string(apple ? "983296" : "917504"));
    line("Hash type=sha256 size=32");
    line("CandidateCDHash sha256=" + cdHash);
    line("CandidateCDHashFull sha256=" + cdHashFull);
    line("Hash choices=sha256");
    line("CMSDigest=" + cdHashFull);
    line("CMSDigestType=2");
    line("Executable Segment base=0");
    line("Executable Segment limit=" + std::to_string((digits.below(200) + 4) * 16384));
    line("Executable Segment flags=0x1");
    line("Page size=" + std::string(adHoc ? "4096" : "16384"));
    line("CDHash=" + cdHash);
    if (adHoc) {
        line("Signature=adhoc");
    } else {
        line("Signature size=" + std::to_string(apple ? 4442 : 8900 + digits.below(200)));
        for (const std::string& name : authorityNames(code))
            line("Authority=" + name);
        if (!apple) {
            line("Timestamp=" + timestamp(digits));
            if (code.kind == SigningKind::developerId)
                line("Notarization Ticket=stapled");
        }
    }
    if (subject.bundle && subject.bundle->entries)
        line("Info.plist entries=" + std::to_string(*subject.bundle->entries));
    else
        line("Info.plist=not bound");
    line("TeamIdentifier=" + (adHoc || apple || code.teamIdentifier.empty() ? std::string("not set")
                                                                            : code.teamIdentifier));
    if (!adHoc && !apple)
        line("Runtime Version=15.0.0");
    if (subject.bundle)
        line("Sealed Resources version=2 rules=13 files=" + std::to_string(subject.bundle->files));
    else
        line("Sealed Resources=none");
    if (adHoc)
        line("Internal requirements=none");
    else
        line("Internal requirements count=1 size=" +
             std::to_string(apple ? 64 : 200 + digits.below(40)));
    for (std::uint64_t n = 1; text.size() < code.reportPaddingBytes; ++n) {
        char nested[96];
        std::snprintf(nested, sizeof nested, "Nested=Contents/Frameworks/Component%06llu.framework",
                      static_cast<unsigned long long>(n));
        line(nested);
    }
    return text;
}

std::string architectures(const SignedCode& code) {
    return code.kind == SigningKind::adHoc ? "Mach-O thin (arm64)"
                                           : "Mach-O universal (x86_64 arm64)";
}

std::string stem(std::string_view name) {
    name = lastPathComponent(name);
    const auto dot = name.rfind('.');
    return std::string(dot == std::string_view::npos || dot == 0 ? name : name.substr(0, dot));
}

// The subject of a report: the signed item itself, or a file inside a
// signed bundle, which the bundle's signature covers.
std::optional<Subject> describe(const HostContext& host, const HostState& state,
                                const std::string& shownPath, const std::string& stored,
                                const SignedCode*& code, std::string& seed) {
    std::string candidate = stored;
    for (;;) {
        auto found = state.signedCode.find(candidate);
        if (found != state.signedCode.end() && (candidate == stored || isBundleName(candidate))) {
            code = &found->second;
            seed = stored + "|" + candidate;
            break;
        }
        const auto slash = candidate.rfind('/');
        if (slash == std::string::npos)
            return std::nullopt;
        candidate.resize(slash);
    }

    Subject subject;
    subject.shownPath = shownPath;
    const std::string real = host.realPath(stored);
    const bool isBundleRoot = candidate == stored && isBundleName(stored);
    std::optional<BundleInfo> bundle = readBundle(host.realPath(candidate));
    if (isBundleRoot && bundle) {
        subject.bundle = bundle;
        subject.executable =
            shownPath + "/Contents/MacOS/" + bundle->executable.value_or(stem(shownPath));
        subject.format =
            std::string(stored.ends_with(".app") ? "app bundle with " : "bundle with ") +
            architectures(*code);
    } else {
        subject.executable = shownPath;
        subject.format = architectures(*code);
    }
    const bool mainExecutable =
        bundle && (isBundleRoot || stored == candidate + "/Contents/MacOS/" +
                                                 bundle->executable.value_or(stem(candidate)));
    if (code->identifier && candidate == stored)
        subject.identifier = *code->identifier;
    else if (mainExecutable && code->identifier)
        subject.identifier = *code->identifier;
    else if (mainExecutable && bundle->identifier)
        subject.identifier = *bundle->identifier;
    else
        subject.identifier = stem(real);
    return subject;
}

// Dies the way a crashing tool does, without leaving a core file behind.
[[noreturn]] void crash() {
    rlimit none{0, 0};
    ::setrlimit(RLIMIT_CORE, &none);
    std::signal(SIGSEGV, SIG_DFL);
    std::raise(SIGSEGV);
    std::_Exit(139);
}

// Never answers; whoever ran it has to end it.
[[noreturn]] void hang() {
    for (;;)
        ::pause();
}

constexpr int kRequirementFailedStatus = 3;

// --verify's verdict on signed code: nothing (or, verbose, two lines) and 0
// for a good signature, codesign's complaint and 1 for a tampered one, and 3
// for a good one that fails the requirement given with -R.
int verifyReport(const std::string& path, const Subject& subject, const SignedCode& code,
                 const std::optional<std::string>& requirement, int verbosity, std::string& text) {
    const bool bundle = subject.bundle.has_value();
    if (code.tampered) {
        if (bundle) {
            text += path + ": a sealed resource is missing or invalid\n";
            text += "file modified: " + path + "/Contents/Info.plist\n";
        } else {
            text += path + ": invalid signature (code or signature have been modified)\n";
            text += std::string("In architecture: ") +
                    (code.kind == SigningKind::adHoc ? "arm64" : "x86_64") + "\n";
        }
        return 1;
    }
    if (verbosity > 0) {
        text += path + ": valid on disk\n";
        text += path + ": satisfies its Designated Requirement\n";
    }
    if (requirement) {
        const RequirementFacts facts{code.kind, subject.identifier, code.teamIdentifier};
        const auto holds = evaluateRequirement(*requirement, facts);
        if (!holds) {
            text += "codesign: unsupported requirement: " + *requirement + "\n";
            return kUsageStatus;
        }
        if (!*holds) {
            text += path + ": test-requirement: code failed to satisfy specified code "
                           "requirement(s)\n";
            return kRequirementFailedStatus;
        }
        if (verbosity > 0)
            text += path + ": explicit requirement satisfied\n";
    }
    return 0;
}

// -R's argument: "=TEXT" is the requirement itself, anything else a file
// holding it.
std::optional<std::string> requirementText(const std::string& argument) {
    if (argument.starts_with('='))
        return argument.substr(1);
    return readFile(argument, 64 * 1024);
}

} // namespace

int runCodesign(const HostContext& host, const std::vector<std::string>& arguments) {
    bool display = false;
    bool verify = false;
    int verbosity = 0;
    std::optional<std::string> requirement;
    std::vector<std::string> paths;
    bool options = true;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        const bool requirementOption = argument == "-R" || argument == "--test-requirement";
        if (options && (requirementOption || argument.starts_with("-R") ||
                        argument.starts_with("--test-requirement="))) {
            std::string given;
            if (requirementOption) {
                if (i + 1 == arguments.size()) {
                    host.err() << "codesign: option requires an argument -- R\n";
                    return kUsageStatus;
                }
                given = arguments[++i];
            } else {
                given = argument.substr(argument.starts_with("-R") ? 2 : 19);
            }
            requirement = requirementText(given);
            if (!requirement) {
                host.err() << "codesign: " << given << ": cannot read the requirement\n";
                return kUsageStatus;
            }
        } else if (options && argument == "--") {
            options = false;
        } else if (options && (argument == "--display")) {
            display = true;
        } else if (options && (argument == "--verify")) {
            verify = true;
        } else if (options &&
                   (argument == "--deep" || argument == "--strict" || argument == "--no-strict")) {
            continue;
        } else if (options && argument == "--verbose") {
            ++verbosity;
        } else if (options && argument.starts_with("--verbose=")) {
            verbosity = std::atoi(argument.c_str() + 10);
        } else if (options && argument.size() > 1 && argument[0] == '-' && argument[1] != '-') {
            for (char option : std::string_view(argument).substr(1)) {
                if (option == 'd')
                    display = true;
                else if (option == 'v')
                    ++verbosity;
                else {
                    host.err() << "codesign: unsupported option -" << option << "\n";
                    return kUsageStatus;
                }
            }
        } else if (options && argument.starts_with("--")) {
            host.err() << "codesign: unsupported option " << argument << "\n";
            return kUsageStatus;
        } else {
            paths.push_back(argument);
        }
    }
    // As in codesign, -v without -d is the verify operation; a further v is
    // verbosity.
    if (!display && !verify && verbosity > 0) {
        verify = true;
        --verbosity;
    }
    if (display == verify || paths.empty()) {
        host.err()
            << "Usage: codesign -d [-v...] [--verbose=N] path ...\n"
            << "       codesign --verify [-v...] [-R requirement] [--deep] [--strict] path ...\n";
        return kUsageStatus;
    }

    auto opened = StateStore::open(host, StateStore::Access::shared);
    if (!opened.store) {
        host.err() << "codesign: " << opened.error << "\n";
        return 1;
    }
    int status = 0;
    std::string text;
    CodesignFault fault = CodesignFault::none;
    for (const std::string& path : paths) {
        const std::string shown = normalisedAbsolutePath(path, currentWorkingDirectory());
        auto stored = host.storedPath(shown);
        std::error_code error;
        if (!stored || !std::filesystem::exists(
                           std::filesystem::symlink_status(host.realPath(*stored), error))) {
            text += path + ": No such file or directory\n";
            status = 1;
            continue;
        }
        const SignedCode* code = nullptr;
        std::string seed;
        auto subject = describe(host, opened.store->state(), shown, *stored, code, seed);
        if (!subject || code == nullptr) {
            text += path + ": code object is not signed at all\n";
            status = 1;
            continue;
        }
        if (code->fault != CodesignFault::none) {
            fault = code->fault;
            break;
        }
        if (verify) {
            const int verdict = verifyReport(path, *subject, *code, requirement, verbosity, text);
            // As codesign: a failed signature outweighs a failed requirement.
            if (verdict != 0 && (status == 0 || verdict == 1 || verdict == kUsageStatus))
                status = verdict;
        } else {
            text += report(*subject, *code, seed);
        }
    }
    host.err() << text;
    host.err().flush();
    if (fault != CodesignFault::none) {
        // The state's lock must not outlive the answer a stuck tool never gives.
        opened.store.reset();
        if (fault == CodesignFault::crash)
            crash();
        hang();
    }
    return status;
}

} // namespace daemonary::hostsim
