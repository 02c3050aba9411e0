#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace daemonary {

// Why a child could not be started (errno and its description).
struct LaunchError {
    int code = 0;
    std::string description;
};

// A captured stream longer than this is not tool output the application can
// use: the system tools print kilobytes, and a tool that never stops writing
// must neither fill memory nor keep the caller waiting.
inline constexpr std::size_t kMaxCapturedBytes = 16 * 1024 * 1024;

// How long a system tool (launchctl, osascript, kmutil, codesign, sfltool)
// may run before it is killed with its process group. Every caller takes its
// limit from here (through HostLayout::toolTimeout, which tests can lower).
inline constexpr std::chrono::milliseconds kDefaultToolTimeout{10'000};

struct ToolResult {
    std::optional<LaunchError> launchError;
    std::string standardOutput; // raw bytes
    std::string standardError;  // raw bytes
    // The exit code; the signal number for a child ended by a signal.
    std::int32_t exitStatus = 0;
    // The time limit ran out (or the run was cancelled) and the child was
    // killed; the streams hold what it wrote until then and exitStatus is
    // only that of the kill.
    bool timedOut = false;
};

struct ToolOptions {
    bool captureOutput = false;
    bool captureError = false;
    // None: wait as long as the child runs.
    std::optional<std::chrono::milliseconds> timeLimit;
    // Per stream; over it the run fails as described at runTool.
    std::size_t maxCapturedBytes = kMaxCapturedBytes;
    // Set from another thread to end the run early, as a timeout would.
    const std::atomic<bool>* cancel = nullptr;
    // Why nothing may run (a Mac's disk read as evidence): the run is
    // refused before anything is started, with a launch error (EPERM) and
    // one log line.
    std::optional<std::string> refusal;
};

// Runs an executable by absolute path with an argument vector (no shell, no
// search path), captures the chosen streams on pipes of their own, drains them
// together so neither blocks the other, and waits for the child. Streams that
// are not captured are inherited. Never leaves a child unreaped. A captured
// stream that exceeds kMaxCapturedBytes is closed (the child then dies of
// SIGPIPE or sees EPIPE) and the call reports a launch error (EFBIG) with no
// output, so every caller treats it as a tool it could not use.
ToolResult runTool(const std::string& executable, const std::vector<std::string>& arguments,
                   bool captureOutput, bool captureError);

// The same with a time limit: a child (run in a process group of its own)
// still running when the limit or a cancel comes is killed with its whole
// group and reaped, and the result says timedOut.
ToolResult runTool(const std::string& executable, const std::vector<std::string>& arguments,
                   const ToolOptions& options);

// "launchctl list did not answer within 10 s and was stopped": the one log
// line for a run that timed out.
std::string timedOutMessage(std::string_view command, std::chrono::milliseconds limit);

// Kills the process group of every time-limited child still running, so that
// quitting, or a signal like Ctrl-C, does not leave stuck tools behind.
// Async-signal-safe; later limited runs are refused (they report ECANCELED)
// once it has been called.
void killRunningTools();

} // namespace daemonary
