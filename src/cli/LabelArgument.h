#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace daemonary {

// The one LABEL operand of commands that act on a single record. Takes
// `arguments[i]` when it is the label, "--" before it, or an unknown option;
// returns the usage error, if any. `i` moves past what was taken.
class LabelArgument {
public:
    std::optional<std::string> take(const std::vector<std::string>& arguments, std::size_t& i);
    // The error when no label came, unless help was asked for.
    std::optional<std::string> missing(bool help) const;
    const std::string& label() const { return m_label; }

private:
    std::string m_label;
    bool m_have = false;
};

} // namespace daemonary
