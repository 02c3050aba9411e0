#pragma once

#include <string>
#include <utility>

namespace daemonary {

// The failures of starting and stopping a service that are our own (as opposed
// to launchctl not starting at all, which travels as a LaunchError).
class ServiceActionError {
public:
    enum class Kind { commandFailed, missingPath };

    // launchctl exited non-zero (its trimmed standard error, or "Unknown
    // Error"), or the stop was refused for a critical process.
    static ServiceActionError commandFailed(std::string text);
    // The item has no path, or (start only) nothing exists at it.
    static ServiceActionError missingPath();

    Kind kind() const { return m_kind; }
    // The payload of commandFailed; empty for missingPath.
    const std::string& text() const { return m_text; }

    // The form written to the log: the case name, and for commandFailed the
    // text in parentheses and double quotes: commandFailed("text").
    std::string description() const;

    bool operator==(const ServiceActionError&) const = default;

private:
    ServiceActionError(Kind kind, std::string text) : m_kind(kind), m_text(std::move(text)) {}

    Kind m_kind;
    std::string m_text;
};

} // namespace daemonary
