#include "BundleSeal.h"

#include "ByteSource.h"
#include "CodeDirectory.h"
#include "CodeSignatureReader.h"
#include "plist/PropertyList.h"

#include <filesystem>
#include <map>
#include <memory>
#include <openssl/evp.h>
#include <regex>
#include <set>
#include <vector>

namespace daemonary {

namespace {

namespace fs = std::filesystem;

// Limits for a seal written by whoever signed the bundle: enough for real
// applications, small enough that a hostile seal stays cheap.
constexpr std::size_t kMaxRules = 64;
constexpr std::size_t kMaxPatternLength = 256;
constexpr std::size_t kMaxFiles = 200000;
constexpr std::size_t kMaxPathLength = 1024;

struct Rule {
    std::regex pattern;
    bool omit = false;
    bool nested = false;
    double weight = 1;
};

struct Entry {
    std::optional<std::string> sha256;
    std::optional<std::string> sha1;
    std::optional<std::string> symlink;
    std::optional<std::string> cdHash;
    bool optional = false;
};

bool safeRelativePath(const std::string& path) {
    if (path.empty() || path.size() > kMaxPathLength || path.front() == '/') {
        return false;
    }
    for (const auto& part : fs::path(path)) {
        if (part == ".." || part == ".") {
            return false;
        }
    }
    return true;
}

// The file's digest with a CodeDirectory hash type, read in pieces.
std::optional<std::string> fileDigest(const fs::path& path, std::uint8_t hashType) {
    auto source = FileByteSource::open(path.string(), nullptr);
    if (!source) {
        return std::nullopt;
    }
    const EVP_MD* md = hashType == 1 ? EVP_sha1() : EVP_sha256();
    std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    if (!context || EVP_DigestInit_ex(context.get(), md, nullptr) != 1) {
        return std::nullopt;
    }
    constexpr std::uint64_t kPiece = 1u << 20;
    for (std::uint64_t at = 0; at < source->size(); at += kPiece) {
        const auto piece =
            source->read(at, static_cast<std::size_t>(std::min(kPiece, source->size() - at)));
        if (!piece || EVP_DigestUpdate(context.get(), piece->data(), piece->size()) != 1) {
            return std::nullopt;
        }
    }
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(context.get(), out, &length) != 1) {
        return std::nullopt;
    }
    return std::string(reinterpret_cast<const char*>(out), length);
}

const PlistDictionary* dictionaryAt(const PlistDictionary& dictionary, const std::string& key) {
    const auto found = dictionary.find(key);
    return found == dictionary.end() ? nullptr : found->second.dictionary();
}

std::optional<std::string> dataAt(const PlistDictionary& dictionary, const std::string& key) {
    const auto found = dictionary.find(key);
    if (found == dictionary.end() || !found->second.data()) {
        return std::nullopt;
    }
    return found->second.data()->bytes;
}

bool flagAt(const PlistDictionary& dictionary, const std::string& key) {
    const auto found = dictionary.find(key);
    return found != dictionary.end() && found->second.boolean() && *found->second.boolean();
}

std::optional<std::string> readRules(const PlistDictionary& rules, std::vector<Rule>& out) {
    if (rules.size() > kMaxRules) {
        return "the seal has too many rules";
    }
    for (const auto& [pattern, value] : rules) {
        if (pattern.size() > kMaxPatternLength) {
            return "a seal rule is too long";
        }
        Rule rule;
        try {
            rule.pattern = std::regex(pattern, std::regex::extended | std::regex::nosubs);
        } catch (const std::regex_error&) {
            return "a seal rule is not a regular expression";
        }
        if (const PlistDictionary* options = value.dictionary()) {
            rule.omit = flagAt(*options, "omit");
            rule.nested = flagAt(*options, "nested");
            const auto weight = options->find("weight");
            if (weight != options->end()) {
                if (const double* real = weight->second.real()) {
                    rule.weight = *real;
                } else if (const std::int64_t* integer = weight->second.integer()) {
                    rule.weight = static_cast<double>(*integer);
                }
            }
        }
        out.push_back(std::move(rule));
    }
    return std::nullopt;
}

// The heaviest rule that matches, as codesign picks it; nothing when none.
const Rule* ruleFor(const std::vector<Rule>& rules, const std::string& path) {
    const Rule* best = nullptr;
    for (const Rule& rule : rules) {
        bool matches = false;
        try {
            matches = std::regex_search(path, rule.pattern);
        } catch (const std::regex_error&) {
            matches = false;
        }
        if (matches && (!best || rule.weight > best->weight)) {
            best = &rule;
        }
    }
    return best;
}

std::optional<std::string> checkEntry(const fs::path& root, const std::string& path,
                                      const Entry& entry) {
    const fs::path file = root / path;
    std::error_code error;
    const fs::file_status status = fs::symlink_status(file, error);
    if (error || !fs::exists(status)) {
        return entry.optional ? std::nullopt
                              : std::optional<std::string>("sealed file " + path + " is missing");
    }
    if (entry.symlink) {
        if (!fs::is_symlink(status) || fs::read_symlink(file, error).string() != *entry.symlink) {
            return "sealed link " + path + " was changed";
        }
        return std::nullopt;
    }
    if (fs::is_symlink(status)) {
        return "sealed file " + path + " was replaced by a link";
    }
    if (entry.cdHash) {
        const CodeSignature nested = CodeSignatureReader::readPath(file.string());
        if (!nested.intact()) {
            return "nested code " + path + " is " + std::string(toText(nested.signingClass)) +
                   (nested.reason.empty() ? "" : " (" + nested.reason + ")");
        }
        for (const auto& [architecture, hash] : nested.cdHashes) {
            std::string listed;
            for (const char byte : entry.cdHash->substr(0, 20)) {
                static constexpr char kDigits[] = "0123456789abcdef";
                listed += kDigits[static_cast<unsigned char>(byte) >> 4];
                listed += kDigits[static_cast<unsigned char>(byte) & 0xf];
            }
            if (hash == listed) {
                return std::nullopt;
            }
        }
        return "nested code " + path + " is not the code that was sealed";
    }
    if (!fs::is_regular_file(status)) {
        return "sealed file " + path + " is not a file";
    }
    const auto digest = entry.sha256 ? fileDigest(file, 2) : fileDigest(file, 1);
    if (!digest || *digest != (entry.sha256 ? *entry.sha256 : *entry.sha1)) {
        return "sealed file " + path + " was changed";
    }
    return std::nullopt;
}

} // namespace

