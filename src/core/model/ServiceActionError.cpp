#include "model/ServiceActionError.h"

namespace daemonary {

ServiceActionError ServiceActionError::commandFailed(std::string text) {
    return ServiceActionError(Kind::commandFailed, std::move(text));
}

ServiceActionError ServiceActionError::missingPath() {
    return ServiceActionError(Kind::missingPath, {});
}

std::string ServiceActionError::description() const {
    switch (m_kind) {
    case Kind::commandFailed:
        return "commandFailed(\"" + m_text + "\")";
    case Kind::missingPath:
        return "missingPath";
    }
    return "missingPath";
}

} // namespace daemonary
