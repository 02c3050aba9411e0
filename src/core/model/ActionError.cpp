#include "model/ActionError.h"

namespace daemonary {

std::string ActionError::text() const {
    if (const LaunchError* launch = launchError()) {
        return launchErrorText(*launch);
    }
    return std::get<ServiceActionError>(error).description();
}

std::string ActionError::reason() const {
    if (const ServiceActionError* own = serviceActionError()) {
        return own->kind() == ServiceActionError::Kind::commandFailed
                   ? own->text()
                   : std::string("its definition file is gone");
    }
    return text();
}

std::string launchErrorText(const LaunchError& error) {
    return error.description;
}

} // namespace daemonary
