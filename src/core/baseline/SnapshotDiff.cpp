#include "baseline/SnapshotDiff.h"

#include "text/Text.h"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <iterator>
#include <map>
#include <tuple>

namespace daemonary {

namespace {

using Identity = std::tuple<LaunchScope, ServiceType, std::string, std::optional<std::string>,
                            std::optional<std::string>>;

// A live snapshot names no users (its user's records are in its user's
// home), so the user tells records apart only between two disks.
Identity identityOf(const LaunchItem& item, bool byUser) {
    return {item.scope, item.type, item.label, item.path,
            byUser ? item.user : std::optional<std::string>()};
}

// Category order, then label, then path (a record without one first).
bool orderedBefore(const LaunchItem& a, const LaunchItem& b) {
    return std::tie(a.scope, a.label, a.path, a.type, a.user) <
           std::tie(b.scope, b.label, b.path, b.type, b.user);
}

using Json = nlohmann::json;

// Values are shown whole up to this many characters, then cut.
constexpr std::size_t kMaxValueText = 160;

std::string valueText(const Json& value) {
    std::string text = value.dump(-1, ' ', false, Json::error_handler_t::replace);
    if (text.size() > kMaxValueText) {
        std::size_t cut = kMaxValueText;
        // Never in the middle of a UTF-8 sequence.
        while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) {
            --cut;
        }
        text = text.substr(0, cut) + "…";
    }
    return text;
}

std::string timeText(std::int64_t seconds) {
    return formatUtcTimestamp(
        std::chrono::system_clock::from_time_t(static_cast<std::time_t>(seconds)));
}

// "2026-12-07T13:00:00.000000100Z": change times differ by nanoseconds.
std::string preciseTimeText(std::int64_t nanoseconds) {
    constexpr std::int64_t kBillion = 1'000'000'000;
    std::int64_t seconds = nanoseconds / kBillion;
    std::int64_t fraction = nanoseconds % kBillion;
    if (fraction < 0) {
        fraction += kBillion;
        --seconds;
    }
    std::string text = timeText(seconds);
    std::string digits = std::to_string(fraction);
    text.insert(text.size() - 1, "." + std::string(9 - digits.size(), '0') + digits);
    return text;
}

// What the stamps of two records can be compared by.
enum class Stamps {
    whole,
    // One side was read from a copy of a Mac's disk: its inodes and change
    // times are the copy's, not the Mac's, and say nothing.
    contentOnly,
};

// The same version of a file, as far as both stamps can tell: inode and
// change time only where both recorded them.
bool sameStamp(const FileStamp& a, const FileStamp& b, Stamps stamps) {
    const auto differ = [](const auto& x, const auto& y) { return x && y && *x != *y; };
    return a.size == b.size && a.modified == b.modified &&
           (stamps == Stamps::contentOnly ||
            (!differ(a.inode, b.inode) && !differ(a.changedNanoseconds, b.changedNanoseconds)));
}

Json stampJson(const FileStamp& stamp) {
    Json object{{"size", stamp.size}, {"modified", timeText(stamp.modified)}};
    if (stamp.inode) {
        object["inode"] = *stamp.inode;
    }
    if (stamp.changedNanoseconds) {
        object["changedNanoseconds"] = *stamp.changedNanoseconds;
    }
    return object;
}

Json programJson(const Fingerprint& fingerprint) {
    if (!fingerprint.executableStamp) {
        return nullptr;
    }
    Json object = stampJson(*fingerprint.executableStamp);
    object["path"] = fingerprint.executable.value_or("");
    if (fingerprint.programSha256) {
        object["sha256"] = *fingerprint.programSha256;
    }
    if (!fingerprint.cdHashes.empty()) {
        object["cdhashes"] = fingerprint.cdHashes;
    }
    return object;
}

Json optionalText(const std::optional<std::string>& text) {
    return text ? Json(*text) : Json(nullptr);
}

void compareFact(std::vector<RecordChange>& changes, const char* key, Json before, Json after) {
    if (before != after) {
        changes.push_back({key, std::move(before), std::move(after), false});
    }
}

void compareProgram(std::vector<RecordChange>& changes, const Fingerprint& a, const Fingerprint& b,
                    Stamps stamps) {
    // Another program path is reported as such; a side without one recorded
    // nothing to compare with.
    if (!a.executable || !b.executable || *a.executable != *b.executable) {
        return;
    }
    const auto& x = a.executableStamp;
    const auto& y = b.executableStamp;
    bool changed = x.has_value() != y.has_value();
    if (x && y) {
        changed = a.programSha256 && b.programSha256 ? *a.programSha256 != *b.programSha256
                                                     : !sameStamp(*x, *y, stamps);
        // Other code under the same stamp (a program over the hashing limit).
        changed =
            changed || (!a.cdHashes.empty() && !b.cdHashes.empty() && a.cdHashes != b.cdHashes);
    }
    if (changed) {
        changes.push_back({"program", programJson(a), programJson(b), false});
    }
}

// Key by key where both sides kept the parsed definition; the bytes alone
// otherwise, or where only the form changed (XML to binary, spacing).
void compareDefinitions(std::vector<RecordChange>& changes, const char* factKey,
                        const Fingerprint& a, const Fingerprint& b) {
    if (a.sha256 == b.sha256) {
        return;
    }
    const std::size_t before = changes.size();
    if (a.definition && b.definition) {
        const Json& x = *a.definition;
        const Json& y = *b.definition;
        // Both are objects with sorted keys: walk them together.
        auto i = x.items().begin();
        auto j = y.items().begin();
        const auto xEnd = x.items().end();
        const auto yEnd = y.items().end();
        while (i != xEnd || j != yEnd) {
            if (j == yEnd || (i != xEnd && i.key() < j.key())) {
                changes.push_back({i.key(), i.value(), nullptr, true});
                ++i;
            } else if (i == xEnd || j.key() < i.key()) {
                changes.push_back({j.key(), nullptr, j.value(), true});
                ++j;
            } else {
                if (i.value() != j.value()) {
                    changes.push_back({i.key(), i.value(), j.value(), true});
                }
                ++i;
                ++j;
            }
        }
    }
    if (changes.size() == before) {
        compareFact(changes, factKey, optionalText(a.sha256), optionalText(b.sha256));
    }
}

// "added \"--evil\"; removed \"-q\"": elements counted, so that a repeated
// argument added is seen; only the order changed when neither.
std::string arrayChange(const Json& before, const Json& after) {
    std::map<std::string, int> counts;
    for (const Json& element : before) {
        ++counts[element.dump()];
    }
    std::vector<const Json*> added;
    for (const Json& element : after) {
        if (--counts[element.dump()] < 0) {
            added.push_back(&element);
        }
    }
    std::vector<const Json*> removed;
    std::map<std::string, int> remaining = counts;
    for (const Json& element : before) {
        int& left = remaining[element.dump()];
        if (left > 0) {
            removed.push_back(&element);
            --left;
        }
    }
    const auto list = [](const std::vector<const Json*>& elements) {
        std::string text;
        for (const Json* element : elements) {
            text += (text.empty() ? "" : ", ") + valueText(*element);
        }
        return text;
    };
    std::string text;
    if (!added.empty()) {
        text = "added " + list(added);
    }
    if (!removed.empty()) {
        text += (text.empty() ? "" : "; ") + std::string("removed ") + list(removed);
    }
    return text.empty() ? "order " + valueText(before) + " → " + valueText(after) : text;
}

// "added SuccessfulExit: false; removed NetworkState; Crashed: true → false"
std::string objectChange(const Json& before, const Json& after) {
    std::vector<std::string> parts;
    for (const auto& [key, value] : before.items()) {
        if (!after.contains(key)) {
            parts.push_back("removed " + key);
        } else if (after.at(key) != value) {
            parts.push_back(key + ": " + valueText(value) + " → " + valueText(after.at(key)));
        }
    }
    for (const auto& [key, value] : after.items()) {
        if (!before.contains(key)) {
            parts.push_back("added " + key + ": " + valueText(value));
        }
    }
    std::string text;
    for (const std::string& part : parts) {
        text += (text.empty() ? "" : "; ") + part;
    }
    return text;
}

std::string programText(const Json& program, bool withDigest = true) {
    if (withDigest && program.contains("sha256")) {
        return "SHA-256 " + program.at("sha256").get<std::string>();
    }
    std::string text = std::to_string(program.at("size").get<std::uint64_t>()) +
                       " bytes, modified " + program.at("modified").get<std::string>();
    if (program.contains("inode")) {
        text += ", inode " + std::to_string(program.at("inode").get<std::uint64_t>());
    }
    if (program.contains("changedNanoseconds")) {
        text += ", status changed " +
                preciseTimeText(program.at("changedNanoseconds").get<std::int64_t>());
    }
    return text;
}

} // namespace

