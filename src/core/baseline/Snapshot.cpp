#include "baseline/Snapshot.h"

#include "insight/Signer.h"
#include "model/LaunchItemJson.h"
#include "text/JsonText.h"
#include "text/Text.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <future>
#include <limits>
#include <nlohmann/json.hpp>
#include <pwd.h>
#include <thread>
#include <unistd.h>

namespace daemonary {

namespace {

using Json = nlohmann::json;
using OrderedJson = nlohmann::ordered_json;

std::string currentHostName() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0) {
        return {};
    }
    return name;
}

std::string currentUserName() {
    if (const passwd* entry = ::getpwuid(::geteuid()); entry != nullptr && entry->pw_name) {
        return entry->pw_name;
    }
    if (const char* user = std::getenv("USER")) {
        return user;
    }
    return {};
}

OrderedJson stampJson(const FileStamp& stamp) {
    OrderedJson object{{"size", stamp.size}, {"modified", stamp.modified}};
    if (stamp.inode) {
        object["inode"] = *stamp.inode;
    }
    if (stamp.changedNanoseconds) {
        object["changedNanoseconds"] = *stamp.changedNanoseconds;
    }
    return object;
}

OrderedJson fingerprintJson(const Fingerprint& fingerprint) {
    OrderedJson object = OrderedJson::object();
    object["kind"] = std::string(toText(fingerprint.kind));
    if (fingerprint.sha256) {
        object["sha256"] = *fingerprint.sha256;
    }
    if (fingerprint.stamp) {
        object.update(stampJson(*fingerprint.stamp));
    }
    if (fingerprint.executable) {
        OrderedJson executable = OrderedJson::object();
        executable["path"] = *fingerprint.executable;
        if (fingerprint.executableStamp) {
            executable.update(stampJson(*fingerprint.executableStamp));
        }
        object["executable"] = std::move(executable);
    }
    if (fingerprint.programSha256) {
        object["programSha256"] = *fingerprint.programSha256;
    }
    if (!fingerprint.cdHashes.empty()) {
        object["cdhashes"] = fingerprint.cdHashes;
    }
    if (fingerprint.definition) {
        object["definition"] = *fingerprint.definition;
    }
    return object;
}

// Throws nothing: every problem is a message naming the field.
class Reader {
public:
    std::optional<std::string> error;

    const Json* field(const Json& object, const char* key, const std::string& where) {
        const auto found = object.find(key);
        if (found == object.end()) {
            fail(where + "missing \"" + key + "\"");
            return nullptr;
        }
        return &*found;
    }

    std::optional<std::string> text(const Json& object, const char* key, const std::string& where) {
        const Json* value = field(object, key, where);
        if (value == nullptr) {
            return std::nullopt;
        }
        if (!value->is_string()) {
            fail(where + "\"" + key + "\" must be a string");
            return std::nullopt;
        }
        return value->get<std::string>();
    }

    std::optional<std::int64_t> integer(const Json& object, const char* key,
                                        const std::string& where, std::int64_t low) {
        const Json* value = field(object, key, where);
        if (value == nullptr) {
            return std::nullopt;
        }
        if (value->is_number_unsigned()) {
            const auto number = value->get<std::uint64_t>();
            if (number > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
                fail(where + "\"" + key + "\" is out of range");
                return std::nullopt;
            }
            return static_cast<std::int64_t>(number);
        }
        if (!value->is_number_integer() || value->get<std::int64_t>() < low) {
            fail(where + "\"" + key + "\" must be an integer" + (low == 0 ? " of at least 0" : ""));
            return std::nullopt;
        }
        return value->get<std::int64_t>();
    }

    std::optional<FileStamp> stamp(const Json& object, const std::string& where) {
        constexpr auto kAny = std::numeric_limits<std::int64_t>::min();
        const auto size = integer(object, "size", where, 0);
        const auto modified = size ? integer(object, "modified", where, kAny) : std::nullopt;
        if (!size || !modified) {
            return std::nullopt;
        }
        FileStamp result{static_cast<std::uint64_t>(*size), *modified, {}, {}};
        if (object.contains("inode")) {
            const auto inode = integer(object, "inode", where, 0);
            if (!inode) {
                return std::nullopt;
            }
            result.inode = static_cast<std::uint64_t>(*inode);
        }
        if (object.contains("changedNanoseconds")) {
            result.changedNanoseconds = integer(object, "changedNanoseconds", where, kAny);
            if (!result.changedNanoseconds) {
                return std::nullopt;
            }
        }
        return result;
    }

