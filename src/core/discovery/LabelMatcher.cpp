#include "discovery/LabelMatcher.h"

#include "discovery/LaunchctlTable.h"

#include <limits>

namespace daemonary {

namespace {

constexpr std::size_t kUnsettled = std::numeric_limits<std::size_t>::max();

} // namespace

LabelMatcher::LabelMatcher(const std::vector<std::string_view>& labels)
    : m_rootChildren(256, kNone) {
    std::size_t totalBytes = 1;
    for (const std::string_view label : labels) {
        totalBytes += label.size();
    }
    m_nodes.reserve(totalBytes);
    m_nodes.emplace_back(); // the root
    m_labelEnds.reserve(labels.size());

    for (const std::string_view label : labels) {
        std::uint32_t node = 0;
        for (const char ch : label) {
            const auto byte = static_cast<unsigned char>(ch);
            const std::uint32_t next = child(node, byte);
            node = next != kNone ? next : addChild(node, byte);
        }
        // The root stands for the empty label; it is answered apart.
        if (node != 0 && !m_nodes[node].endsLabel) {
            m_nodes[node].endsLabel = true;
            ++m_distinctLabels;
        }
        m_labelEnds.push_back(node);
    }
    buildLinks();
}

std::uint32_t LabelMatcher::child(std::uint32_t node, unsigned char byte) const {
    if (node == 0) {
        return m_rootChildren[byte];
    }
    for (std::uint32_t c = m_nodes[node].firstChild; c != kNone; c = m_nodes[c].nextSibling) {
        if (m_nodes[c].byte == byte) {
            return c;
        }
    }
    return kNone;
}

std::uint32_t LabelMatcher::addChild(std::uint32_t node, unsigned char byte) {
    const auto added = static_cast<std::uint32_t>(m_nodes.size());
    Node created;
    created.byte = byte;
    if (node == 0) {
        m_rootChildren[byte] = added;
    } else {
        created.nextSibling = m_nodes[node].firstChild;
        m_nodes[node].firstChild = added;
    }
    m_nodes.push_back(created);
    return added;
}

void LabelMatcher::buildLinks() {
    // Breadth first, so that every failure target is finished before the
    // nodes that point at it.
    std::vector<std::uint32_t> queue;
    queue.reserve(m_nodes.size());
    for (const std::uint32_t c : m_rootChildren) {
        if (c != kNone) {
            queue.push_back(c); // failure 0, no output link: the defaults
        }
    }
    for (std::size_t head = 0; head < queue.size(); ++head) {
        const std::uint32_t parent = queue[head];
        for (std::uint32_t c = m_nodes[parent].firstChild; c != kNone; c = m_nodes[c].nextSibling) {
            const unsigned char byte = m_nodes[c].byte;
            std::uint32_t fallback = m_nodes[parent].failure;
            std::uint32_t target = child(fallback, byte);
            while (target == kNone && fallback != 0) {
                fallback = m_nodes[fallback].failure;
                target = child(fallback, byte);
            }
            const std::uint32_t failure = target == kNone ? 0 : target;
            m_nodes[c].failure = failure;
            m_nodes[c].outputLink =
                m_nodes[failure].endsLabel ? failure : m_nodes[failure].outputLink;
            queue.push_back(c);
        }
    }
}

std::vector<std::optional<std::size_t>>
LabelMatcher::firstContaining(const std::vector<std::string_view>& texts) const {
    // Per node: the position that settled the label ending there, and the
    // next label end on its output chain that may still be unsettled. Settled
    // ends are skipped with path compression, so every text position costs
    // only the labels that are new at it, however many labels end there.
    std::vector<std::size_t> settled(m_nodes.size(), kUnsettled);
    std::vector<std::uint32_t> skip(m_nodes.size(), kNone);
    for (std::size_t n = 0; n < m_nodes.size(); ++n) {
        skip[n] = m_nodes[n].outputLink;
    }
    const auto firstUnsettled = [&](std::uint32_t start) {
        std::uint32_t found = start;
        while (found != kNone && settled[found] != kUnsettled) {
            found = skip[found];
        }
        while (start != found) {
            const std::uint32_t next = skip[start];
            skip[start] = found;
            start = next;
        }
        return found;
    };

    std::size_t remaining = m_distinctLabels;
    for (std::size_t position = 0; position < texts.size() && remaining > 0; ++position) {
        std::uint32_t state = 0;
        for (const char ch : texts[position]) {
            const auto byte = static_cast<unsigned char>(ch);
            std::uint32_t next = child(state, byte);
            while (next == kNone && state != 0) {
                state = m_nodes[state].failure;
                next = child(state, byte);
            }
            state = next == kNone ? 0 : next;

            const Node& reached = m_nodes[state];
            std::uint32_t end = firstUnsettled(reached.endsLabel ? state : reached.outputLink);
            while (end != kNone) {
                settled[end] = position;
                --remaining;
                end = firstUnsettled(skip[end]);
            }
        }
    }

    std::vector<std::optional<std::size_t>> positions;
    positions.reserve(m_labelEnds.size());
    for (const std::uint32_t end : m_labelEnds) {
        if (end == 0) {
            // The empty label is in every text, the empty one included.
            positions.push_back(texts.empty() ? std::nullopt : std::optional<std::size_t>(0));
        } else if (settled[end] != kUnsettled) {
            positions.push_back(settled[end]);
        } else {
            positions.push_back(std::nullopt);
        }
    }
    return positions;
}

std::vector<std::optional<std::size_t>>
LabelMatcher::firstContaining(const LaunchctlTable& table) const {
    std::vector<std::string_view> texts;
    texts.reserve(table.size());
    for (const LaunchctlEntry& entry : table.entries()) {
        texts.push_back(entry.label);
    }
    return firstContaining(texts);
}

} // namespace daemonary