std::string RecordChange::description() const {
    if (definitionKey) {
        if (before.is_null()) {
            return key + " added: " + valueText(after);
        }
        if (after.is_null()) {
            return key + " removed";
        }
        if (before.is_array() && after.is_array()) {
            return key + ": " + arrayChange(before, after);
        }
        if (before.is_object() && after.is_object()) {
            return key + ": " + objectChange(before, after);
        }
        return key + ": " + valueText(before) + " → " + valueText(after);
    }
    const auto plain = [](const Json& value) {
        return value.is_null()     ? std::string("(none)")
               : value.is_string() ? value.get<std::string>()
                                   : valueText(value);
    };
    const auto fromTo = [&](const std::string& what) {
        return what + " " + plain(before) + " → " + plain(after);
    };
    if (key == "program") {
        if (before.is_null()) {
            return "program appeared: " + programText(after);
        }
        if (after.is_null()) {
            return "program gone (was " + programText(before) + ")";
        }
        const bool hashed = before.contains("sha256") && after.contains("sha256");
        return "program changed: " +
               (hashed ? "SHA-256 " + before.at("sha256").get<std::string>() + " → " +
                             after.at("sha256").get<std::string>()
                       : programText(before, false) + " → " + programText(after, false));
    }
    if (key == "contents") {
        return "contents changed";
    }
    if (key == "informationFile") {
        return before.is_null()  ? "information file added"
               : after.is_null() ? "information file gone"
                                 : "information file changed";
    }
    if (key == "executablePath") {
        return fromTo("executable path");
    }
    if (key == "kind") {
        return fromTo("file");
    }
    if (key == "allowedInBackground") {
        return fromTo("in the background");
    }
    if (key == "executable") {
        return fromTo("bundle executable");
    }
    if (key == "changed") {
        return "status change time differs";
    }
    return fromTo(key);
}

