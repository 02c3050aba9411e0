#include "LabelArgument.h"

namespace daemonary {

std::optional<std::string> LabelArgument::take(const std::vector<std::string>& arguments,
                                               std::size_t& i) {
    const std::string& argument = arguments[i];
    if (argument == "--") {
        // Everything after it is the label, even if it starts with "-".
        if (m_have || i + 2 != arguments.size()) {
            return "exactly one label is needed";
        }
        m_label = arguments[++i];
    } else if (argument.starts_with("-")) {
        return "unknown option \"" + argument + "\"";
    } else if (m_have) {
        return "exactly one label is needed, got also \"" + argument + "\"";
    } else {
        m_label = argument;
    }
    m_have = true;
    return std::nullopt;
}

std::optional<std::string> LabelArgument::missing(bool help) const {
    if (!m_have && !help) {
        return "a label is needed";
    }
    return std::nullopt;
}

} // namespace daemonary
