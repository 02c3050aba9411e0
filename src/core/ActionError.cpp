#include "ActionError.h"

namespace daemonary {

std::string ActionError::text() const {
    if (const LaunchError* launch = launchError()) {
        return launchErrorText(*launch);
    }
    return std::get<ServiceActionError>(error).description();
}

std::string launchErrorText(const LaunchError& error) {
    return error.description;
}

} // namespace daemonary
