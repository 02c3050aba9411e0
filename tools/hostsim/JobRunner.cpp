#include "JobRunner.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <iostream>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace daemonary::hostsim {

namespace {

constexpr unsigned kWatchdogSeconds = 5;
constexpr int kStopGraceMilliseconds = 5000;

// Set in the child before it announces itself; read by its signal handlers.
char g_exitFile[PATH_MAX + 32];
char g_stateDirectory[PATH_MAX];
volatile sig_atomic_t g_watchdogDue = 0;

void onTerminate(int signalNumber) {
    int fd = ::open(g_exitFile, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd >= 0) {
        char text[16];
        std::size_t length = 0;
        char digits[8];
        std::size_t count = 0;
        for (int n = signalNumber; n > 0 && count < sizeof digits; n /= 10)
            digits[count++] = static_cast<char>('0' + n % 10);
        text[length++] = '-';
        while (count > 0)
            text[length++] = digits[--count];
        text[length++] = '\n';
        [[maybe_unused]] ssize_t written = ::write(fd, text, length);
        ::close(fd);
    }
    ::signal(signalNumber, SIG_DFL);
    ::raise(signalNumber);
}

void onAlarm(int) {
    g_watchdogDue = 1;
}

void closeDescriptorsFrom(int first, int keep) {
    if (keep > first &&
        ::close_range(static_cast<unsigned>(first), static_cast<unsigned>(keep - 1), 0) != 0) {
        for (int fd = first; fd < keep; ++fd)
            ::close(fd);
    }
    const int from = keep >= first ? keep + 1 : first;
    if (::close_range(static_cast<unsigned>(from), ~0U, 0) != 0) {
        const long limit = ::sysconf(_SC_OPEN_MAX);
        for (long fd = from; fd < (limit > 0 ? limit : 1024); ++fd)
            ::close(static_cast<int>(fd));
    }
}

[[noreturn]] void runChild(int readyFd, const std::string& name, const std::string& stateDirectory,
                           const std::string& exitDirectory) {
    // Nothing the invoking tool holds may stay open here: a kept pipe end
    // would hold the caller's capture open, a kept lock file its state lock.
    if (readyFd < 3) {
        int moved = ::fcntl(readyFd, F_DUPFD, 3);
        if (moved < 0)
            ::_exit(127);
        readyFd = moved;
    }
    closeDescriptorsFrom(3, readyFd);
    int null = ::open("/dev/null", O_RDWR);
    if (null < 0)
        ::_exit(127);
    for (int fd = 0; fd <= 2; ++fd) {
        if (null != fd)
            ::dup2(null, fd);
    }
    if (null > 2)
        ::close(null);

    ::setsid();
    ::prctl(PR_SET_NAME, name.c_str(), 0, 0, 0);
    [[maybe_unused]] int changed = ::chdir("/");

    std::snprintf(g_exitFile, sizeof g_exitFile, "%s/%d", exitDirectory.c_str(),
                  static_cast<int>(::getpid()));
    std::snprintf(g_stateDirectory, sizeof g_stateDirectory, "%s", stateDirectory.c_str());
    ::unlink(g_exitFile);

    struct sigaction terminate {};
    terminate.sa_handler = onTerminate;
    ::sigemptyset(&terminate.sa_mask);
    for (int signalNumber : {SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2})
        ::sigaction(signalNumber, &terminate, nullptr);
    struct sigaction alarm {};
    alarm.sa_handler = onAlarm;
    ::sigemptyset(&alarm.sa_mask);
    ::sigaction(SIGALRM, &alarm, nullptr);
    for (int signalNumber : {SIGPIPE, SIGCHLD})
        ::signal(signalNumber, SIG_DFL);
    sigset_t none;
    ::sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);

    const char ready = 'r';
    [[maybe_unused]] ssize_t written = ::write(readyFd, &ready, 1);
    ::close(readyFd);

    for (;;) {
        ::alarm(kWatchdogSeconds);
        ::pause();
        if (g_watchdogDue) {
            g_watchdogDue = 0;
            if (::access(g_stateDirectory, F_OK) != 0 && errno == ENOENT)
                ::_exit(0);
        }
    }
}

struct ProcStat {
    std::string name;
    char state = '?';
    long session = 0;
    std::uint64_t startTime = 0;
};

std::optional<ProcStat> readProcStat(std::int32_t pid) {
    if (pid <= 0)
        return std::nullopt;
    const std::string path = "/proc/" + std::to_string(pid) + "/stat";
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    char buffer[1024];
    ssize_t n;
    do {
        n = ::read(fd, buffer, sizeof buffer - 1);
    } while (n < 0 && errno == EINTR);
    ::close(fd);
    if (n <= 0)
        return std::nullopt;
    std::string_view text(buffer, static_cast<std::size_t>(n));

    // "pid (name) state ppid pgrp session ... starttime(22) ..."; the name
    // may itself hold blanks and parentheses, so it ends at the last ')'.
    const auto open = text.find('(');
    const auto close = text.rfind(')');
    if (open == std::string_view::npos || close == std::string_view::npos || close < open)
        return std::nullopt;
    ProcStat stat;
    stat.name = std::string(text.substr(open + 1, close - open - 1));
    std::string rest(text.substr(close + 1));
    char* cursor = rest.data();
    std::vector<std::string> fields;
    for (char* token = ::strtok_r(cursor, " \n", &cursor); token != nullptr;
         token = ::strtok_r(nullptr, " \n", &cursor))
        fields.emplace_back(token);
    // fields[0] is field 3 (state), so field N is fields[N - 3].
    if (fields.size() < 20)
        return std::nullopt;
    stat.state = fields[0].empty() ? '?' : fields[0][0];
    stat.session = std::strtol(fields[3].c_str(), nullptr, 10);
    stat.startTime = std::strtoull(fields[19].c_str(), nullptr, 10);
    return stat;
}

