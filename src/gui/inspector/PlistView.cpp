#include "inspector/PlistView.h"

#include "inspector/DisclosureButton.h"
#include "style/TextStyle.h"
#include "style/ViewStyle.h"
#include "table/ShownText.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QMouseEvent>
#include <QVBoxLayout>
#include <algorithm>

namespace daemonary {

namespace {

constexpr int kRowSpacing = 4;
constexpr int kChildIndent = 16;
constexpr auto kPlaceProperty = "place";

bool isContainer(const PlistValue& value) {
    return value.dictionary() != nullptr || value.array() != nullptr;
}

std::size_t memberCount(const PlistValue& value) {
    if (const auto* dictionary = value.dictionary()) {
        return dictionary->size();
    }
    if (const auto* array = value.array()) {
        return array->size();
    }
    return 0;
}

QString segmentText(const PlistView::PlaceSegment& segment) {
    if (const auto* key = std::get_if<std::string>(&segment)) {
        return shownText(*key);
    }
    return QStringLiteral("[%1]").arg(std::get<std::size_t>(segment));
}

bool hasPrefix(const PlistView::Place& place, const PlistView::Place& prefix) {
    return place.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), place.begin());
}

QString itemCount(qsizetype count) {
    return count == 1 ? PlistView::tr("1 item") : PlistView::tr("%1 items").arg(count);
}

QLabel* selectableLabel(const QString& text, const QFont& font, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setFont(font);
    label->setTextFormat(Qt::PlainText);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    return label;
}

} // namespace

// One displayed value: a header with its members below it, or one leaf row.
// Holds a pointer into the view's value, which outlives every node because the
// view rebuilds all nodes whenever it replaces the value.
class PlistView::Node : public QWidget {
public:
    Node(PlistView& view, const PlistValue& value, Place place, QWidget* parent)
        : QWidget(parent), m_view(view), m_value(value), m_place(std::move(place)) {
        setObjectName(QStringLiteral("plistNode"));
        setProperty(kPlaceProperty, placeText(m_place));
        m_layout = new QVBoxLayout(this);
        m_layout->setContentsMargins(0, 0, 0, 0);
        m_layout->setSpacing(kRowSpacing);
        if (isContainer(m_value)) {
            buildHeader();
            updateChildren();
        } else {
            buildLeaf();
        }
    }

    // Shows or drops the members to match the view's flag for this place.
    void updateChildren() {
        const bool expanded = m_view.isExpanded(m_place);
        if (m_disclosure != nullptr) {
            m_disclosure->setExpanded(expanded);
        }
        if (!expanded) {
            delete m_children;
            m_children = nullptr;
            return;
        }
        if (m_children == nullptr) {
            buildChildren();
        }
    }

    Node* childAt(const PlaceSegment& segment) const {
        if (m_children == nullptr) {
            return nullptr;
        }
        for (auto* child : m_childNodes) {
            if (child->m_place.back() == segment) {
                return child;
            }
        }
        return nullptr;
    }

    void appendRows(QStringList& rows, int depth) const {
        const QString indent(depth * 2, QLatin1Char(' '));
        rows.append(indent + m_rowText);
        if (m_children != nullptr) {
            for (const auto* child : m_childNodes) {
                child->appendRows(rows, depth + 1);
            }
        }
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        // A plain click on the header's texts toggles; a drag that selected
        // text does not.
        if (event->type() == QEvent::MouseButtonRelease) {
            const auto* mouse = static_cast<QMouseEvent*>(event);
            const auto* label = qobject_cast<QLabel*>(watched);
            if (mouse->button() == Qt::LeftButton && label != nullptr &&
                !label->hasSelectedText()) {
                m_view.toggle(m_place);
            }
        }
        return QWidget::eventFilter(watched, event);
    }

private:
    void buildHeader() {
        auto* header = new QWidget(this);
        header->setObjectName(QStringLiteral("plistHeader"));
        header->setProperty(kPlaceProperty, placeText(m_place));
        header->setCursor(Qt::PointingHandCursor);
        auto* row = new QHBoxLayout(header);
        row->setContentsMargins(0, 0, 0, 0);
        m_disclosure = new DisclosureButton(header);
        const auto count = static_cast<qsizetype>(memberCount(m_value));
        const QString name = m_place.empty() ? QString() : segmentText(m_place.back());
        m_disclosure->setAccessibleName(name.isEmpty() ? tr("Definition")
                                                       : tr("Member %1").arg(name));
        connect(m_disclosure, &QAbstractButton::clicked, this, [this] { m_view.toggle(m_place); });
        row->addWidget(m_disclosure, 0, Qt::AlignVCenter);

        if (m_place.empty()) {
            const QString title =
                (m_value.dictionary() != nullptr ? tr("Plist Content (%1)") : tr("Array (%1)"))
                    .arg(itemCount(count));
            auto* label = selectableLabel(
                title, TextStyle::withWeight(ViewStyle::body(), QFont::Bold), header);
            label->setObjectName(QStringLiteral("plistTitle"));
            label->installEventFilter(this);
            row->addWidget(label, 0, Qt::AlignVCenter);
            m_rowText = title;
        } else {
            auto* keyLabel = selectableLabel(
                name, TextStyle::withWeight(ViewStyle::body(), QFont::Medium), header);
            keyLabel->setObjectName(QStringLiteral("plistKey"));
            keyLabel->installEventFilter(this);
            const QString caption = QStringLiteral("(%1)").arg(itemCount(count));
            auto* countLabel = selectableLabel(caption, ViewStyle::caption(), header);
            countLabel->setObjectName(QStringLiteral("plistCount"));
            TextStyle::setSecondary(*countLabel);
            countLabel->installEventFilter(this);
            row->addWidget(keyLabel, 0, Qt::AlignVCenter);
            row->addWidget(countLabel, 0, Qt::AlignVCenter);
            m_rowText = name + QLatin1Char(' ') + caption;
        }
        row->addStretch(1);
        m_layout->addWidget(header);
    }