    std::optional<std::string> digest(const Json& object, const char* key,
                                      const std::string& where) {
        auto value = text(object, key, where);
        if (value && !isDigest(*value)) {
            fail(where + "\"" + key + "\" must be 64 lowercase hexadecimal digits");
            return std::nullopt;
        }
        return value;
    }

    std::optional<Fingerprint> fingerprint(const Json& object, const std::string& where) {
        if (!object.is_object()) {
            fail(where + "\"fingerprint\" must be an object");
            return std::nullopt;
        }
        const std::string inner = where + "fingerprint: ";
        const auto kindText = text(object, "kind", inner);
        if (!kindText) {
            return std::nullopt;
        }
        const auto kind = fingerprintKindFromText(*kindText);
        if (!kind) {
            fail(inner + "unknown kind \"" + *kindText + "\"");
            return std::nullopt;
        }
        Fingerprint result;
        result.kind = *kind;
        if (object.contains("sha256")) {
            result.sha256 = digest(object, "sha256", inner);
            if (!result.sha256) {
                return std::nullopt;
            }
        }
        if (object.contains("programSha256")) {
            result.programSha256 = digest(object, "programSha256", inner);
            if (!result.programSha256) {
                return std::nullopt;
            }
        }
        if (object.contains("cdhashes")) {
            auto hashes = cdHashesFromJson(object.at("cdhashes"));
            if (!hashes) {
                fail(inner + "\"cdhashes\" must map architectures to 40 hexadecimal digits");
                return std::nullopt;
            }
            result.cdHashes = std::move(*hashes);
        }
        if (object.contains("definition")) {
            const Json& definition = object.at("definition");
            if (!definition.is_object()) {
                fail(inner + "\"definition\" must be an object");
                return std::nullopt;
            }
            result.definition = definition;
        }
        if (*kind == Fingerprint::Kind::file && !result.sha256) {
            fail(inner + "missing \"sha256\"");
            return std::nullopt;
        }
        if (*kind == Fingerprint::Kind::largeFile) {
            result.stamp = stamp(object, inner);
            if (!result.stamp) {
                return std::nullopt;
            }
        }
        if (object.contains("executable")) {
            const Json& executable = object.at("executable");
            if (!executable.is_object()) {
                fail(inner + "\"executable\" must be an object");
                return std::nullopt;
            }
            const std::string executableWhere = inner + "executable: ";
            result.executable = text(executable, "path", executableWhere);
            if (!result.executable) {
                return std::nullopt;
            }
            if (executable.contains("size")) {
                result.executableStamp = stamp(executable, executableWhere);
                if (!result.executableStamp) {
                    return std::nullopt;
                }
            }
        }
        return result;
    }

private:
    static bool isDigest(const std::string& text) {
        return text.size() == 64 && std::all_of(text.begin(), text.end(), [](char ch) {
                   return (ch >= '0' && ch <= '9') || (ch >= 'a' && ch <= 'f');
               });
    }

    void fail(std::string message) {
        if (!error) {
            error = std::move(message);
        }
    }
};

// nlohmann's parser builds nested values recursively; input nesting deeper
// than the format ever does is refused before the parser sees it.
bool nestsDeeperThan(std::string_view text, std::size_t limit) {
    std::size_t depth = 0;
    bool inString = false;
    bool escaped = false;
    for (const char ch : text) {
        if (inString) {
            if (escaped) {
                escaped = false;
            } else if (ch == '\\') {
                escaped = true;
            } else if (ch == '"') {
                inString = false;
            }
            continue;
        }
        if (ch == '"') {
            inString = true;
        } else if (ch == '{' || ch == '[') {
            if (++depth > limit) {
                return true;
            }
        } else if ((ch == '}' || ch == ']') && depth > 0) {
            --depth;
        }
    }
    return false;
}

// The path without the root it lies under ("/" for the root itself);
// nothing for a path outside it.
std::optional<std::string> withoutRoot(std::string_view path, std::string_view root) {
    while (root.size() > 1 && root.back() == '/') {
        root.remove_suffix(1);
    }
    if (root.empty() || root == "/" || !path.starts_with(root)) {
        return std::nullopt;
    }
    if (path.size() == root.size()) {
        return "/";
    }
    if (path[root.size()] != '/') {
        return std::nullopt;
    }
    return std::string(path.substr(root.size()));
}

