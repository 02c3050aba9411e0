#include "TriggersTable.h"

#include "insight/TriggerFacts.h"
#include "listing/CategoryLoader.h"
#include "platform/FileSystem.h"
#include "plist/PlistJson.h"
#include "plist/PropertyList.h"
#include "text/JsonText.h"

namespace daemonary {

TriggersTable::TriggersTable(std::shared_ptr<const LaunchServiceManager> manager)
    : m_manager(std::move(manager)) {}

const std::vector<TableColumn>& TriggersTable::columns() const {
    static const std::vector<TableColumn> columns{
        {"category", "TEXT"}, {"label", "TEXT"}, {"kind", "TEXT"},
        {"text", "TEXT"},     {"value", "TEXT"},
    };
    return columns;
}

std::vector<TableRow> TriggersTable::generate(const QueryContext& context) const {
    std::vector<TableRow> rows;
    for (const auto& [scope, items] : loadCategories(*m_manager, requestedScopes(context))) {
        for (const LaunchItem& item : items) {
            // Only launchd definitions hold trigger facts; a helper tool or a
            // bundle can be large and is not worth reading to find none.
            if (!item.path || pathExtension(*item.path) != "plist") {
                continue;
            }
            const auto bytes = readFile(*item.path);
            const auto definition = bytes ? parsePropertyList(*bytes) : std::nullopt;
            const PlistDictionary* dictionary = definition ? definition->dictionary() : nullptr;
            if (dictionary == nullptr) {
                continue;
            }
            for (const TriggerFact& fact : triggerFacts(*dictionary)) {
                // A text stays itself, so `value = '/path'` works; anything
                // else is its JSON form.
                const std::string* text = fact.value.string();
                std::string value = text ? *text : jsonText(toJson(fact.value));
                rows.push_back(TableRow{{"category", std::string(toText(scope))},
                                        {"label", columnText(item.label)},
                                        {"kind", columnText(fact.kind)},
                                        {"text", columnText(fact.text)},
                                        {"value", columnText(value)}});
            }
        }
    }
    return rows;
}

} // namespace daemonary
