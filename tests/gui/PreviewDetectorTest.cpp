#include "shell/PreviewDetector.h"

#include <QTest>
#include <cstdlib>
#include <map>
#include <string>

using namespace daemonary;

using Environment = std::map<std::string, std::string>;
Q_DECLARE_METATYPE(Environment)

class PreviewDetectorTest : public QObject {
    Q_OBJECT

private slots:
    void evaluate_data() {
        QTest::addColumn<Environment>("environment");
        QTest::addColumn<QString>("processName");
        QTest::addColumn<bool>("xcTestLoaded");
        QTest::addColumn<bool>("expected");

        QTest::newRow("plain launch") << Environment{{"HOME", "/Users/demo"}}
                                      << QStringLiteral("Daemonary") << false << false;
        QTest::newRow("previews flag 1") << Environment{{"XCODE_RUNNING_FOR_PREVIEWS", "1"}}
                                         << QStringLiteral("Daemonary") << false << true;
        QTest::newRow("previews flag 0") << Environment{{"XCODE_RUNNING_FOR_PREVIEWS", "0"}}
                                         << QStringLiteral("Daemonary") << false << false;
        QTest::newRow("previews flag true") << Environment{{"XCODE_RUNNING_FOR_PREVIEWS", "true"}}
                                            << QStringLiteral("Daemonary") << false << false;
        QTest::newRow("previews flag 1 with space")
            << Environment{{"XCODE_RUNNING_FOR_PREVIEWS", "1 "}} << QStringLiteral("Daemonary")
            << false << false;
        QTest::newRow("test configuration, empty value")
            << Environment{{"XCTestConfigurationFilePath", ""}} << QStringLiteral("Daemonary")
            << false << true;
        QTest::newRow("test class loaded")
            << Environment{} << QStringLiteral("Daemonary") << true << true;
        QTest::newRow("products in Previews") << Environment{{"__XCODE_BUILT_PRODUCTS_DIR_PATHS",
                                                              "/a/Build/Intermediates/Previews/x"}}
                                              << QStringLiteral("Daemonary") << false << true;
        QTest::newRow("products elsewhere, case differs")
            << Environment{{"__XCODE_BUILT_PRODUCTS_DIR_PATHS", "/a/previews/x"}}
            << QStringLiteral("Daemonary") << false << false;
        QTest::newRow("preview agent process")
            << Environment{} << QStringLiteral("XCPreviewAgent") << false << true;
        QTest::newRow("process name, case differs")
            << Environment{} << QStringLiteral("xcpreviewagent") << false << false;
    }

    void evaluate() {
        QFETCH(Environment, environment);
        QFETCH(QString, processName);
        QFETCH(bool, xcTestLoaded);
        QFETCH(bool, expected);
        const auto lookup = [&environment](std::string_view name) -> std::optional<std::string> {
            const auto found = environment.find(std::string(name));
            if (found == environment.end()) {
                return std::nullopt;
            }
            return found->second;
        };
        QCOMPARE(PreviewDetector::evaluate(lookup, processName.toStdString(), xcTestLoaded),
                 expected);
    }

    void processAnswerIsFixedAfterFirstAccess() {
        // This test process is no preview; a variable set later changes nothing.
        const bool first = PreviewDetector::isRunningForPreviews();
        QVERIFY(!first);
        qputenv("XCODE_RUNNING_FOR_PREVIEWS", "1");
        QCOMPARE(PreviewDetector::isRunningForPreviews(), first);
        qunsetenv("XCODE_RUNNING_FOR_PREVIEWS");
    }
};

QTEST_GUILESS_MAIN(PreviewDetectorTest)
#include "PreviewDetectorTest.moc"