void stripRoot(std::optional<std::string>& path, std::string_view root) {
    if (path) {
        if (auto stripped = withoutRoot(*path, root)) {
            path = std::move(stripped);
        }
    }
}

} // namespace

Snapshot Snapshot::take(const Categories& categories, FingerprintReader& reader,
                        const Snapshot* reference) {
    return take(categories, reader, formatUtcTimestamp(std::chrono::system_clock::now()),
                currentHostName(), currentUserName(), reference);
}

Snapshot Snapshot::take(const Categories& categories, FingerprintReader& reader,
                        std::string takenAt, std::string hostName, std::string userName,
                        const Snapshot* reference) {
    FingerprintReader::KnownDefinitions known;
    if (reference != nullptr) {
        for (const SnapshotRecord& record : reference->records) {
            const Fingerprint& fingerprint = record.fingerprint;
            if (fingerprint.kind == Fingerprint::Kind::file && fingerprint.sha256 &&
                fingerprint.definition) {
                known.emplace(*fingerprint.sha256, &*fingerprint.definition);
            }
        }
    }
    Snapshot snapshot;
    snapshot.programHashLimit = reader.programHashLimit();
    snapshot.takenAt = std::move(takenAt);
    snapshot.hostName = std::move(hostName);
    snapshot.userName = std::move(userName);
    if (!reader.layout().hostRoot().empty()) {
        snapshot.root = reader.layout().hostRoot();
    }
    for (const LaunchScope scope : allScopes()) {
        for (const auto& [named, items] : categories) {
            if (named == scope) {
                if (!snapshot.covers(scope)) {
                    snapshot.scopes.push_back(scope);
                }
                for (const LaunchItem& item : items) {
                    snapshot.records.push_back({item, {}});
                }
            }
        }
    }

    // Reading and hashing thousands of small files is bound by system calls;
    // a few threads overlap them.
    std::vector<SnapshotRecord>& records = snapshot.records;
    const std::size_t threads = std::clamp<std::size_t>(std::thread::hardware_concurrency(), 1, 4);
    const std::size_t share = (records.size() + threads - 1) / std::max<std::size_t>(threads, 1);
    std::vector<std::future<void>> work;
    for (std::size_t begin = 0; begin < records.size(); begin += share) {
        const std::size_t end = std::min(records.size(), begin + share);
        work.push_back(std::async(std::launch::async, [&records, &reader, &known, begin, end] {
            for (std::size_t i = begin; i < end; ++i) {
                records[i].fingerprint = reader.read(records[i].item, &known);
            }
        }));
    }
    for (auto& part : work) {
        part.get();
    }
    return snapshot;
}

std::vector<LaunchScope> Snapshot::defaultScopes() {
    std::vector<LaunchScope> scopes;
    for (const LaunchScope scope : allScopes()) {
        if (scope != LaunchScope::mach) {
            scopes.push_back(scope);
        }
    }
    return scopes;
}

void Snapshot::markReadFromDisk(std::string diskRoot, std::vector<std::string> userNames) {
    offline = true;
    std::sort(userNames.begin(), userNames.end());
    users = std::move(userNames);
    // Records read from a disk already carry the Mac's paths; the programs
    // were read where they lie on this machine.
    for (SnapshotRecord& record : records) {
        stripRoot(record.fingerprint.executable, diskRoot);
    }
    root = std::move(diskRoot);
}

Snapshot Snapshot::withMacPaths() const {
    Snapshot result = *this;
    if (!root) {
        return result;
    }
    const std::string& under = *root;
    for (SnapshotRecord& record : result.records) {
        stripRoot(record.fingerprint.executable, under);
        if (offline) {
            continue;
        }
        LaunchItem& item = record.item;
        stripRoot(item.path, under);
        stripRoot(item.executablePath, under);
        stripRoot(item.parentApp, under);
        if (item.runs) {
            stripRoot(item.runs->path, under);
        }
    }
    if (!offline) {
        for (DefinitionProblem& problem : result.problems) {
            if (auto stripped = withoutRoot(problem.path, under)) {
                problem.path = std::move(*stripped);
            }
        }
    }
    result.root = std::nullopt;
    return result;
}

