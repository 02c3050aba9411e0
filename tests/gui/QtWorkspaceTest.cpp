#include "platform/QtWorkspace.h"

#include <QDir>
#include <QFile>
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
