#include "discovery/BackgroundTasks.h"

#include "discovery/AppBundleScanner.h"
#include "platform/FileSystem.h"
#include "platform/Log.h"
#include "text/Text.h"
#include "text/TextParsing.h"

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

BackgroundTasks::BackgroundTasks(HostLayout layout) : m_layout(std::move(layout)) {}

BackgroundTaskTable BackgroundTasks::loadTable() const {
    const ToolOptions options = m_layout.toolOptions(true, true);
    return tableFromRun(runTool(m_layout.sfltool(), {"dumpbtm"}, options),
                        options.timeLimit.value_or(kDefaultToolTimeout));
}

BackgroundTaskTable BackgroundTasks::tableFromRun(const ToolResult& result,
                                                  std::chrono::milliseconds timeLimit) {
    const std::string fallback = "; background items come from the app scan alone";
    if (result.launchError) {
        Log::line("Could not run " + std::string(kCommand) + ": " +
                  result.launchError->description + fallback);
        return {};
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
    BackgroundTaskTable table(std::move(records));
    for (const std::string& problem : table.problems()) {
        Log::line(problem);
    }
    if (table.empty() && !trimWhitespaceAndNewlines(*text).empty()) {
        Log::line(std::string(kCommand) + " printed no records" + fallback);
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
            label = record.identifier;
        } else if (record.bundleIdentifier) {
            label = record.bundleIdentifier;
        } else if (record.identifier) {
            label = std::string(withoutNumberPrefix(*record.identifier));
        } else {
            label = record.name;
        }
        if (!label || (!record.url && !record.executablePath)) {
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
        item.executablePath = record.executablePath;
        const bool programExists =
            record.executablePath && pathExists(m_layout.onHost(*record.executablePath));
        item.orphaned = !fileExists && !programExists;
        item.scope = LaunchScope::background;
        item.type = typeOf(record);
        apply(item, table, i);
        items.push_back(std::move(item));
    }
    if (nameless > 0) {
        Log::line("Skipped " + std::to_string(nameless) +
                  " background item record(s) without a name or URL");
    }
    return items;
}

void BackgroundTasks::annotate(std::vector<LaunchItem>& items,
                               const BackgroundTaskTable& table) const {
    if (table.empty()) {
        return;
    }
    for (LaunchItem& item : items) {
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