bool Snapshot::covers(LaunchScope scope) const {
    return std::find(scopes.begin(), scopes.end(), scope) != scopes.end();
}

std::vector<const SnapshotRecord*> Snapshot::recordsOf(LaunchScope scope) const {
    std::vector<const SnapshotRecord*> found;
    for (const SnapshotRecord& record : records) {
        if (record.item.scope == scope) {
            found.push_back(&record);
        }
    }
    return found;
}

nlohmann::ordered_json Snapshot::recordJson(const SnapshotRecord& record) {
    OrderedJson object = toJson(record.item);
    object["fingerprint"] = fingerprintJson(record.fingerprint);
    return object;
}

std::string Snapshot::toJsonText() const {
    OrderedJson document = OrderedJson::object();
    // What is written is always the present format, whatever was read.
    document["format"] = kFormat;
    document["takenAt"] = takenAt;
    document["hostName"] = hostName;
    document["userName"] = userName;
    if (programHashLimit) {
        document["programHashLimit"] = *programHashLimit;
    }
    // Readers that predate these keys skip them and take the snapshot as live.
    if (offline) {
        document["offline"] = true;
        document["users"] = users;
    }
    if (root) {
        document["root"] = *root;
    }
    OrderedJson categories = OrderedJson::object();
    for (const LaunchScope scope : scopes) {
        OrderedJson list = OrderedJson::array();
        for (const SnapshotRecord* record : recordsOf(scope)) {
            list.push_back(recordJson(*record));
        }
        categories[std::string(toText(scope))] = std::move(list);
    }
    document["categories"] = std::move(categories);
    if (!problems.empty()) {
        OrderedJson list = OrderedJson::array();
        for (const DefinitionProblem& problem : problems) {
            list.push_back(toJson(problem));
        }
        document["problems"] = std::move(list);
    }
    // Paths are bytes from the file system and need not be UTF-8.
    return jsonText(document, 2) + "\n";
}

