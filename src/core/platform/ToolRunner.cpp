#include "platform/ToolRunner.h"

#include "platform/Log.h"
#include "text/Text.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <pthread.h>
#include <spawn.h>
#include <string>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace daemonary {

namespace {

struct Pipe {
    int readEnd = -1;
    int writeEnd = -1;

    ~Pipe() {
        closeRead();
        closeWrite();
    }
    void closeRead() {
        if (readEnd >= 0) {
            ::close(readEnd);
            readEnd = -1;
        }
    }
    void closeWrite() {
        if (writeEnd >= 0) {
            ::close(writeEnd);
            writeEnd = -1;
        }
    }
};

// Both ends close-on-exec from the start: a child spawned concurrently by
// another thread must never inherit them, or our reads would never see EOF.
int openPipe(Pipe& pipe) {
    int fds[2];
#if defined(__APPLE__)
    // No pipe2 here: runTool holds spawnMutex() from pipe creation until the
    // child exists, so no concurrent runTool spawns between pipe and fcntl.
    if (::pipe(fds) != 0) {
        return errno;
    }
    ::fcntl(fds[0], F_SETFD, FD_CLOEXEC);
    ::fcntl(fds[1], F_SETFD, FD_CLOEXEC);
#else
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        return errno;
    }
#endif
    pipe.readEnd = fds[0];
    pipe.writeEnd = fds[1];
    return 0;
}

#if defined(__APPLE__)
std::mutex& spawnMutex() {
    static std::mutex mutex;
    return mutex;
}
#endif

ToolResult launchFailure(int code) {
    ToolResult result;
    result.launchError = LaunchError{code, std::strerror(code)};
    return result;
}

class FileActions {
public:
    FileActions() { m_status = ::posix_spawn_file_actions_init(&m_actions); }
    ~FileActions() {
        if (m_status == 0) {
            ::posix_spawn_file_actions_destroy(&m_actions);
        }
    }
    FileActions(const FileActions&) = delete;
    FileActions& operator=(const FileActions&) = delete;

    int status() const { return m_status; }
    // dup2 onto the standard descriptor clears close-on-exec on the copy, so
    // the child keeps exactly its own stdout/stderr and nothing else.
    int redirect(int from, int to) {
        return ::posix_spawn_file_actions_adddup2(&m_actions, from, to);
    }
    int readNothing(int to) {
        return ::posix_spawn_file_actions_addopen(&m_actions, to, "/dev/null", O_RDONLY, 0);
    }
    posix_spawn_file_actions_t* get() { return &m_actions; }

private:
    posix_spawn_file_actions_t m_actions{};
    int m_status = 0;
};

using Clock = std::chrono::steady_clock;

// The process groups of the limited children now running, where a signal
// handler can read them: fixed lock-free slots, 0 when free.
static_assert(std::atomic<pid_t>::is_always_lock_free);
constexpr std::size_t kTrackedGroups = 256;
std::array<std::atomic<pid_t>, kTrackedGroups> g_runningGroups{};
std::atomic<bool> g_killingTools{false};
// Limited runs between their check of g_killingTools and their slot.
std::atomic<int> g_startingTools{0};
static_assert(std::atomic<int>::is_always_lock_free);

// While a limited child is started and tracked, the signals that end the
// command-line tool are held on this thread, so their handler never runs in
// the middle of it here and, on another thread, can wait for it to finish.
class StartingTool {
public:
    StartingTool() {
        sigset_t held;
        sigemptyset(&held);
        for (const int signalNumber : {SIGINT, SIGTERM, SIGHUP}) {
            sigaddset(&held, signalNumber);
        }
        ::pthread_sigmask(SIG_BLOCK, &held, &m_previous);
        g_startingTools.fetch_add(1);
    }
    ~StartingTool() { finish(); }
    StartingTool(const StartingTool&) = delete;
    StartingTool& operator=(const StartingTool&) = delete;

