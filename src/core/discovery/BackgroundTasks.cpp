#include "discovery/BackgroundTasks.h"

#include "discovery/AppBundleScanner.h"
#include "platform/FileSystem.h"
#include "platform/Log.h"
#include "text/Text.h"
#include "text/TextParsing.h"

#include <cerrno>
#include <unistd.h>
#include <utility>

namespace daemonary {

namespace {

constexpr std::string_view kCommand = "sfltool dumpbtm";

std::string toolWords(const std::string& bytes) {
    std::string words;
    if (const auto decoded = decodeUtf8(bytes)) {
        for (const std::string_view line : splitLines(*decoded)) {
            const std::string_view trimmed = trimWhitespace(line);
            if (!trimmed.empty() && words.size() < 200) {
                words.append(words.empty() ? "" : " ").append(trimmed);
            }
        }
    }
    return displayableText(words);
}

ServiceType typeOf(const BackgroundItem& record) {
    if (record.typeFlags & BackgroundItem::kDaemon) {
        return ServiceType::launchDaemon;
    }
    if (record.typeFlags & BackgroundItem::kAgent) {
        return ServiceType::launchAgent;
    }
    return ServiceType::loginItem;
}

} // namespace

BackgroundTasks::BackgroundTasks(HostLayout layout)
    : BackgroundTasks(std::move(layout), static_cast<std::int64_t>(::getuid())) {}

BackgroundTasks::BackgroundTasks(HostLayout layout, std::int64_t userUid)
    : m_layout(std::move(layout)), m_userUid(userUid) {}

BackgroundTaskTable BackgroundTasks::loadTable() const {
    const ToolOptions options = m_layout.toolOptions(true, true);
    return tableFromRun(runTool(m_layout.sfltool(), {"dumpbtm"}, options), m_userUid,
                        options.timeLimit.value_or(kDefaultToolTimeout));
}

BackgroundTaskTable BackgroundTasks::tableFromRun(const ToolResult& result, std::int64_t userUid,
                                                  std::chrono::milliseconds timeLimit) {
    const std::string fallback =
        "; background items come from the app scan alone, allowed state unknown";
    if (result.launchError) {
        // A system without the tool (before macOS 13) keeps no records, so
        // nothing there is switched off; any other failure leaves it unknown.
        const bool absent = result.launchError->code == ENOENT;
        Log::line("Could not run " + std::string(kCommand) + ": " +
                  result.launchError->description +
                  (absent ? "; nothing is taken as switched off in the background" : fallback));
        return absent ? BackgroundTaskTable({}, userUid) : BackgroundTaskTable();
    }
    if (result.timedOut) {
        Log::line(std::string(kCommand) + " did not finish within " +
                  std::to_string(timeLimit.count() / 1000) + " s" + fallback);
        return {};
    }
    if (result.exitStatus != 0) {
        const std::string words = toolWords(result.standardError);
        Log::line(std::string(kCommand) + " failed with status " +
                  std::to_string(result.exitStatus) + (words.empty() ? "" : ": " + words) +
                  fallback);
        return {};
    }
    const auto text = decodeUtf8(result.standardOutput);
    if (!text) {
        Log::line(std::string(kCommand) + " printed text that is not UTF-8" + fallback);
        return {};
    }
    std::vector<BackgroundItem> records = parseDumpBtm(*text);
    if (records.size() >= kMaxBackgroundRecords) {
        Log::line(std::string(kCommand) + " printed more than " +
                  std::to_string(kMaxBackgroundRecords) + " records; the rest are ignored");
    }
    // A dump with UID blocks but no records is an answer; text without
    // either is not one.
    if (records.empty() && text->find("Records for UID") == std::string::npos) {
        Log::line(std::string(kCommand) + " printed no records" + fallback);
        return {};
    }
    BackgroundTaskTable table(std::move(records), userUid);
    for (const std::string& problem : table.problems()) {
        Log::line(problem);
    }
    return table;
}

std::string BackgroundTasks::macPath(std::string_view path) const {
    const std::string& root = m_layout.hostRoot();
    if (!root.empty() && path.starts_with(root) && path.size() > root.size() &&
        path[root.size()] == '/') {
        path.remove_prefix(root.size());
    }
    return std::string(path);
}

void BackgroundTasks::apply(LaunchItem& item, const BackgroundTaskTable& table,
                            std::size_t position) const {
    BackgroundItem facts = table.records()[position];
    const BackgroundItem* parent = table.parentOf(facts);
    if (parent && !facts.developerName && (parent->typeFlags & BackgroundItem::kDeveloper)) {
        facts.developerName = parent->name;
    }
    if (parent && !item.parentApp && parent->url && (parent->typeFlags & BackgroundItem::kApp)) {
        item.parentApp = m_layout.onHost(*parent->url);
    }
    item.allowedInBackground = facts.allowed();
    item.backgroundItem = std::move(facts);
}

std::vector<LaunchItem> BackgroundTasks::loadItems(const BackgroundTaskTable& table,
                                                   std::vector<DefinitionProblem>* problems) const {
    std::vector<LaunchItem> items = AppBundleScanner(m_layout).scan(problems);
    std::vector<bool> used(table.records().size(), false);
    for (LaunchItem& item : items) {
        if (!table.known()) {
            item.allowedInBackground = std::nullopt;
        }
        if (const auto position = table.findJob(macPath(item.path.value_or("")), item.label)) {
            apply(item, table, *position);
            used[*position] = true;
        }
    }

    std::size_t nameless = 0;
    for (std::size_t i = 0; i < table.records().size(); ++i) {
        const BackgroundItem& record = table.records()[i];
        if (used[i] || !record.isJob()) {
            continue;
        }
        std::optional<std::string> label;
        if (record.isLegacy() && record.identifier) {
            label = plainIdentifier(*record.identifier);
        } else if (record.bundleIdentifier) {
            label = record.bundleIdentifier;
        } else if (record.identifier) {
            label = plainIdentifier(*record.identifier);
        } else {
            label = record.name;
        }
        if (!label || label->empty()) {
            ++nameless;
            continue;
        }
        LaunchItem item;
        item.label = *label;
        bool fileExists = false;
        if (record.url) {
            const std::string onHost = m_layout.onHost(*record.url);
            if (!AppBundleScanner::staysInsideRoot(onHost, m_layout)) {
                Log::line("Skipping background item whose URL leaves the host: " +
                          displayableText(*record.url));
                continue;
            }
            item.path = onHost;
            fileExists = pathExists(onHost);
        }
        // A legacy job whose file is there is listed by the category of its folder.
        if (record.isLegacy() && fileExists) {
            continue;
        }
        bool programExists = false;
        if (record.executablePath) {
            const std::string program = m_layout.onHost(*record.executablePath);
            // A program that leads out of the host proves nothing is there.
            if (AppBundleScanner::staysInsideRoot(program, m_layout)) {
                item.executablePath = record.executablePath;
                programExists = pathExists(program);
            }
        }
        // A record whose files cannot be located (its app is not in the
        // dump) is not called orphaned: nothing says they are gone.
        item.orphaned = (record.url || record.executablePath) && !fileExists && !programExists;
        item.scope = LaunchScope::background;
        item.type = typeOf(record);
        apply(item, table, i);
        items.push_back(std::move(item));
    }
    if (nameless > 0) {
        Log::line("Skipped " + std::to_string(nameless) +
                  " background item record(s) without a name");
    }
    return items;
}

void BackgroundTasks::annotate(std::vector<LaunchItem>& items,
                               const BackgroundTaskTable& table) const {
    if (!table.known()) {
        for (LaunchItem& item : items) {
            item.allowedInBackground = std::nullopt;
        }
        return;
    }
    for (LaunchItem& item : items) {
        // A record annotated before against no answer is known now.
        item.allowedInBackground = true;
        const auto position = table.findJob(macPath(item.path.value_or("")), item.label);
        // Only a legacy record speaks for a job outside an app; an SMAppService
        // record that shares a label is another job.
        if (position && table.records()[*position].isLegacy()) {
            apply(item, table, *position);
        }
    }
}

std::vector<std::string> BackgroundTasks::directoriesRead() const {
    return AppBundleScanner(m_layout).directoriesRead();
}

} // namespace daemonary