std::optional<std::string> BundleSeal::check(const std::string& rootText,
                                             std::string_view codeResources,
                                             const std::string& mainExecutable) {
    const auto plist = parsePropertyList(codeResources);
    const PlistDictionary* top = plist ? plist->dictionary() : nullptr;
    if (!top) {
        return "the resource seal (CodeResources) cannot be read";
    }
    // files2 and rules2 are the current seal; files (SHA-1 only) is what
    // signatures before macOS 10.9 carry.
    const PlistDictionary* files = dictionaryAt(*top, "files2");
    const PlistDictionary* rulesDictionary = dictionaryAt(*top, "rules2");
    if (!files) {
        files = dictionaryAt(*top, "files");
        rulesDictionary = dictionaryAt(*top, "rules");
    }
    if (!files) {
        return "the resource seal lists no files";
    }
    if (files->size() > kMaxFiles) {
        return "the resource seal lists too many files";
    }
    std::vector<Rule> rules;
    if (rulesDictionary) {
        if (auto problem = readRules(*rulesDictionary, rules)) {
            return problem;
        }
    }
    const fs::path root(rootText);
    std::map<std::string, Entry> entries;
    for (const auto& [path, value] : *files) {
        if (!safeRelativePath(path)) {
            return "the resource seal names an unsafe path";
        }
        Entry entry;
        if (const PlistData* data = value.data()) {
            entry.sha1 = data->bytes;
        } else if (const PlistDictionary* details = value.dictionary()) {
            entry.sha256 = dataAt(*details, "hash2");
            entry.sha1 = dataAt(*details, "hash");
            entry.cdHash = dataAt(*details, "cdhash");
            entry.optional = flagAt(*details, "optional");
            const auto link = details->find("symlink");
            if (link != details->end() && link->second.string()) {
                entry.symlink = *link->second.string();
            }
        }
        if (!entry.sha256 && !entry.sha1 && !entry.symlink && !entry.cdHash) {
            return "the resource seal's entry for " + path + " has no hash";
        }
        entries.emplace(path, std::move(entry));
    }
    for (const auto& [path, entry] : entries) {
        if (auto problem = checkEntry(root, path, entry)) {
            return problem;
        }
    }

    // Added files: anything the rules would have sealed that the seal does
    // not list. Nested code listed as one entry is not descended into.
    std::error_code error;
    fs::recursive_directory_iterator walk(root, fs::directory_options::none, error);
    std::size_t seen = 0;
    for (; !error && walk != fs::recursive_directory_iterator(); walk.increment(error)) {
        if (++seen > kMaxFiles) {
            return "the bundle holds too many files to check";
        }
        const std::string path = fs::relative(walk->path(), root, error).generic_string();
        if (path == "_CodeSignature" || path == mainExecutable) {
            if (walk->is_directory(error) && !walk->is_symlink(error)) {
                walk.disable_recursion_pending();
            }
            continue;
        }
        if (entries.count(path) && entries.at(path).cdHash) {
            walk.disable_recursion_pending();
            continue;
        }
        if (walk->is_directory(error) && !walk->is_symlink(error)) {
            continue;
        }
        if (entries.count(path)) {
            continue;
        }
        const Rule* rule = ruleFor(rules, path);
        if (rule && rule->omit) {
            continue;
        }
        if (path == "Info.plist") {
            continue; // bound by its special slot
        }
        return "file " + path + " was added after the bundle was sealed";
    }
    if (error) {
        return "the bundle cannot be read: " + error.message();
    }
    return std::nullopt;
}

} // namespace daemonary
