#pragma once

#include "insight/TriggerFacts.h"
#include "plist/PropertyList.h"

#include <QWidget>
#include <optional>
#include <vector>

class QVBoxLayout;

namespace daemonary {

// "Why It Runs": the trigger facts of a definition, one selectable line each.
// Hidden while there is no definition. Computing the facts reads nothing,
// so it happens where the definition arrives.
class TriggerSection : public QWidget {
    Q_OBJECT

public:
    explicit TriggerSection(QWidget* parent = nullptr);

    // leading: facts that come before the definition's (what Background Task
    // Management says); shown even without a definition.
    void setDefinition(const std::optional<PlistDictionary>& definition,
                       std::vector<TriggerFact> leading = {});
    void clear();

    const std::vector<TriggerFact>& facts() const { return m_facts; }

private:
    std::vector<TriggerFact> m_facts;
    QWidget* m_lines = nullptr;
    QVBoxLayout* m_linesLayout = nullptr;
};

} // namespace daemonary
