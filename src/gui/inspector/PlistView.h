#pragma once

#include "plist/PropertyList.h"

#include <QWidget>
#include <cstddef>
#include <optional>
#include <set>
#include <string>
#include <variant>
#include <vector>

class QVBoxLayout;

namespace daemonary {

// A property-list value as an indented, expandable tree of selectable texts:
// dictionaries and arrays become headers that open on a click, anything else
// one "key:" row. Every container starts collapsed.
//
// The open/closed flag belongs to a place in the tree (the chain of keys and
// indices from the root), not to the value shown there, so a new value keeps
// the flags of the places it shares with the old one.
class PlistView : public QWidget {
    Q_OBJECT

public:
    // A dictionary key or an array index.
    using PlaceSegment = std::variant<std::string, std::size_t>;
    using Place = std::vector<PlaceSegment>;

    explicit PlistView(QWidget* parent = nullptr);
    ~PlistView() override;

    // Shows a new value; places that are containers in both the old and the
    // new value keep their flags, all others are forgotten.
    void setValue(const PlistValue& value);
    // Shows nothing and forgets every flag, so the next value starts collapsed.
    void clear();

    const std::optional<PlistValue>& value() const { return m_value; }

    bool isExpanded(const Place& place) const;
    // Opening a place whose parent is closed does nothing; closing a place
    // forgets the flags of everything below it.
    void setExpanded(const Place& place, bool expanded);
    void toggle(const Place& place);

    // The rows as displayed, top to bottom, one text each ("Label: value",
    // "Sockets (0 items)"), indented by two blanks per level. Used for copying
    // the whole tree.
    QStringList displayedRows() const;

    // "Sockets/[0]": the text form of a place, also the "place" property of
    // every header widget.
    static QString placeText(const Place& place);

signals:
    void expansionChanged();

private:
    class Node;

    void rebuild();
    const PlistValue* valueAt(const Place& place) const;

    std::optional<PlistValue> m_value;
    std::set<Place> m_expanded;
    QVBoxLayout* m_layout = nullptr;
    Node* m_root = nullptr;
};

} // namespace daemonary