std::variant<Snapshot, SnapshotError> Snapshot::fromJsonText(std::string_view text) {
    if (nestsDeeperThan(text, kMaxNesting)) {
        return SnapshotError{"nests deeper than " + std::to_string(kMaxNesting) +
                                 " levels; not a snapshot",
                             SnapshotError::Kind::notJson};
    }
    Json document;
    try {
        document = Json::parse(text);
    } catch (const Json::parse_error& failure) {
        // An error at the very end is a document that stops early (a copy
        // or a write cut off), not one that was never a snapshot.
        const bool atEnd = failure.byte >= text.size();
        return SnapshotError{std::string("not valid JSON (") + failure.what() + ")",
                             atEnd ? SnapshotError::Kind::cutShort : SnapshotError::Kind::notJson};
    } catch (const Json::exception& failure) {
        return SnapshotError{std::string("not valid JSON (") + failure.what() + ")",
                             SnapshotError::Kind::notJson};
    }
    if (!document.is_object()) {
        return SnapshotError{"not a snapshot: the document is not a JSON object",
                             SnapshotError::Kind::notJson};
    }

    Reader reader;
    Snapshot snapshot;
    const Json* format = reader.field(document, "format", "");
    if (format == nullptr) {
        return SnapshotError{"not a snapshot: missing \"format\"", SnapshotError::Kind::notJson};
    }
    if (!format->is_number_integer()) {
        return SnapshotError{"\"format\" must be an integer"};
    }
    if (format->is_number_unsigned() ? format->get<std::uint64_t>() > kFormat
                                     : format->get<std::int64_t>() > kFormat) {
        return SnapshotError{"format " + format->dump() + " is newer than this version reads (" +
                                 std::to_string(kFormat) + "); update Daemonary to read it",
                             SnapshotError::Kind::newer};
    }
    if (format->get<std::int64_t>() < kOldestFormat) {
        return SnapshotError{"unknown format " + format->dump()};
    }
    snapshot.format = format->get<int>();

    const auto takenAt = reader.text(document, "takenAt", "");
    const auto hostName = takenAt ? reader.text(document, "hostName", "") : std::nullopt;
    const auto userName = hostName ? reader.text(document, "userName", "") : std::nullopt;
    if (!userName) {
        return SnapshotError{*reader.error};
    }
    if (!parseUtcTimestamp(*takenAt)) {
        return SnapshotError{"\"takenAt\" must be a UTC time like 2026-12-07T13:00:00Z"};
    }
    snapshot.takenAt = *takenAt;
    snapshot.hostName = *hostName;
    snapshot.userName = *userName;
    if (document.contains("programHashLimit")) {
        const auto limit = reader.integer(document, "programHashLimit", "", 0);
        if (!limit) {
            return SnapshotError{*reader.error};
        }
        snapshot.programHashLimit = static_cast<std::uint64_t>(*limit);
    }
    if (const auto offline = document.find("offline"); offline != document.end()) {
        if (!offline->is_boolean()) {
            return SnapshotError{"\"offline\" must be true or false"};
        }
        snapshot.offline = offline->get<bool>();
    }
    if (const auto users = document.find("users"); users != document.end()) {
        if (!users->is_array() || !std::all_of(users->begin(), users->end(), [](const Json& name) {
                return name.is_string() && !name.get_ref<const std::string&>().empty();
            })) {
            return SnapshotError{"\"users\" must be an array of login names"};
        }
        for (const Json& name : *users) {
            snapshot.users.push_back(name.get<std::string>());
        }
    }
    if (document.contains("root")) {
        snapshot.root = reader.text(document, "root", "");
        if (!snapshot.root || snapshot.root->empty() || snapshot.root->front() != '/') {
            return SnapshotError{"\"root\" must be an absolute path"};
        }
    }

    const Json* categories = reader.field(document, "categories", "");
    if (categories == nullptr) {
        return SnapshotError{*reader.error};
    }
    if (!categories->is_object()) {
        return SnapshotError{"\"categories\" must be an object"};
    }
    std::vector<std::pair<LaunchScope, const Json*>> lists;
    for (const auto& [name, list] : categories->items()) {
        const auto scope = launchScopeFromText(name);
        if (!scope) {
            return SnapshotError{"unknown category \"" + name + "\""};
        }
        if (!list.is_array()) {
            return SnapshotError{"category \"" + name + "\" must be an array"};
        }
        lists.emplace_back(*scope, &list);
    }
    // Sidebar order whatever the document's key order.
    std::sort(lists.begin(), lists.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    for (const auto& [scope, list] : lists) {
        snapshot.scopes.push_back(scope);
        std::size_t position = 0;
        for (const Json& object : *list) {
            const std::string where =
                std::string(toText(scope)) + " record " + std::to_string(position++) + ": ";
            auto item = launchItemFromJson(object);
            if (const auto* failure = std::get_if<JsonError>(&item)) {
                return SnapshotError{where + failure->message};
            }
            SnapshotRecord record{std::get<LaunchItem>(std::move(item)), {}};
            if (record.item.scope != scope) {
                return SnapshotError{where + "scope \"" + std::string(toText(record.item.scope)) +
                                     "\" does not match its category"};
            }
            const Json* fingerprint = reader.field(object, "fingerprint", where);
            if (fingerprint == nullptr) {
                return SnapshotError{*reader.error};
            }
            auto parsed = reader.fingerprint(*fingerprint, where);
            if (!parsed) {
                return SnapshotError{*reader.error};
            }
            record.fingerprint = std::move(*parsed);
            // Format 1 kept no allowed state: its absence says nothing.
            if (snapshot.format < 2) {
                record.item.allowedInBackground = std::nullopt;
            }
            snapshot.records.push_back(std::move(record));
        }
    }

    if (const auto problems = document.find("problems"); problems != document.end()) {
        if (!problems->is_array()) {
            return SnapshotError{"\"problems\" must be an array"};
        }
        std::size_t position = 0;
        for (const Json& object : *problems) {
            const std::string where = "problem " + std::to_string(position++) + ": ";
            auto problem = definitionProblemFromJson(object);
            if (const auto* failure = std::get_if<std::string>(&problem)) {
                return SnapshotError{where + *failure};
            }
            const DefinitionProblem& parsed = std::get<DefinitionProblem>(problem);
            if (!snapshot.covers(parsed.scope)) {
                return SnapshotError{where + "category \"" + std::string(toText(parsed.scope)) +
                                     "\" is not in the snapshot"};
            }
            snapshot.problems.push_back(parsed);
        }
    }
    return snapshot;
}

} // namespace daemonary
