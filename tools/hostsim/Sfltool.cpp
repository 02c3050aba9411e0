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

std::string dumpBtmText(const HostState& state) {
    const bool older = state.olderBtmShape;
    std::map<std::int32_t, std::vector<const BackgroundRecord*>> byUid;
    for (const BackgroundRecord& record : state.backgroundItems)
        byUid[record.uid].push_back(&record);

    std::string out;
    const auto field = [&](std::string_view key, const std::optional<std::string>& value) {
        const std::string text = value ? *value : "(null)";
        if (older) {
            std::string label = std::string(key) + ":";
            out += "  " + label + std::string(label.size() < 19 ? 19 - label.size() : 1, ' ') +
                   text + "\n";
        } else {
            out += std::string(key) + ": " + text + "\n";
        }
    };
    for (const auto& [uid, records] : byUid) {
        out += "========================\n Records for UID " + std::to_string(uid) +
               " : 1CAA5D2B-A526-49E2-9A6F-58CACBDF0AFB\n========================\n\n";
        int number = 0;
        for (const BackgroundRecord* r : records) {
            out += older ? "#" + std::to_string(++number) + " \n"
                         : "#" + std::to_string(++number) + ":\n";
            const std::uint64_t type = typeFlags(r->type);
            std::uint64_t disposition =
                (r->enabled ? 0x1 : 0) | (r->allowed ? 0x2 : 0) | (r->notified ? 0x8 : 0);
            std::vector<std::string> words = {r->enabled ? "enabled" : "disabled",
                                              r->allowed ? "allowed" : "disallowed", "visible"};
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
            field(older ? "Indentifier" : "Identifier", r->identifier);
            field("URL", r->url);
            field("Executable Path", r->executablePath);
            field("Generation", std::string("1"));
            if (!older || r->bundleIdentifier)
                field("Bundle Identifier", r->bundleIdentifier);
            field("Parent Identifier", r->parentIdentifier);
            out += older ? "  \n" : "\n";
        }
    }
    return out;
}

bool isDisallowedInBackground(const HostState& state, std::string_view label,
                              const std::optional<std::string>& definitionPath) {
    for (const BackgroundRecord& record : state.backgroundItems) {
        if (record.allowed)
            continue;
        if (record.identifier && withoutNumberPrefix(*record.identifier) == label)
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
    host.out() << dumpBtmText(opened.store->state());
    return 0;
}

} // namespace daemonary::hostsim