namespace {

std::vector<RecordChange> changesOf(const SnapshotRecord& before, const SnapshotRecord& after,
                                    Stamps stamps) {
    std::vector<RecordChange> changes;
    compareFact(changes, "executablePath", optionalText(before.item.executablePath),
                optionalText(after.item.executablePath));
    if (before.item.allowedInBackground && after.item.allowedInBackground) {
        const auto allowedText = [](bool allowed) {
            return Json(allowed ? "allowed" : "not allowed");
        };
        compareFact(changes, "allowedInBackground", allowedText(*before.item.allowedInBackground),
                    allowedText(*after.item.allowedInBackground));
    }
    const Fingerprint& a = before.fingerprint;
    const Fingerprint& b = after.fingerprint;
    if (a.kind != b.kind) {
        // A different kind of thing at the path: its details do not compare.
        changes.push_back(
            {"kind", std::string(toText(a.kind)), std::string(toText(b.kind)), false});
        return changes;
    }
    switch (a.kind) {
    case Fingerprint::Kind::file:
        compareDefinitions(changes, "contents", a, b);
        break;
    case Fingerprint::Kind::largeFile:
        if (a.stamp && b.stamp && !sameStamp(*a.stamp, *b.stamp, stamps)) {
            const FileStamp& x = *a.stamp;
            const FileStamp& y = *b.stamp;
            compareFact(changes, "size", x.size, y.size);
            compareFact(changes, "modified", timeText(x.modified), timeText(y.modified));
            if (x.inode && y.inode && stamps == Stamps::whole) {
                compareFact(changes, "inode", *x.inode, *y.inode);
            }
            if (x.changedNanoseconds && y.changedNanoseconds && stamps == Stamps::whole) {
                compareFact(changes, "changed", *x.changedNanoseconds, *y.changedNanoseconds);
            }
        }
        break;
    case Fingerprint::Kind::bundle:
        compareDefinitions(changes, "informationFile", a, b);
        compareFact(changes, "executable", optionalText(a.executable), optionalText(b.executable));
        break;
    case Fingerprint::Kind::none:
    case Fingerprint::Kind::missing:
    case Fingerprint::Kind::unreadable:
        break;
    }
    compareProgram(changes, a, b, stamps);
    return changes;
}

} // namespace

std::vector<RecordChange> SnapshotDiff::changesBetween(const SnapshotRecord& before,
                                                       const SnapshotRecord& after) {
    return changesOf(before, after, Stamps::whole);
}

