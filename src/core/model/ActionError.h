#pragma once

#include "model/ServiceActionError.h"
#include "platform/ToolRunner.h"

#include <optional>
#include <string>
#include <variant>

namespace daemonary {

// What starting or stopping a service fails with: our own ServiceActionError,
// or the LaunchError of a launchctl that could not be started at all, passed
// on as it came.
struct ActionError {
    std::variant<ServiceActionError, LaunchError> error;

    const ServiceActionError* serviceActionError() const {
        return std::get_if<ServiceActionError>(&error);
    }
    const LaunchError* launchError() const { return std::get_if<LaunchError>(&error); }

    // The textual form for log lines: ServiceActionError::description(), or
    // launchErrorText() for a launch error.
    std::string text() const;
    // What a person reads, one plain line: for commandFailed its text alone
    // (launchctl's reason or a refusal), for missingPath what that means, and
    // the system's words for a launchctl that could not start.
    std::string reason() const;
};

// Nothing on success.
using ActionResult = std::optional<ActionError>;

// The system's own description of the failure ("No such file or directory"),
// as the discovery log lines write it too.
std::string launchErrorText(const LaunchError& error);

} // namespace daemonary
