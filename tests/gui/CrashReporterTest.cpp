#include "shell/CrashReporter.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace daemonary;

namespace {

volatile int g_zero = 0;

[[noreturn]] void segmentationFault() {
    // Not null, so that the undefined-behaviour sanitizer lets the fault happen.
    int* volatile nowhere = reinterpret_cast<int*>(static_cast<std::uintptr_t>(g_zero + 16));
    *nowhere = 1;
    std::_Exit(97);
}

int overflow(int depth) {
    volatile char frame[4096];
    frame[0] = static_cast<char>(depth);
    // g_zero is never set, so the recursion never ends; the compiler cannot know.
    return depth == -1 - g_zero ? 0 : overflow(depth + 1) + frame[0];
}

// Runs the crash in a child that configured the reporter; its standard
// error goes to a file. Returns the child's wait status.
int crashChild(const QString& crashDirectory, const QString& stderrPath, int which) {
    const pid_t child = ::fork();
    if (child == 0) {
        rlimit noCore{0, 0};
        ::setrlimit(RLIMIT_CORE, &noCore);
        const int err =
            ::open(stderrPath.toLocal8Bit().constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(err, STDERR_FILENO);
        if (!CrashReporter::configure(crashDirectory.toStdString())) {
            std::_Exit(98);
        }
        switch (which) {
        case SIGSEGV:
            segmentationFault();
        case SIGABRT:
            std::abort();
        case SIGBUS:
            ::raise(SIGBUS);
            std::_Exit(94);
        default:
            std::_Exit(overflow(0) == 0 ? 96 : 95);
        }
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return status;
}

QByteArray readAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class CrashReporterTest : public QObject {
    Q_OBJECT

private slots:
    void reportsAndDiesOfTheSameSignal_data() {
        QTest::addColumn<int>("which");
        QTest::addColumn<int>("expectedSignal");
        QTest::addColumn<QByteArray>("expectedLine");
        QTest::newRow("bad access") << int(SIGSEGV) << int(SIGSEGV)
                                    << QByteArray("crashed: signal 11 (SIGSEGV) at address 0x10,");
        QTest::newRow("abort") << int(SIGABRT) << int(SIGABRT)
                               << QByteArray("crashed: signal 6 (SIGABRT)");
        // Sent rather than raised by a fault: there is no address to report.
        QTest::newRow("sent signal")
            << int(SIGBUS) << int(SIGBUS) << QByteArray("crashed: signal 7 (SIGBUS), process ");
        // Needs the alternate stack: the thread's own stack is used up.
        QTest::newRow("stack overflow")
            << 0 << int(SIGSEGV) << QByteArray("crashed: signal 11 (SIGSEGV)");
    }

    void reportsAndDiesOfTheSameSignal() {
        QFETCH(int, which);
        QFETCH(int, expectedSignal);
        QFETCH(QByteArray, expectedLine);
        QTemporaryDir dir;
        const QString crashes = dir.filePath(QStringLiteral("data/crashes"));
        const QString stderrPath = dir.filePath(QStringLiteral("stderr.txt"));

        const int status = crashChild(crashes, stderrPath, which);
        QVERIFY2(WIFSIGNALED(status),
                 qPrintable(QStringLiteral("child exited with %1").arg(WEXITSTATUS(status))));
        QCOMPARE(WTERMSIG(status), expectedSignal);

        const QStringList reports =
            QDir(crashes).entryList({QStringLiteral("crash-*.txt")}, QDir::Files);
        QCOMPARE(reports.size(), 1);
        const QByteArray report = readAll(QDir(crashes).filePath(reports.first()));
        QVERIFY2(report.contains(expectedLine), report.constData());
        QVERIFY(report.startsWith("Daemonary "));
        const qsizetype backtrace = report.indexOf("\nBacktrace:\n");
        QVERIFY(backtrace > 0);
        QVERIFY2(report.mid(backtrace).count('\n') > 3, report.constData()); // some frames

        const QByteArray standardError = readAll(stderrPath);
        QVERIFY(standardError.contains(expectedLine));
        QVERIFY(standardError.contains("Crash report written to " +
                                       QDir(crashes).filePath(reports.first()).toLocal8Bit()));
    }

    void unusableFolderIsReportedNotFatal() {
        QTemporaryDir dir;
        QFile blocker(dir.filePath(QStringLiteral("file")));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        const pid_t child = ::fork();
        if (child == 0) {
            std::_Exit(CrashReporter::configure(blocker.fileName().toStdString() + "/crashes") ? 1
                                                                                               : 0);
        }
        int status = 0;
        ::waitpid(child, &status, 0);
        QVERIFY(WIFEXITED(status));
        QCOMPARE(WEXITSTATUS(status), 0);
    }
};

QTEST_GUILESS_MAIN(CrashReporterTest)
#include "CrashReporterTest.moc"
