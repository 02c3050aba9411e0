#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace daemonary {

class LaunchctlTable;

// Answers "which is the first of these texts, in order, that contains this
// label?" for many labels at once. Asking each label against every text costs
// labels x texts substring searches (tens of millions for a large host); an
// Aho-Corasick automaton over the labels reads every text once instead, and a
// label is settled the first time it is seen, which is its earliest position.
// Matching is on bytes: case-sensitive, and a text equal to a label contains it.
class LabelMatcher {
public:
    // The labels to look for; duplicates share their answer. The views must
    // stay valid for the life of the matcher.
    explicit LabelMatcher(const std::vector<std::string_view>& labels);

    // For each label given at construction, in that order, the position in
    // `texts` of the first text that contains it, or nothing.
    std::vector<std::optional<std::size_t>>
    firstContaining(const std::vector<std::string_view>& texts) const;

    // The same over a job table's labels, in table order.
    std::vector<std::optional<std::size_t>> firstContaining(const LaunchctlTable& table) const;

private:
    static constexpr std::uint32_t kNone = 0xFFFFFFFFu;

    struct Node {
        std::uint32_t firstChild = kNone;
        std::uint32_t nextSibling = kNone;
        std::uint32_t failure = 0;
        // Nearest node on the failure chain (itself excluded) that ends a label.
        std::uint32_t outputLink = kNone;
        bool endsLabel = false;
        unsigned char byte = 0;
    };

    std::uint32_t child(std::uint32_t node, unsigned char byte) const;
    std::uint32_t addChild(std::uint32_t node, unsigned char byte);
    void buildLinks();

    std::vector<Node> m_nodes;
    // The root's children by byte: the root is where most failure chains end,
    // so its step must not walk a sibling list.
    std::vector<std::uint32_t> m_rootChildren;
    // The node where each given label ends; 0 (the root) for an empty label.
    std::vector<std::uint32_t> m_labelEnds;
    std::size_t m_distinctLabels = 0;
};

} // namespace daemonary
