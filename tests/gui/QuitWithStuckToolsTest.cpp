#include "TestSupport.h"

#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <csignal>
#include <filesystem>
#include <sys/types.h>

using namespace daemonary::test;
namespace fs = std::filesystem;

namespace {

// Gone, or a zombie its new parent has not reaped: it runs no more.
bool hasEnded(pid_t pid) {
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly)) {
        return ::kill(pid, 0) != 0;
    }
    const QByteArray text = stat.readAll();
    const qsizetype close = text.lastIndexOf(')');
    return close < 0 || close + 2 >= text.size() || text.at(close + 2) == 'Z';
}

} // namespace

// Quitting must neither wait for system tools that never end nor leave them
// behind. The helper quits the application's way with two such tools running
// under a time limit far beyond the test; this test only waits, with a bound
// far beyond any normal exit, so a hang is reported instead of stalling the
// suite.
class QuitWithStuckToolsTest : public QObject {
    Q_OBJECT

private slots:
    void cleanup() {
        // Only left running when the test fails; never outlive it.
        QFile file(m_pids);
        if (file.open(QIODevice::ReadOnly)) {
            for (const QByteArray& line : file.readAll().split('\n')) {
                bool ok = false;
                const pid_t pid = static_cast<pid_t>(line.trimmed().toInt(&ok));
                if (ok && pid > 1) {
                    ::kill(pid, SIGKILL);
                }
            }
        }
    }

    void quittingEndsStuckToolsWithoutWaiting() {
        QVERIFY(m_dir.isValid());
        const fs::path root = fs::path(m_dir.path().toStdString()) / "host";
        m_pids = m_dir.filePath(QStringLiteral("stuck-pids"));
        const std::string sleeper = "echo $$ >> '" + m_pids.toStdString() + "'\nexec sleep 100000";
        writeScript(root / "usr/bin/codesign", sleeper);
        writeScript(root / "usr/bin/osascript", sleeper);
        fs::create_directories(root / "Users/demo/Library/LaunchAgents");

        QProcess helper;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        environment.insert(QStringLiteral("DAEMONARY_HOST_ROOT"),
                           QString::fromStdString(root.string()));
        environment.insert(QStringLiteral("HOME"),
                           QString::fromStdString((root / "Users/demo").string()));
        environment.insert(QStringLiteral("DAEMONARY_STUCK_PIDS"), m_pids);
        environment.insert(QStringLiteral("DAEMONARY_TOOL_TIMEOUT_MS"), QStringLiteral("600000"));
        helper.setProcessEnvironment(environment);
        // Files, not pipes: the stuck tools inherit the helper's streams and
        // would hold pipes open after it has gone.
        const QString output = m_dir.filePath(QStringLiteral("helper-output"));
        helper.setStandardOutputFile(output);
        helper.setStandardErrorFile(m_dir.filePath(QStringLiteral("helper-errors")));
        QSignalSpy finished(&helper, &QProcess::finished);
        helper.start(QStringLiteral(DAEMONARY_STUCK_TOOL_HELPER), {});
        QVERIFY(helper.waitForStarted());

        QVERIFY2(finished.wait(120'000), "the application waited for tools that never end");
        QCOMPARE(helper.exitStatus(), QProcess::NormalExit);
        QCOMPARE(helper.exitCode(), 0);

        // The tools were running when it quit, and were stopped with it.
        QFile pids(m_pids);
        QVERIFY(pids.open(QIODevice::ReadOnly));
        const QList<QByteArray> lines = pids.readAll().trimmed().split('\n');
        QVERIFY(lines.size() >= 3);
        for (const QByteArray& line : lines) {
            const pid_t pid = static_cast<pid_t>(line.toInt());
            QVERIFY2(QTest::qWaitFor([pid] { return hasEnded(pid); }, 30'000),
                     "a stuck tool outlived the application");
        }
        QFile log(output);
        QVERIFY(log.open(QIODevice::ReadOnly));
        QVERIFY(log.readAll().contains("stopped the system tools that were still running"));
    }

private:
    QTemporaryDir m_dir;
    QString m_pids;
};

QTEST_GUILESS_MAIN(QuitWithStuckToolsTest)
#include "QuitWithStuckToolsTest.moc"
