#include "platform/Log.h"

#include "text/Text.h"

#include <atomic>
#include <cerrno>
#include <mutex>
#include <string>
#include <unistd.h>

namespace daemonary {

namespace {

struct LogState {
    std::mutex mutex;
    Log::Destination destination = Log::Destination::standardOutput;
    Log::Sink sink;
};

LogState& state() {
    static LogState instance;
    return instance;
}

thread_local Log::Capture* t_capture = nullptr;
std::atomic<bool> g_verbose{true};

void writeAll(int fd, const std::string& bytes) {
    const char* data = bytes.data();
    std::size_t remaining = bytes.size();
    while (remaining > 0) {
        const ssize_t written = ::write(fd, data, remaining);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return; // nowhere left to report a failed log write
        }
        data += written;
        remaining -= static_cast<std::size_t>(written);
    }
}

} // namespace

std::string Log::singleLine(std::string_view text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
        text.remove_suffix(1);
    }
    std::string escaped;
    escaped.reserve(text.size() + 1);
    for (const char c : text) {
        if (c == '\n') {
            escaped += "\\n";
        } else if (c == '\r') {
            escaped += "\\r";
        } else {
            escaped.push_back(c);
        }
    }
    return displayableText(escaped);
}

void Log::info(std::string_view text) {
    if (g_verbose.load(std::memory_order_relaxed)) {
        line(text);
    }
}

void Log::setVerbose(bool verbose) {
    g_verbose.store(verbose);
}

bool Log::isVerbose() {
    return g_verbose.load();
}

Log::Capture::Capture() : m_previous(t_capture) {
    t_capture = this;
}

Log::Capture::~Capture() {
    t_capture = m_previous;
}

void Log::line(std::string_view text) {
    std::string whole = singleLine(text);
    if (t_capture) {
        t_capture->m_lines.push_back(std::move(whole));
        return;
    }
    LogState& s = state();

    std::lock_guard lock(s.mutex);
    if (s.sink) {
        s.sink(whole);
        return;
    }
    whole.push_back('\n');
    // One write per line so that lines from several threads or processes
    // sharing the stream never interleave mid-line.
    writeAll(s.destination == Destination::standardError ? STDERR_FILENO : STDOUT_FILENO, whole);
}

void Log::setDestination(Destination destination) {
    LogState& s = state();
    std::lock_guard lock(s.mutex);
    s.destination = destination;
}

void Log::setSink(Sink sink) {
    LogState& s = state();
    std::lock_guard lock(s.mutex);
    s.sink = std::move(sink);
}

} // namespace daemonary
