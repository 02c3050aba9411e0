#include "CodeRequirement.h"

#include <vector>

namespace daemonary::hostsim {

namespace {

// The marker fields Apple puts in the certificates it issues for
// Developer ID: the leaf's, and the intermediate authority's.
constexpr std::string_view kDeveloperIdLeafField = "field.1.2.840.113635.100.6.1.13";
constexpr std::string_view kDeveloperIdIntermediateField = "field.1.2.840.113635.100.6.2.6";

std::vector<std::string> tokens(std::string_view text, bool& ok) {
    std::vector<std::string> result;
    std::size_t i = 0;
    while (i < text.size()) {
        const char c = text[i];
        if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
            ++i;
        } else if (text.substr(i, 2) == "/*") {
            const auto end = text.find("*/", i + 2);
            if (end == std::string_view::npos) {
                ok = false;
                return {};
            }
            i = end + 2;
        } else if (c == '(' || c == ')' || c == '!' || c == '=') {
            result.emplace_back(1, c);
            ++i;
        } else if (c == '"') {
            const auto end = text.find('"', i + 1);
            if (end == std::string_view::npos) {
                ok = false;
                return {};
            }
            // Kept with its opening quote, so a quoted "and" is no keyword.
            result.emplace_back(text.substr(i, end - i));
            i = end + 1;
        } else {
            std::size_t end = i;
            while (end < text.size() &&
                   std::string_view(" \t\n\r()!=\"").find(text[end]) == std::string_view::npos) {
                ++end;
            }
            result.emplace_back(text.substr(i, end - i));
            i = end;
        }
    }
    return result;
}

class Evaluator {
public:
    Evaluator(std::vector<std::string> tokens, const RequirementFacts& facts)
        : m_tokens(std::move(tokens)), m_facts(facts) {}

    std::optional<bool> run() {
        const auto value = expression();
        if (!value || m_next != m_tokens.size()) {
            return std::nullopt;
        }
        return value;
    }

private:
    bool take(std::string_view token) {
        if (m_next < m_tokens.size() && m_tokens[m_next] == token) {
            ++m_next;
            return true;
        }
        return false;
    }

    std::optional<std::string> value() {
        if (m_next >= m_tokens.size()) {
            return std::nullopt;
        }
        std::string token = m_tokens[m_next++];
        return token.starts_with('"') ? token.substr(1) : token;
    }

    std::optional<bool> expression() {
        auto result = conjunction();
        while (result && take("or")) {
            const auto right = conjunction();
            if (!right) {
                return std::nullopt;
            }
            result = *result || *right;
        }
        return result;
    }

    std::optional<bool> conjunction() {
        auto result = factor();
        while (result && take("and")) {
            const auto right = factor();
            if (!right) {
                return std::nullopt;
            }
            result = *result && *right;
        }
        return result;
    }

    std::optional<bool> factor() {
        if (take("!")) {
            const auto inner = factor();
            return inner ? std::optional<bool>(!*inner) : std::nullopt;
        }
        if (take("(")) {
            const auto inner = expression();
            return inner && take(")") ? inner : std::nullopt;
        }
        if (take("anchor")) {
            if (!take("apple")) {
                return std::nullopt;
            }
            const bool generic = take("generic");
            return m_facts.kind == SigningKind::apple ||
                   (generic && m_facts.kind == SigningKind::developerId);
        }
        if (take("identifier")) {
            take("=");
            const auto identifier = value();
            return identifier ? std::optional<bool>(*identifier == m_facts.identifier)
                              : std::nullopt;
        }
        if (take("certificate") || take("cert")) {
            return certificate();
        }
        return std::nullopt;
    }

    // POS[field.OID] [exists] or POS[subject.OU] = VALUE.
    std::optional<bool> certificate() {
        const auto slot = value();
        if (!slot) {
            return std::nullopt;
        }
        const auto open = slot->find('[');
        if (open == std::string::npos || !slot->ends_with(']')) {
            return std::nullopt;
        }
        const std::string position = slot->substr(0, open);
        const std::string key = slot->substr(open + 1, slot->size() - open - 2);
        const bool hasChain =
            m_facts.kind != SigningKind::adHoc; // ad-hoc code has no certificate at all
        if (key == "subject.OU") {
            if (!take("=")) {
                return std::nullopt;
            }
            const auto expected = value();
            if (!expected) {
                return std::nullopt;
            }
            return hasChain && position == "leaf" && m_facts.kind != SigningKind::apple &&
                   *expected == m_facts.team;
        }
        if (!key.starts_with("field.")) {
            return std::nullopt;
        }
        take("exists");
        const bool developerId = m_facts.kind == SigningKind::developerId;
        if (key == kDeveloperIdLeafField) {
            return developerId && position == "leaf";
        }
        if (key == kDeveloperIdIntermediateField) {
            return developerId && position == "1";
        }
        return false;
    }

    std::vector<std::string> m_tokens;
    const RequirementFacts& m_facts;
    std::size_t m_next = 0;
};

} // namespace

std::optional<bool> evaluateRequirement(std::string_view text, const RequirementFacts& facts) {
    bool ok = true;
    auto list = tokens(text, ok);
    if (!ok || list.empty()) {
        return std::nullopt;
    }
    return Evaluator(std::move(list), facts).run();
}

} // namespace daemonary::hostsim
