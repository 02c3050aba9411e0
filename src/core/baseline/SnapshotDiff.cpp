#include "baseline/SnapshotDiff.h"

#include "text/Text.h"

#include <algorithm>
#include <map>
#include <tuple>

namespace daemonary {

namespace {

using Identity = std::tuple<LaunchScope, ServiceType, std::string, std::optional<std::string>>;

Identity identityOf(const LaunchItem& item) {
    return {item.scope, item.type, item.label, item.path};
}

// Category order, then label, then path (a record without one first).
bool orderedBefore(const LaunchItem& a, const LaunchItem& b) {
    return std::tie(a.scope, a.label, a.path, a.type) < std::tie(b.scope, b.label, b.path, b.type);
}

std::string stampSize(const std::optional<FileStamp>& stamp) {
    return stamp ? std::to_string(stamp->size) : std::string();
}

std::string stampTime(const std::optional<FileStamp>& stamp) {
    return stamp ? formatUtcTimestamp(std::chrono::system_clock::from_time_t(
                       static_cast<std::time_t>(stamp->modified)))
                 : std::string();
}

void compare(std::vector<RecordChange>& changes, const char* field, const std::string& before,
             const std::string& after) {
    if (before != after) {
        changes.push_back({field, before, after});
    }
}

} // namespace

std::string RecordChange::description() const {
    const auto fromTo = [this](const std::string& what) {
        return what + " " + (before.empty() ? "(none)" : before) + " → " +
               (after.empty() ? "(none)" : after);
    };
    if (field == "contents") {
        return "contents changed";
    }
    if (field == "infoPlist") {
        return before.empty()  ? "information file added"
               : after.empty() ? "information file gone"
                               : "information file changed";
    }
    if (field == "executablePath") {
        return fromTo("executable path");
    }
    if (field == "kind") {
        return fromTo("file");
    }
    if (field == "allowedInBackground") {
        return fromTo("in the background");
    }
    if (field == "size") {
        return fromTo("size");
    }
    if (field == "modified") {
        return fromTo("modified");
    }
    if (field == "executable") {
        return fromTo("bundle executable");
    }
    if (field == "executableSize") {
        return fromTo("executable size");
    }
    if (field == "executableModified") {
        return fromTo("executable modified");
    }
    return fromTo(field);
}

std::vector<RecordChange> SnapshotDiff::changesBetween(const SnapshotRecord& before,
                                                       const SnapshotRecord& after) {
    std::vector<RecordChange> changes;
    compare(changes, "executablePath", before.item.executablePath.value_or(""),
            after.item.executablePath.value_or(""));
    const auto allowedText = [](const LaunchItem& item) {
        return std::string(item.allowedInBackground ? "allowed" : "not allowed");
    };
    compare(changes, "allowedInBackground", allowedText(before.item), allowedText(after.item));
    const Fingerprint& a = before.fingerprint;
    const Fingerprint& b = after.fingerprint;
    if (a.kind != b.kind) {
        // A different kind of thing at the path: its details do not compare.
        changes.push_back({"kind", std::string(toText(a.kind)), std::string(toText(b.kind))});
        return changes;
    }
    switch (a.kind) {
    case Fingerprint::Kind::file:
        compare(changes, "contents", a.sha256.value_or(""), b.sha256.value_or(""));
        break;
    case Fingerprint::Kind::largeFile:
        compare(changes, "size", stampSize(a.stamp), stampSize(b.stamp));
        compare(changes, "modified", stampTime(a.stamp), stampTime(b.stamp));
        break;
    case Fingerprint::Kind::bundle:
        compare(changes, "infoPlist", a.sha256.value_or(""), b.sha256.value_or(""));
        compare(changes, "executable", a.executable.value_or(""), b.executable.value_or(""));
        if (a.executable == b.executable) {
            compare(changes, "executableSize", stampSize(a.executableStamp),
                    stampSize(b.executableStamp));
            compare(changes, "executableModified", stampTime(a.executableStamp),
                    stampTime(b.executableStamp));
        }
        break;
    case Fingerprint::Kind::none:
    case Fingerprint::Kind::missing:
    case Fingerprint::Kind::unreadable:
        break;
    }
    return changes;
}

SnapshotDiff SnapshotDiff::between(const Snapshot& before, const Snapshot& after,
                                   const std::vector<LaunchScope>& scopes) {
    const auto wanted = [&](LaunchScope scope) {
        return std::find(scopes.begin(), scopes.end(), scope) != scopes.end() &&
               before.covers(scope) && after.covers(scope);
    };

    // Identities may repeat within a snapshot; the n-th of one side pairs with
    // the n-th of the other.
    std::map<Identity, std::vector<const SnapshotRecord*>> baseline;
    for (const SnapshotRecord& record : before.records) {
        if (wanted(record.item.scope)) {
            baseline[identityOf(record.item)].push_back(&record);
        }
    }
    std::map<Identity, std::size_t> used;
    SnapshotDiff diff;
    for (const SnapshotRecord& record : after.records) {
        if (!wanted(record.item.scope)) {
            continue;
        }
        const Identity identity = identityOf(record.item);
        const auto found = baseline.find(identity);
        std::size_t& position = used[identity];
        if (found == baseline.end() || position >= found->second.size()) {
            diff.added.push_back(record);
            continue;
        }
        const SnapshotRecord& old = *found->second[position++];
        auto changes = changesBetween(old, record);
        if (!changes.empty()) {
            diff.modified.push_back({old, record, std::move(changes)});
        }
    }
    for (const auto& [identity, records] : baseline) {
        const auto taken = used.find(identity);
        const std::size_t from = taken == used.end() ? 0 : taken->second;
        for (std::size_t i = from; i < records.size(); ++i) {
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
    return diff;
}

} // namespace daemonary