bool isSameProcess(const JobProcess& process, const ProcStat& stat) {
    return stat.name == process.name && stat.startTime == process.startTime &&
           stat.session == process.pid;
}

bool hasExited(const ProcStat& stat) {
    return stat.state == 'Z' || stat.state == 'X' || stat.state == 'x';
}

int openPidFd(std::int32_t pid) {
#ifdef SYS_pidfd_open
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
#else
    (void)pid;
    errno = ENOSYS;
    return -1;
#endif
}

bool signalPidFd(int pidFd, int signalNumber) {
#ifdef SYS_pidfd_send_signal
    return ::syscall(SYS_pidfd_send_signal, pidFd, signalNumber, nullptr, 0) == 0;
#else
    (void)pidFd;
    (void)signalNumber;
    return false;
#endif
}

bool waitForExit(int pidFd, int milliseconds) {
    pollfd entry{pidFd, POLLIN, 0};
    for (;;) {
        int ready = ::poll(&entry, 1, milliseconds);
        if (ready < 0 && errno == EINTR)
            continue;
        return ready > 0;
    }
}

// Without pidfds there is no exit notification for a process that is not our
// child; look at /proc until it is gone.
bool pollForExit(const JobProcess& process, int milliseconds) {
    const timespec step{0, 10'000'000};
    for (int waited = 0; waited <= milliseconds; waited += 10) {
        if (!isRunning(process))
            return true;
        ::nanosleep(&step, nullptr);
    }
    return !isRunning(process);
}

} // namespace

std::string processNameFor(std::string_view program) {
    while (!program.empty() && program.back() == '/')
        program.remove_suffix(1);
    const auto slash = program.rfind('/');
    if (slash != std::string_view::npos)
        program.remove_prefix(slash + 1);
    return std::string(program.substr(0, kMaxProcessNameBytes));
}

StartResult startJob(const std::string& name, const std::string& stateDirectory,
                     const std::string& exitDirectory) {
    StartResult result;
    int ready[2];
    if (::pipe2(ready, O_CLOEXEC) != 0) {
        result.error = std::string("pipe: ") + std::strerror(errno);
        return result;
    }
    std::cout.flush();
    std::cerr.flush();
    const pid_t pid = ::fork();
    if (pid < 0) {
        result.error = std::string("fork: ") + std::strerror(errno);
        ::close(ready[0]);
        ::close(ready[1]);
        return result;
    }
    if (pid == 0) {
        ::close(ready[0]);
        runChild(ready[1], name, stateDirectory, exitDirectory);
    }
    ::close(ready[1]);
    char byte = 0;
    ssize_t n;
    do {
        n = ::read(ready[0], &byte, 1);
    } while (n < 0 && errno == EINTR);
    ::close(ready[0]);

    auto stat = readProcStat(pid);
    if (n != 1 || !stat || hasExited(*stat)) {
        ::waitpid(pid, nullptr, 0);
        result.error = "the job process ended while starting";
        return result;
    }
    result.process = JobProcess{static_cast<std::int32_t>(pid), stat->startTime, stat->name};
    return result;
}

bool isRunning(const JobProcess& process) {
    auto stat = readProcStat(process.pid);
    return stat && !hasExited(*stat) && isSameProcess(process, *stat);
}

std::int64_t collectExitStatus(const std::string& exitDirectory, std::int32_t pid) {
    const std::string path = exitDirectory + "/" + std::to_string(pid);
    std::int64_t status = -SIGKILL;
    if (std::FILE* file = std::fopen(path.c_str(), "re")) {
        long long value = 0;
        if (std::fscanf(file, "%lld", &value) == 1)
            status = value;
        std::fclose(file);
        ::unlink(path.c_str());
    }
    return status;
}

std::int64_t stopJob(const JobProcess& process, const std::string& exitDirectory) {
    if (!isRunning(process))
        return collectExitStatus(exitDirectory, process.pid);

    int pidFd = openPidFd(process.pid);
    if (pidFd >= 0) {
        // The descriptor pins the process; confirm it is still ours before
        // signalling through it.
        if (isRunning(process) && signalPidFd(pidFd, SIGTERM) &&
            !waitForExit(pidFd, kStopGraceMilliseconds)) {
            signalPidFd(pidFd, SIGKILL);
            waitForExit(pidFd, kStopGraceMilliseconds);
        }
        ::close(pidFd);
    } else if (isRunning(process) && ::kill(process.pid, SIGTERM) == 0 &&
               !pollForExit(process, kStopGraceMilliseconds)) {
        if (isRunning(process))
            ::kill(process.pid, SIGKILL);
        pollForExit(process, kStopGraceMilliseconds);
    }
    // Started by this very run it is our child: reap it, or it stays a zombie.
    ::waitpid(process.pid, nullptr, WNOHANG);
    return collectExitStatus(exitDirectory, process.pid);
}

} // namespace daemonary::hostsim