    // The mask the child is to start with: the one before the signals were held.
    const sigset_t& previousMask() const { return m_previous; }
    void finish() {
        if (!m_finished) {
            m_finished = true;
            g_startingTools.fetch_sub(1);
            ::pthread_sigmask(SIG_SETMASK, &m_previous, nullptr);
        }
    }

private:
    sigset_t m_previous{};
    bool m_finished = false;
};

// Nothing when every slot is taken; the time limit still ends that child.
std::atomic<pid_t>* trackGroup(pid_t group) {
    for (std::atomic<pid_t>& slot : g_runningGroups) {
        pid_t expected = 0;
        if (slot.compare_exchange_strong(expected, group)) {
            return &slot;
        }
    }
    return nullptr;
}

// Frees its slot before the child is reaped: a reaped leader's id may be
// given to another process, which a later killRunningTools must not reach.
class TrackedGroup {
public:
    explicit TrackedGroup(pid_t group) : m_slot(trackGroup(group)) {}
    ~TrackedGroup() { release(); }
    TrackedGroup(const TrackedGroup&) = delete;
    TrackedGroup& operator=(const TrackedGroup&) = delete;
    void release() {
        if (m_slot) {
            m_slot->store(0);
            m_slot = nullptr;
        }
    }

private:
    std::atomic<pid_t>* m_slot;
};

// When a limited run must end: its deadline, or a cancel seen earlier.
struct Limit {
    std::optional<Clock::time_point> deadline;
    const std::atomic<bool>* cancel = nullptr;

    bool active() const { return deadline || cancel; }
    bool expired() const {
        return (cancel && cancel->load()) || (deadline && Clock::now() >= *deadline);
    }
    // How long poll may wait: a cancel is looked at every 50 ms.
    int pollTimeout() const {
        if (!active()) {
            return -1;
        }
        auto wait = std::chrono::milliseconds(cancel ? 50 : 60'000);
        if (deadline) {
            const auto left =
                std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now());
            wait = std::clamp(left, std::chrono::milliseconds(0), wait);
        }
        return static_cast<int>(wait.count());
    }
};

enum class DrainEnd { complete, overLimit, expired };

// overLimit when a stream went over maxBytes (that stream is closed early and
// its bytes are incomplete); expired when the limit ran out first.
DrainEnd drain(Pipe* outputPipe, std::string* output, Pipe* errorPipe, std::string* error,
               std::size_t maxBytes, const Limit& limit) {
    std::array<pollfd, 2> fds{};
    std::array<std::string*, 2> sinks{};
    std::array<Pipe*, 2> pipes{};
    std::size_t count = 0;
    if (outputPipe) {
        fds[count] = {outputPipe->readEnd, POLLIN, 0};
        sinks[count] = output;
        pipes[count] = outputPipe;
        ++count;
    }
    if (errorPipe) {
        fds[count] = {errorPipe->readEnd, POLLIN, 0};
        sinks[count] = error;
        pipes[count] = errorPipe;
        ++count;
    }

    std::size_t open = count;
    bool withinLimit = true;
    bool expired = false;
    char buffer[65536];
    while (open > 0) {
        if (limit.expired()) {
            expired = true;
            break;
        }
        const int ready = ::poll(fds.data(), count, limit.pollTimeout());
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            // poll itself failed: stop reading; closing our ends lets a child
            // blocked on a full pipe die of SIGPIPE so the wait below returns.
            break;
        }
        for (std::size_t i = 0; i < count; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) {
                continue;
            }
            const ssize_t got = ::read(fds[i].fd, buffer, sizeof buffer);
            if (got > 0) {
                if (sinks[i]->size() + static_cast<std::size_t>(got) <= maxBytes) {
                    sinks[i]->append(buffer, static_cast<std::size_t>(got));
                    continue;
                }
                withinLimit = false;
                pipes[i]->closeRead();
                fds[i].fd = -1;
                --open;
                continue;
            }
            if (got < 0 && (errno == EINTR || errno == EAGAIN)) {
                continue;
            }
            // End of file (or an unreadable pipe): this stream is done.
            pipes[i]->closeRead();
            fds[i].fd = -1;
            --open;
        }
    }
    for (std::size_t i = 0; i < count; ++i) {
        pipes[i]->closeRead();
    }
    if (expired) {
        return DrainEnd::expired;
    }
    return withinLimit ? DrainEnd::complete : DrainEnd::overLimit;
}

