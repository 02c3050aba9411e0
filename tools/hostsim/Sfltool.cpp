#include "Sfltool.h"

#include "StateStore.h"
#include "discovery/BackgroundTaskTable.h"

#include <map>
#include <ostream>

namespace daemonary::hostsim {

namespace {

constexpr int kUsageStatus = 64;

std::uint64_t typeFlags(std::string_view words) {
    static constexpr std::pair<std::string_view, std::uint64_t> kWords[] = {
        {"app", 0x2},        {"login item", 0x4}, {"agent", 0x8},      {"daemon", 0x10},
        {"developer", 0x20}, {"legacy", 0x10000}, {"curated", 0x80000}};
    std::uint64_t flags = 0;
    for (const auto& [word, flag] : kWords) {
        if (words.find(word) != std::string_view::npos)
            flags |= flag;
    }
    return flags;
}

std::string hex(std::uint64_t value) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    do {
        text.insert(text.begin(), kDigits[value % 16]);
        value /= 16;
    } while (value != 0);
    return "0x" + text;
}

} // namespace

namespace {

// How macOS 13 names an app: by its designated requirement.
std::string requirementFor(std::string_view identifier, const std::optional<std::string>& team) {
    return "anchor apple generic and identifier \"" + std::string(withoutNumberPrefix(identifier)) +
           "\" and (certificate leaf[field.1.2.840.113635.100.6.1.9] /* exists */ or "
           "certificate 1[field.1.2.840.113635.100.6.2.6] /* exists */ and certificate "
           "leaf[field.1.2.840.113635.100.6.1.13] /* exists */ and certificate leaf[subject.OU] "
           "= " +
           team.value_or("UNKNOWN") + ")";
}

// Whether a record speaks for the caller: its own block, the system's, or
// the simulated user's (no uid given).
bool speaksFor(const BackgroundRecord& record, std::uint32_t callerUid) {
    return !record.uid || *record.uid < 0 || static_cast<std::uint32_t>(*record.uid) == callerUid;
}

} // namespace

std::string dumpBtmText(const HostState& state, std::uint32_t callerUid) {
    const BtmShape shape = state.btmShape;
    const bool older = shape == BtmShape::older;
    std::map<std::int64_t, std::vector<const BackgroundRecord*>> byUid;
    for (const BackgroundRecord& record : state.backgroundItems) {
        // An excerpt is quoted from one user's dump: it holds no other user's.
        if (shape == BtmShape::excerpt && !speaksFor(record, callerUid))
            continue;
        byUid[record.uid ? *record.uid : static_cast<std::int64_t>(callerUid)].push_back(&record);
    }
    // Under macOS 13 an app record, and every Parent Identifier naming it, is
    // the app's code requirement.
    std::map<std::string, std::string> appNames;
    if (older) {
        for (const BackgroundRecord& record : state.backgroundItems) {
            if (record.type == "app" && record.identifier)
                appNames[*record.identifier] =
                    requirementFor(*record.identifier, record.teamIdentifier);
        }
    }
    const auto named = [&](const std::optional<std::string>& identifier) {
        if (identifier) {
            if (const auto found = appNames.find(*identifier); found != appNames.end())
                return std::optional(found->second);
        }
        return identifier;
    };

    std::string out;
    int lineNumber = 0;
    const auto field = [&](std::string_view key, const std::optional<std::string>& value) {
        const std::string text = value ? *value : "(null)";
        if (older) {
            std::string label = std::string(key) + ":";
            out += "  " + label + std::string(label.size() < 19 ? 19 - label.size() : 1, ' ') +
                   text + "\n";
        } else if (shape == BtmShape::excerpt) {
            // Quoted text keeps neither the tool's indentation nor its own.
            out += std::string(static_cast<std::size_t>(lineNumber++ % 3), ' ') + std::string(key) +
                   ": " + text + (key == "Developer Name" ? " \n" : "\n");
        } else {
            out += std::string(key) + ": " + text + "\n";
        }
    };
    for (const auto& [uid, records] : byUid) {
        if (shape != BtmShape::excerpt)
            out += "========================\n Records for UID " + std::to_string(uid) +
                   " : 1CAA5D2B-A526-49E2-9A6F-58CACBDF0AFB\n========================\n\n";
        int number = 0;
        for (const BackgroundRecord* r : records) {
            ++number;
            if (older)
                out += "#" + std::to_string(number) + " \n";
            else if (shape == BtmShape::newer)
                out += "#" + std::to_string(number) + ":\n";
            else if (number % 2 == 0)
                out += " #" + std::to_string(number + 15) + ":\n";
            const std::uint64_t type = typeFlags(r->type);
            const std::uint64_t disposition =
                (r->enabled ? 0x1 : 0) | (r->allowed ? 0x2 : 0) | (r->notified ? 0x8 : 0);
            std::vector<std::string> words = {r->enabled ? "enabled" : "disabled",
                                              r->allowed ? "allowed" : "disallowed"};
            // Newer systems no longer print the hidden bit's clear form.
            if (older)
                words.emplace_back("visible");
            if (r->notified)
                words.emplace_back("notified");
            std::string joined;
            for (const std::string& word : words)
                joined += (joined.empty() ? "" : (older ? " " : ", ")) + word;
            field("UUID", r->uuid.empty() ? std::nullopt : std::optional(r->uuid));
            field("Name", r->name);
            field("Developer Name", r->developerName);
            field("Team Identifier", r->teamIdentifier);
            field("Type",
                  r->type + (older ? "  (" + std::to_string(type) + ")" : " (" + hex(type) + ")"));
            field("Disposition", "[" + joined + "] (" +
                                     (older ? std::to_string(disposition) : hex(disposition)) +
                                     ")");
            field(older ? "Indentifier" : "Identifier", named(r->identifier));
            field("URL", r->url);
            field("Executable Path", r->executablePath);
            field("Generation", std::string("1"));
            if (!older || r->bundleIdentifier)
                field("Bundle Identifier", r->bundleIdentifier);
            field("Parent Identifier", named(r->parentIdentifier));
            out += older ? "  \n" : "\n";
        }
    }
    return out;
}

bool isDisallowedInBackground(const HostState& state, std::string_view label,
                              const std::optional<std::string>& definitionPath) {
    for (const BackgroundRecord& record : state.backgroundItems) {
        // Another user's switch does not keep the simulated user's job from loading.
        if (record.allowed || (record.uid && *record.uid >= 0))
            continue;
        if (record.identifier && plainIdentifier(*record.identifier) == label)
            return true;
        if (record.url && definitionPath) {
            const auto path = pathFromBtmUrl(*record.url, std::nullopt);
            if (path && *path == "/" + *definitionPath)
                return true;
        }
    }
    return false;
}

int runSfltool(const HostContext& host, const std::vector<std::string>& arguments) {
    if (arguments.size() != 1 || arguments.front() != "dumpbtm") {
        host.err() << "Usage: sfltool dumpbtm\n";
        return kUsageStatus;
    }
    auto opened = StateStore::open(host, StateStore::Access::shared);
    if (!opened.store) {
        host.err() << "sfltool: " << opened.error << "\n";
        return 1;
    }
    host.out() << dumpBtmText(opened.store->state(), host.callerUid());
    return 0;
}

} // namespace daemonary::hostsim