    void buildLeaf() {
        auto* row = new QHBoxLayout();
        row->setContentsMargins(0, 0, 0, 0);
        const QString value = shownText(m_value.description());
        if (!m_place.empty()) {
            const QString key = segmentText(m_place.back()) + QLatin1Char(':');
            auto* keyLabel =
                selectableLabel(key, TextStyle::withWeight(ViewStyle::body(), QFont::Medium), this);
            keyLabel->setObjectName(QStringLiteral("plistKey"));
            row->addWidget(keyLabel, 0, Qt::AlignTop);
            m_rowText = key + QLatin1Char(' ') + value;
        } else {
            m_rowText = value;
        }
        auto* valueLabel = selectableLabel(value, ViewStyle::monospacedBody(), this);
        valueLabel->setObjectName(QStringLiteral("plistValue"));
        valueLabel->setWordWrap(true);
        TextStyle::setSecondary(*valueLabel);
        row->addWidget(valueLabel, 1, Qt::AlignTop);
        m_layout->addLayout(row);
    }

    void buildChildren() {
        m_children = new QWidget(this);
        m_children->setObjectName(QStringLiteral("plistChildren"));
        auto* column = new QVBoxLayout(m_children);
        column->setContentsMargins(kChildIndent, 0, 0, 0);
        column->setSpacing(kRowSpacing);
        m_childNodes.clear();
        auto addChild = [&](const PlistValue& member, PlaceSegment segment) {
            Place childPlace = m_place;
            childPlace.push_back(std::move(segment));
            auto* child = new Node(m_view, member, std::move(childPlace), m_children);
            m_childNodes.push_back(child);
            column->addWidget(child);
        };
        if (const auto* dictionary = m_value.dictionary()) {
            // std::map keeps UTF-8 byte order, which is code-point order.
            for (const auto& [key, member] : *dictionary) {
                addChild(member, key);
            }
        } else if (const auto* array = m_value.array()) {
            for (std::size_t index = 0; index < array->size(); ++index) {
                addChild((*array)[index], index);
            }
        }
        m_layout->addWidget(m_children);
    }

    PlistView& m_view;
    const PlistValue& m_value;
    Place m_place;
    QVBoxLayout* m_layout = nullptr;
    DisclosureButton* m_disclosure = nullptr;
    QWidget* m_children = nullptr;
    std::vector<Node*> m_childNodes;
    QString m_rowText;
};

PlistView::PlistView(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("plistView"));
    setAccessibleName(tr("Service Definition"));
    m_layout = new QVBoxLayout(this);
    m_layout->setContentsMargins(0, 0, 0, 0);
    m_layout->setSpacing(kRowSpacing);
}

PlistView::~PlistView() = default;

void PlistView::setValue(const PlistValue& value) {
    m_value = value;
    for (auto it = m_expanded.begin(); it != m_expanded.end();) {
        const PlistValue* node = valueAt(*it);
        if (node == nullptr || !isContainer(*node)) {
            it = m_expanded.erase(it);
        } else {
            ++it;
        }
    }
    rebuild();
}

void PlistView::clear() {
    m_value.reset();
    m_expanded.clear();
    rebuild();
}

bool PlistView::isExpanded(const Place& place) const {
    return m_expanded.contains(place);
}

void PlistView::setExpanded(const Place& place, bool expanded) {
    if (expanded == isExpanded(place)) {
        return;
    }
    if (expanded) {
        const PlistValue* node = valueAt(place);
        if (node == nullptr || !isContainer(*node)) {
            return;
        }
        if (!place.empty() && !isExpanded(Place(place.begin(), place.end() - 1))) {
            return;
        }
        m_expanded.insert(place);
    } else {
        std::erase_if(m_expanded, [&](const Place& other) { return hasPrefix(other, place); });
    }

    Node* node = m_root;
    for (const auto& segment : place) {
        node = node != nullptr ? node->childAt(segment) : nullptr;
    }
    if (node != nullptr) {
        node->updateChildren();
    }
    emit expansionChanged();
}

void PlistView::toggle(const Place& place) {
    setExpanded(place, !isExpanded(place));
}

QStringList PlistView::displayedRows() const {
    QStringList rows;
    if (m_root != nullptr) {
        m_root->appendRows(rows, 0);
    }
    return rows;
}

QString PlistView::placeText(const Place& place) {
    QStringList parts;
    for (const auto& segment : place) {
        parts.append(segmentText(segment));
    }
    return parts.join(QLatin1Char('/'));
}

void PlistView::rebuild() {
    delete m_root;
    m_root = nullptr;
    if (m_value) {
        m_root = new Node(*this, *m_value, Place{}, this);
        m_layout->addWidget(m_root);
    }
}

const PlistValue* PlistView::valueAt(const Place& place) const {
    if (!m_value) {
        return nullptr;
    }
    const PlistValue* node = &*m_value;
    for (const auto& segment : place) {
        if (const auto* key = std::get_if<std::string>(&segment)) {
            const auto* dictionary = node->dictionary();
            if (dictionary == nullptr) {
                return nullptr;
            }
            const auto found = dictionary->find(*key);
            if (found == dictionary->end()) {
                return nullptr;
            }
            node = &found->second;
        } else {
            const auto index = std::get<std::size_t>(segment);
            const auto* array = node->array();
            if (array == nullptr || index >= array->size()) {
                return nullptr;
            }
            node = &(*array)[index];
        }
    }
    return node;
}

} // namespace daemonary
