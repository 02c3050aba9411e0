#include "shell/CrashReporter.h"

#include "platform/Log.h"
#include "shell/AppInfo.h"

#include <QStandardPaths>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <execinfo.h>
#include <fcntl.h>
#include <filesystem>
#include <signal.h>
#include <system_error>
#include <unistd.h>

namespace daemonary {

namespace {

constexpr int kFatalSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};
constexpr int kMaxFrames = 64;
constexpr std::size_t kAlternateStackBytes = 64 * 1024;

// Everything the handler reads is prepared by configure(): a signal handler
// may not allocate, lock or format through the C library.
char g_directory[1024];
char g_product[256];
std::atomic<bool> g_handling{false};

// A fixed buffer filled with async-signal-safe appends; overlong text is cut.
struct SignalSafeText {
    char data[2048];
    std::size_t size = 0;

    void append(const char* text) {
        while (*text != '\0' && size + 1 < sizeof data) {
            data[size++] = *text++;
        }
        data[size] = '\0';
    }
    void appendNumber(unsigned long long value, unsigned base = 10) {
        char digits[32];
        std::size_t count = 0;
        do {
            digits[count++] = "0123456789abcdef"[value % base];
            value /= base;
        } while (value != 0 && count < sizeof digits);
        while (count > 0 && size + 1 < sizeof data) {
            data[size++] = digits[--count];
        }
        data[size] = '\0';
    }
};

void writeAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        data += written;
        size -= static_cast<std::size_t>(written);
    }
}

const char* signalName(int signalNumber) {
    switch (signalNumber) {
    case SIGSEGV:
        return "SIGSEGV";
    case SIGBUS:
        return "SIGBUS";
    case SIGILL:
        return "SIGILL";
    case SIGFPE:
        return "SIGFPE";
    case SIGABRT:
        return "SIGABRT";
    default:
        return "signal";
    }
}

void handleFatalSignal(int signalNumber, siginfo_t* info, void* /*context*/) {
    // SA_RESETHAND has already restored the default action; a second thread
    // crashing meanwhile simply dies without writing a second report.
    if (!g_handling.exchange(true)) {
        const int savedErrno = errno;
        const auto now = static_cast<unsigned long long>(std::time(nullptr));
        const auto pid = static_cast<unsigned long long>(::getpid());

        SignalSafeText report;
        report.append(g_product);
        report.append(" crashed: signal ");
        report.appendNumber(static_cast<unsigned>(signalNumber));
        report.append(" (");
        report.append(signalName(signalNumber));
        report.append(")");
        // Only a fault the kernel raised has an address; a signal sent by a
        // process (kill, raise, abort) carries none.
        if (signalNumber != SIGABRT && info != nullptr && info->si_code > 0) {
            report.append(" at address 0x");
            report.appendNumber(reinterpret_cast<std::uintptr_t>(info->si_addr), 16);
        }
        report.append(", process ");
        report.appendNumber(pid);
        report.append(", time ");
        report.appendNumber(now);
        report.append("\nBacktrace:\n");

        void* frames[kMaxFrames];
        const int frameCount = ::backtrace(frames, kMaxFrames);

        SignalSafeText path;
        path.append(g_directory);
        path.append("/crash-");
        path.appendNumber(now);
        path.append("-");
        path.appendNumber(pid);
        path.append(".txt");

        writeAll(STDERR_FILENO, report.data, report.size);
        ::backtrace_symbols_fd(frames, frameCount, STDERR_FILENO);
        const int fd = ::open(path.data, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd >= 0) {
            writeAll(fd, report.data, report.size);
            ::backtrace_symbols_fd(frames, frameCount, fd);
            ::close(fd);
            SignalSafeText written;
            written.append("Crash report written to ");
            written.append(path.data);
            written.append("\n");
            writeAll(STDERR_FILENO, written.data, written.size);
        }
        errno = savedErrno;
    }
    // Blocked until this handler returns, then delivered with the default
    // action: the process ends by the same signal, with a core if enabled.
    ::raise(signalNumber);
}

bool installAlternateStack() {
    // Without its own stack the handler could not run after a stack overflow.
    // Only the calling (main) thread gets one; others report on their own stack.
    static void* const memory = std::malloc(kAlternateStackBytes);
    if (memory == nullptr) {
        return false;
    }
    stack_t stack{};
    stack.ss_sp = memory;
    stack.ss_size = kAlternateStackBytes;
    stack.ss_flags = 0;
    return ::sigaltstack(&stack, nullptr) == 0;
}

void copyText(char* destination, std::size_t capacity, const std::string& text) {
    const std::size_t length = std::min(text.size(), capacity - 1);
    std::memcpy(destination, text.data(), length);
    destination[length] = '\0';
}

} // namespace

void CrashReporter::configure() {
    const QString base = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    if (base.isEmpty()) {
        Log::line("CrashReporter: no data location for crash reports");
        return;
    }
    configure((base + QStringLiteral("/crashes")).toStdString());
}

bool CrashReporter::configure(const std::string& directory) {
    std::error_code error;
    std::filesystem::create_directories(directory, error);
    if (error) {
        Log::line("CrashReporter: cannot create " + directory + ": " + error.message());
        return false;
    }
    if (directory.size() >= sizeof g_directory) {
        Log::line("CrashReporter: crash folder path too long: " + directory);
        return false;
    }
    const AppInfo& info = AppInfo::current();
    copyText(g_product, sizeof g_product,
             QStringLiteral("%1 %2 (%3)")
                 .arg(info.name, info.shortVersion, info.bundleVersion)
                 .toStdString());
    copyText(g_directory, sizeof g_directory, directory);

    // The first backtrace() loads the unwinder, which allocates; do it here
    // rather than in the handler.
    void* frame[1];
    ::backtrace(frame, 1);

    if (!installAlternateStack()) {
        Log::line("CrashReporter: no alternate signal stack; stack overflows go unreported");
    }
    struct sigaction action {};
    action.sa_sigaction = handleFatalSignal;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESETHAND;
    sigemptyset(&action.sa_mask);
    for (const int signalNumber : kFatalSignals) {
        if (::sigaction(signalNumber, &action, nullptr) != 0) {
            Log::line(std::string("CrashReporter: cannot handle ") + signalName(signalNumber) +
                      ": " + std::strerror(errno));
            return false;
        }
    }
    return true;
}

std::string CrashReporter::crashDirectory() {
    return g_directory;
}

} // namespace daemonary