// Waits for a limited child until the limit; false when it ran out with the
// child still there (it is then not reaped).
bool exitedWithin(pid_t child, const Limit& limit) {
    // Most children end as soon as their pipes close; back off from 1 ms.
    long napNanoseconds = 1'000'000;
    for (;;) {
        siginfo_t info{};
        const int waited =
            ::waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | WNOHANG | WNOWAIT);
        if ((waited == 0 && info.si_pid == child) || (waited < 0 && errno != EINTR)) {
            return true; // left for waitForChild to reap
        }
        if (limit.expired()) {
            return false;
        }
        timespec nap{0, napNanoseconds};
        ::nanosleep(&nap, nullptr);
        napNanoseconds = std::min(napNanoseconds * 2, 50'000'000L);
    }
}

// Straight SIGKILL to the whole group, no SIGTERM grace: a tool that outlives
// its limit is stuck, a grace period would only add to every timeout, and the
// read-only tools run with a limit have nothing to clean up. The group takes
// along grandchildren that may still hold our pipes.
void killGroup(pid_t child) {
    if (::kill(-child, SIGKILL) != 0) {
        ::kill(child, SIGKILL);
    }
}

std::int32_t waitForChild(pid_t child) {
    int status = 0;
    pid_t waited = -1;
    do {
        waited = ::waitpid(child, &status, 0);
    } while (waited < 0 && errno == EINTR);
    if (waited < 0) {
        return -1;
    }
    if (WIFEXITED(status)) {
        return WEXITSTATUS(status);
    }
    // A child ended by a signal reports the signal number, as the platform's
    // process API gives it (never 0, so callers that test for 0 see a failure).
    if (WIFSIGNALED(status)) {
        return WTERMSIG(status);
    }
    return -1;
}

} // namespace

std::string timedOutMessage(std::string_view command, std::chrono::milliseconds limit) {
    const auto count = limit.count();
    const std::string within =
        count % 1000 == 0 ? std::to_string(count / 1000) + " s" : std::to_string(count) + " ms";
    return std::string(command) + " did not answer within " + within + " and was stopped";
}

void killRunningTools() {
    g_killingTools.store(true);
    // Runs being started either saw the flag and start nothing, or are about
    // to take their slot: wait for those (a few milliseconds at most; bounded
    // so that a thread stopped elsewhere cannot hold the exit).
    for (int wait = 0; wait < 2000 && g_startingTools.load() > 0; ++wait) {
        timespec nap{0, 1'000'000};
        ::nanosleep(&nap, nullptr);
    }
    for (const std::atomic<pid_t>& slot : g_runningGroups) {
        if (const pid_t group = slot.load(); group > 0) {
            ::kill(-group, SIGKILL);
        }
    }
}

ToolResult runTool(const std::string& executable, const std::vector<std::string>& arguments,
                   bool captureOutput, bool captureError) {
    ToolOptions options;
    options.captureOutput = captureOutput;
    options.captureError = captureError;
    return runTool(executable, arguments, options);
}