SnapshotDiff SnapshotDiff::between(const Snapshot& before, const Snapshot& after,
                                   const std::vector<LaunchScope>& scopes) {
    const bool offline = before.offline || after.offline;
    // A disk's records carry the Mac's paths; a simulated host's are taken
    // the same way so that the two compare.
    if (offline && !before.offline && before.root) {
        return between(before.withMacPaths(), after, scopes);
    }
    if (offline && !after.offline && after.root) {
        return between(before, after.withMacPaths(), scopes);
    }
    const Stamps stamps = offline ? Stamps::contentOnly : Stamps::whole;
    const bool byUser = before.offline && after.offline;
    const auto wanted = [&](LaunchScope scope) {
        return std::find(scopes.begin(), scopes.end(), scope) != scopes.end() &&
               before.covers(scope) && after.covers(scope);
    };

    const auto unknownIn = [&](const Snapshot& snapshot) {
        return std::any_of(snapshot.records.begin(), snapshot.records.end(),
                           [&](const SnapshotRecord& record) {
                               return wanted(record.item.scope) && !record.item.allowedInBackground;
                           });
    };
    SnapshotDiff diff;
    diff.readFromDiskBefore = before.offline;
    diff.readFromDiskAfter = after.offline;
    diff.allowedStateUnknownBefore = unknownIn(before);
    diff.allowedStateUnknownAfter = unknownIn(after);

    // Identities may repeat within a snapshot; the n-th of one side pairs with
    // the n-th of the other.
    std::map<Identity, std::vector<const SnapshotRecord*>> baseline;
    for (const SnapshotRecord& record : before.records) {
        if (wanted(record.item.scope)) {
            baseline[identityOf(record.item, byUser)].push_back(&record);
        }
    }
    std::map<Identity, std::size_t> used;
    for (const SnapshotRecord& record : after.records) {
        if (!wanted(record.item.scope)) {
            continue;
        }
        const Identity identity = identityOf(record.item, byUser);
        const auto found = baseline.find(identity);
        std::size_t& position = used[identity];
        if (found == baseline.end() || position >= found->second.size()) {
            diff.added.push_back(record);
            continue;
        }
        const SnapshotRecord& old = *found->second[position++];
        auto changes = changesOf(old, record, stamps);
        if (!changes.empty()) {
            diff.modified.push_back({old, record, std::move(changes)});
        }
    }
    for (const auto& [identity, records] : baseline) {
        const auto taken = used.find(identity);
        const std::size_t from = taken == used.end() ? 0 : taken->second;
        for (std::size_t i = from; i < records.size(); ++i) {
            // Without an answer from Background Task Management now, what
            // only its records listed is missing, not known to be gone.
            if (diff.allowedStateUnknownAfter &&
                records[i]->item.scope == LaunchScope::background &&
                records[i]->item.backgroundItem) {
                continue;
            }
            diff.removed.push_back(*records[i]);
        }
    }

    const auto byRecord = [](const SnapshotRecord& a, const SnapshotRecord& b) {
        return orderedBefore(a.item, b.item);
    };
    std::stable_sort(diff.added.begin(), diff.added.end(), byRecord);
    std::stable_sort(diff.removed.begin(), diff.removed.end(), byRecord);
    std::stable_sort(diff.modified.begin(), diff.modified.end(),
                     [](const ModifiedRecord& a, const ModifiedRecord& b) {
                         return orderedBefore(a.after.item, b.after.item);
                     });

    // A problem stays the same while its file fails for the same reason; a
    // new reason is one problem gone and another found.
    const auto problemBefore = [](const DefinitionProblem& a, const DefinitionProblem& b) {
        return std::tie(a.scope, a.path, a.reason) < std::tie(b.scope, b.path, b.reason);
    };
    const auto wantedProblems = [&](const std::vector<DefinitionProblem>& problems) {
        std::vector<DefinitionProblem> kept;
        std::copy_if(problems.begin(), problems.end(), std::back_inserter(kept),
                     [&](const DefinitionProblem& problem) { return wanted(problem.scope); });
        std::sort(kept.begin(), kept.end(), problemBefore);
        return kept;
    };
    const std::vector<DefinitionProblem> oldProblems = wantedProblems(before.problems);
    const std::vector<DefinitionProblem> newProblems = wantedProblems(after.problems);
    std::set_difference(newProblems.begin(), newProblems.end(), oldProblems.begin(),
                        oldProblems.end(), std::back_inserter(diff.addedProblems), problemBefore);
    std::set_difference(oldProblems.begin(), oldProblems.end(), newProblems.begin(),
                        newProblems.end(), std::back_inserter(diff.removedProblems), problemBefore);
    return diff;
}

} // namespace daemonary
