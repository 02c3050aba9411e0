#include "inspector/TriggerSection.h"

#include "insight/LogTail.h"
#include "style/TextStyle.h"
#include "style/ViewStyle.h"
#include "text/Text.h"

#include <QFrame>
#include <QLabel>
#include <QVBoxLayout>

namespace daemonary {

namespace {

constexpr int kSectionSpacing = 16;
constexpr int kLineSpacing = 4;

} // namespace

TriggerSection::TriggerSection(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("triggerSection"));
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(kSectionSpacing);

    auto* line = new QFrame(this);
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);
    column->addWidget(line);

    auto* heading = new QLabel(tr("Why It Runs"), this);
    heading->setObjectName(QStringLiteral("triggerHeading"));
    heading->setFont(TextStyle::headline());
    heading->setTextFormat(Qt::PlainText);
    heading->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    column->addWidget(heading);

    m_lines = new QWidget(this);
    m_lines->setObjectName(QStringLiteral("triggerFacts"));
    m_lines->setAccessibleName(tr("Why it runs"));
    m_linesLayout = new QVBoxLayout(m_lines);
    m_linesLayout->setContentsMargins(0, 0, 0, 0);
    m_linesLayout->setSpacing(kLineSpacing);
    column->addWidget(m_lines);
    hide();
}

void TriggerSection::clear() {
    m_facts.clear();
    while (QLayoutItem* entry = m_linesLayout->takeAt(0)) {
        delete entry->widget();
        delete entry;
    }
    hide();
}

void TriggerSection::setDefinition(const std::optional<PlistDictionary>& definition,
                                   std::vector<TriggerFact> leading) {
    clear();
    if (!definition && leading.empty()) {
        return;
    }
    m_facts = std::move(leading);
    const std::size_t leadingCount = m_facts.size();
    if (definition) {
        std::vector<TriggerFact> own = triggerFacts(*definition);
        m_facts.insert(m_facts.end(), std::make_move_iterator(own.begin()),
                       std::make_move_iterator(own.end()));
    }
    auto addLine = [this](const QString& text) {
        auto* label = new QLabel(text, m_lines);
        label->setObjectName(QStringLiteral("triggerFact"));
        label->setFont(ViewStyle::body());
        label->setTextFormat(Qt::PlainText);
        label->setWordWrap(true);
        label->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
        m_linesLayout->addWidget(label);
        return label;
    };
    for (const TriggerFact& fact : m_facts) {
        // Definition text may hold controls or direction overrides; they are
        // shown, not obeyed.
        QLabel* label = addLine(QString::fromStdString(displayableText(fact.text)));
        label->setProperty("kind", QString::fromStdString(fact.kind));
        if (fact.unreadable) {
            TextStyle::setSecondary(*label);
        }
    }
    if (definition && m_facts.size() == leadingCount) {
        TextStyle::setSecondary(*addLine(tr("Nothing in its definition starts it.")));
    }
    show();
}

} // namespace daemonary