ToolResult runTool(const std::string& executable, const std::vector<std::string>& arguments,
                   const ToolOptions& options) {
    const bool captureOutput = options.captureOutput;
    const bool captureError = options.captureError;
    Limit limit;
    limit.cancel = options.cancel;
    if (options.timeLimit) {
        limit.deadline = Clock::now() + *options.timeLimit;
    }
    if (options.refusal) {
        Log::line("Not running " + displayableText(executable) + ": " + *options.refusal);
        ToolResult refused;
        refused.launchError = LaunchError{EPERM, *options.refusal};
        return refused;
    }
    // Never resolved against the working directory or a search path.
    if (executable.empty() || executable.front() != '/') {
        return launchFailure(ENOENT);
    }

#if defined(__APPLE__)
    std::unique_lock spawnLock(spawnMutex());
#endif
    Pipe outputPipe;
    Pipe errorPipe;
    if (captureOutput) {
        if (const int code = openPipe(outputPipe); code != 0) {
            return launchFailure(code);
        }
    }
    if (captureError) {
        if (const int code = openPipe(errorPipe); code != 0) {
            return launchFailure(code);
        }
    }

    FileActions actions;
    if (actions.status() != 0) {
        return launchFailure(actions.status());
    }
    // No tool is ever answered: one that asks (for a password, a
    // confirmation) reads end of file, never the user's terminal.
    if (const int code = actions.readNothing(STDIN_FILENO); code != 0) {
        return launchFailure(code);
    }
    if (captureOutput) {
        if (const int code = actions.redirect(outputPipe.writeEnd, STDOUT_FILENO); code != 0) {
            return launchFailure(code);
        }
    }
    if (captureError) {
        if (const int code = actions.redirect(errorPipe.writeEnd, STDERR_FILENO); code != 0) {
            return launchFailure(code);
        }
    }

    std::vector<char*> argv;
    argv.reserve(arguments.size() + 2);
    argv.push_back(const_cast<char*>(executable.c_str()));
    for (const std::string& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);

    // A limited child leads a process group of its own, so a kill reaches
    // whatever it started as well.
    posix_spawnattr_t attributes;
    if (const int code = ::posix_spawnattr_init(&attributes); code != 0) {
        return launchFailure(code);
    }
    std::optional<StartingTool> starting;
    if (limit.active()) {
        starting.emplace();
        ::posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK);
        ::posix_spawnattr_setpgroup(&attributes, 0);
        ::posix_spawnattr_setsigmask(&attributes, &starting->previousMask());
        if (g_killingTools.load()) {
            ::posix_spawnattr_destroy(&attributes);
            return launchFailure(ECANCELED);
        }
    }
    pid_t child = -1;
    const int spawnError =
        ::posix_spawn(&child, executable.c_str(), actions.get(), &attributes, argv.data(), environ);
    ::posix_spawnattr_destroy(&attributes);
    if (spawnError != 0) {
        return launchFailure(spawnError);
    }
#if defined(__APPLE__)
    spawnLock.unlock();
#endif
    std::optional<TrackedGroup> tracked;
    if (limit.active()) {
        tracked.emplace(child);
        // A kill of every running tool that came between the check above
        // and the slot may not have seen this one.
        if (g_killingTools.load()) {
            killGroup(child);
        }
        starting->finish();
    }

    // Our copies of the write ends must go, or the reads never see end of file.
    outputPipe.closeWrite();
    errorPipe.closeWrite();

    ToolResult result;
    DrainEnd drained = DrainEnd::complete;
    if (captureOutput || captureError) {
        drained = drain(captureOutput ? &outputPipe : nullptr, &result.standardOutput,
                        captureError ? &errorPipe : nullptr, &result.standardError,
                        options.maxCapturedBytes, limit);
    }
    if (limit.active() && (drained == DrainEnd::expired || !exitedWithin(child, limit))) {
        killGroup(child);
        result.timedOut = true;
    }
    if (tracked) {
        tracked->release();
    }
    result.exitStatus = waitForChild(child);
    if (drained == DrainEnd::overLimit) {
        ToolResult failure;
        failure.launchError =
            LaunchError{EFBIG, "output too large (over " +
                                   std::to_string(options.maxCapturedBytes) + " bytes)"};
        return failure;
    }
    return result;
}

} // namespace daemonary
