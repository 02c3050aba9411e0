#include "platform/QtWorkspace.h"

#include "shell/StatusNotices.h"

#include <QDir>
#include <QFile>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace daemonary;
using namespace Qt::StringLiterals;

class QtWorkspaceTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        QVERIFY(m_home.isValid());
        // The Trash of a home of our own, on the same volume as the files.
        qputenv("HOME", QFile::encodeName(m_home.path()));
        qputenv("XDG_DATA_HOME", QFile::encodeName(m_home.filePath(u".local/share"_s)));
    }

    void bundleOfTheProgramFolder() {
        QCOMPARE(QtWorkspace::bundlePathForProgramDirectory(
                     "/Applications/Daemonary.app/Contents/MacOS"),
                 std::optional<std::string>("/Applications/Daemonary.app"));
        QCOMPARE(QtWorkspace::bundlePathForProgramDirectory(
                     "/Applications/Daemonary.app/Contents/MacOS/"),
                 std::optional<std::string>("/Applications/Daemonary.app"));
        QCOMPARE(QtWorkspace::bundlePathForProgramDirectory("/usr/bin"), std::nullopt);
        QCOMPARE(QtWorkspace::bundlePathForProgramDirectory("/opt/Tool/Contents/MacOS"),
                 std::nullopt);
        QCOMPARE(QtWorkspace::bundlePathForProgramDirectory("/.app/Contents/MacOS"), std::nullopt);
        // The tests themselves do not run from a bundle.
        QCOMPARE(QtWorkspace().ownBundlePath(), std::nullopt);
    }

    void moveToTrashMovesTheFileOrSaysWhyNot() {
        const QString file = m_home.filePath(u"Library/LaunchAgents/com.example.agent.plist"_s);
        QVERIFY(QDir().mkpath(QFileInfo(file).absolutePath()));
        {
            QFile out(file);
            QVERIFY(out.open(QIODevice::WriteOnly));
            out.write("<plist/>");
        }
        QtWorkspace workspace;
        QCOMPARE(workspace.moveToTrash(file.toStdString()), std::nullopt);
        QVERIFY(!QFileInfo::exists(file));
        QVERIFY(QFileInfo::exists(
            m_home.filePath(u".local/share/Trash/files/com.example.agent.plist"_s)));

        const auto missing = workspace.moveToTrash(file.toStdString());
        QVERIFY(missing.has_value());
        QVERIFY(missing->text.find(file.toStdString()) != std::string::npos);
    }

    // Reveal says in the window when it cannot: the file is gone, or no
    // file manager can be reached to show its folder.
    void revealThatCannotWorkSaysWhy() {
        StatusNotices notices;
        QSignalSpy posted(&notices, &StatusNotices::posted);
        QtWorkspace workspace(&notices);
        const QString gone = m_home.filePath(u"Library/LaunchAgents/gone\u202E.plist"_s);
        workspace.selectFilesInFileManager({gone.toStdString()});
        QCOMPARE(posted.count(), 1);
        const QString said = posted.first().first().toString();
        QVERIFY2(said.contains(u"not there any more"_s), qPrintable(said));
        QVERIFY(!said.contains(QChar(0x202E)));

#if !defined(Q_OS_MACOS)
        // No session bus and no program to open folders with.
        const QString file = m_home.filePath(u"kept.plist"_s);
        {
            QFile out(file);
            QVERIFY(out.open(QIODevice::WriteOnly));
        }
        const QByteArray bus = qgetenv("DBUS_SESSION_BUS_ADDRESS");
        const QByteArray path = qgetenv("PATH");
        qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/bus");
        qputenv("PATH", QFile::encodeName(m_home.path()));
        const auto restore = qScopeGuard([&] {
            qputenv("DBUS_SESSION_BUS_ADDRESS", bus);
            qputenv("PATH", path);
        });
        posted.clear();
        workspace.selectFilesInFileManager({file.toStdString()});
        QTRY_COMPARE(posted.count(), 1);
        QVERIFY(posted.first().first().toString().contains(u"no file manager"_s));
#endif
    }

    void loginItemServiceIsAbsentOffTheMac() {
#if defined(Q_OS_MACOS)
        QSKIP("the login-item service exists here");
#else
        const auto error = QtWorkspace().unregisterOwnLoginItem();
        QVERIFY(error.has_value());
        QVERIFY(!error->text.empty());
#endif
    }

private:
    QTemporaryDir m_home;
};

QTEST_MAIN(QtWorkspaceTest)
#include "QtWorkspaceTest.moc"
