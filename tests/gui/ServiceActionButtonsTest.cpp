#include "inspector/ServiceActionButtons.h"

#include "RecordingWorkspace.h"
#include "TestSupport.h"
#include "style/ButtonStyle.h"
#include "style/ConfirmationPrompt.h"
#include "style/ViewStyle.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QImage>
#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QStyle>
#include <QStyleFactory>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>
#include <filesystem>
#include <fstream>
#include <memory>
#include <unistd.h>

using namespace daemonary;
using daemonary::test::dominantColor;
using daemonary::test::sameRgb;
using daemonary::test::writeScript;
using namespace Qt::StringLiterals;
namespace fs = std::filesystem;

namespace {

LaunchItem record(ServiceType type, LaunchScope scope, std::optional<std::int32_t> pid = {}) {
    LaunchItem item;
    item.label = "com.example.agent";
    item.type = type;
    item.scope = scope;
    item.path = "/Users/demo/Library/LaunchAgents/com.example.agent.plist";
    item.pid = pid;
    item.status = pid ? ServiceStatus::active : ServiceStatus::inactive;
    return item;
}

} // namespace

class ServiceActionButtonsTest : public QObject {
    Q_OBJECT

private slots:
    void init() {
        QVERIFY(m_dir.isValid());
        m_root = fs::path(m_dir.path().toStdString()) / "host";
        m_home = fs::path(m_dir.path().toStdString()) / "home";
        fs::create_directories(m_home / "Library/LaunchAgents");
        m_workspace = std::make_unique<RecordingWorkspace>(m_home / ".Trash");
        m_actions = std::make_unique<ServiceActionManager>(
            *m_workspace, HostLayout(m_root.string(), m_home.string()));
        m_refresh = std::make_unique<RefreshCounter>();
        m_log = std::make_unique<test::LogCapture>();
        m_questions.clear();
        m_answer = true;
        ConfirmationPrompt::setAnswerer([this](const ConfirmationPrompt::Question& question) {
            m_questions.push_back(question);
            return m_answer;
        });
    }

    void cleanup() {
        ConfirmationPrompt::setAnswerer({});
        m_log.reset();
        m_actions.reset();
        m_workspace.reset();
        fs::remove_all(m_root);
        fs::remove_all(m_home);
    }

    void removeIsReadableAndRedOnEveryStyleAndPalette() {
        for (const QString& styleName : QStyleFactory::keys()) {
            std::unique_ptr<QStyle> style(QStyleFactory::create(styleName));
            QPalette dark = style->standardPalette();
            for (const auto group : {QPalette::Active, QPalette::Inactive}) {
                dark.setColor(group, QPalette::Window, QColor(40, 40, 40));
                dark.setColor(group, QPalette::Button, QColor(60, 60, 62));
                dark.setColor(group, QPalette::ButtonText, QColor(235, 235, 235));
            }
            for (const bool isDark : {false, true}) {
                QWidget window;
                window.setPalette(isDark ? dark : style->standardPalette());
                auto* buttons = new ServiceActionButtons(*m_actions, binding(), &window);
                buttons->setItem(record(ServiceType::launchAgent, LaunchScope::user));
                auto* remove = buttons->findChild<QPushButton*>(u"removeButton"_s);
                remove->setStyle(style.get());
                const QString context = styleName + (isDark ? u" dark"_s : u" light"_s);

                const QColor text = remove->palette().color(QPalette::ButtonText);
                const QColor face = remove->palette().color(QPalette::Button);
                QVERIFY2(ViewStyle::contrastRatio(text, face) >= ViewStyle::kReadableContrast,
                         qPrintable(context));
                // Clearly red: the red channel well above the others.
                QVERIFY2(text.red() > text.green() + 60 && text.red() > text.blue() + 60,
                         qPrintable(context + u' ' + text.name()));
                QVERIFY2(sameRgb(dominantColor(remove->icon().pixmap(16)), text),
                         qPrintable(context));
                // The style draws the text in that colour (a style that ignored
                // it would leave no such pixel).
                const QImage drawn = remove->grab().toImage();
                bool found = false;
                for (int y = 0; y < drawn.height() && !found; ++y) {
                    for (int x = 0; x < drawn.width() && !found; ++x) {
                        found = sameRgb(drawn.pixelColor(x, y), text, 24);
                    }
                }
                QVERIFY2(found, qPrintable(context));
            }
        }
    }

    void titlesAndEnablingFollowTypeAndCategory() {
        ServiceActionButtons buttons(*m_actions, binding());
        auto* reveal = buttons.findChild<QPushButton*>(u"revealButton"_s);
        auto* toggle = buttons.findChild<QPushButton*>(u"toggleButton"_s);
        auto* remove = buttons.findChild<QPushButton*>(u"removeButton"_s);
        QVERIFY(reveal && toggle && remove);
        QCOMPARE(reveal->text(), u"Reveal"_s);
        QCOMPARE(remove->text(), u"Remove"_s);
        QVERIFY(remove->property("prominent").toBool());
        QVERIFY(!toggle->property("prominent").toBool());
        for (auto* button : {reveal, toggle, remove}) {
            QVERIFY(!button->accessibleName().isEmpty());
        }

        buttons.setItem(record(ServiceType::launchAgent, LaunchScope::user));
        QCOMPARE(toggle->text(), u"Start"_s);
        QVERIFY(toggle->isEnabled());
        QVERIFY(remove->isEnabled());
        QVERIFY(reveal->isEnabled());

        buttons.setItem(record(ServiceType::launchAgent, LaunchScope::user, 412));
        QCOMPARE(toggle->text(), u"Stop"_s);
        QCOMPARE(toggle->accessibleName(), u"Stop"_s);
        QVERIFY(toggle->isEnabled());

        // Start/Stop is for launch agents only, whatever the category, and
        // says why not.
        for (const auto type :
             {ServiceType::launchDaemon, ServiceType::startupItem, ServiceType::loginItem,
              ServiceType::xpcService, ServiceType::kernelExtension, ServiceType::launchService}) {
            for (const std::optional<std::int32_t> pid :
                 {std::optional<std::int32_t>(7), std::optional<std::int32_t>()}) {
                buttons.setItem(record(type, LaunchScope::user, pid));
                QVERIFY2(!toggle->isEnabled(), toText(type).data());
                QVERIFY2(!toggle->toolTip().isEmpty(), toText(type).data());
                QCOMPARE(remove->isEnabled(), type != ServiceType::launchDaemon);
                QVERIFY(reveal->isEnabled());
            }
        }
        buttons.setItem(record(ServiceType::launchDaemon, LaunchScope::system, 7));
        QCOMPARE(toggle->text(), u"Stop"_s);
        QVERIFY(toggle->toolTip().contains(u"sudo launchctl bootout system/com.example.agent"_s));
        // Remove is for the User category only, whatever the type.
        for (const auto scope : allScopes()) {
            buttons.setItem(record(ServiceType::launchAgent, scope));
            QCOMPARE(remove->isEnabled(), scope == LaunchScope::user);
            QVERIFY(toggle->isEnabled());
        }
    }

    void failedStartIsLoggedAndDoesNotReload() {
        ServiceActionButtons buttons(*m_actions, binding());
        LaunchItem item = record(ServiceType::launchAgent, LaunchScope::user);
        item.path = (m_home / "Library/LaunchAgents/gone.plist").string();
        buttons.setItem(item);

        QSignalSpy finished(&buttons, &ServiceActionButtons::actionFinished);
        QTest::mouseClick(buttons.toggleButton(), Qt::LeftButton);
        // Not disabled while the toggle runs: presses are independent.
        QVERIFY(buttons.toggleButton()->isEnabled());
        QVERIFY(finished.wait());
        QCOMPARE(finished.first().first().toBool(), false);
        QCOMPARE(m_refresh->flips(), 0);
        QVERIFY(hasLogLine("Failed to toggle service: missingPath"));
        QVERIFY(buttons.errorNote()->isVisibleTo(&buttons));
    }

    void aDisabledStoppedAgentOffersEnableAndStart() {
        const fs::path calls = m_root / "calls";
        writeScript(m_root / "bin/launchctl",
                    "echo \"$1\" >> '" + calls.string() +
                        "'\n[ \"$1\" = kickstart ] || exit 0\n"
                        "echo 'Could not kickstart service \"x\": 1: Operation not permitted' "
                        ">&2\necho 'Try re-running the command as root for richer errors.' "
                        ">&2\nexit 1");
        const fs::path definition = m_home / "Library/LaunchAgents/com.example.agent.plist";
        std::ofstream(definition) << "<plist/>";
        LaunchItem item = record(ServiceType::launchAgent, LaunchScope::user);
        item.path = definition.string();
        ServiceActionButtons buttons(*m_actions, binding());
        buttons.setItem(item);
        buttons.setDisabledState(true);
        QCOMPARE(buttons.toggleButton()->text(), u"Enable and Start"_s);
        QCOMPARE(buttons.toggleButton()->accessibleName(), u"Enable and Start"_s);
        QVERIFY(buttons.toggleButton()->isEnabled());

        QSignalSpy finished(&buttons, &ServiceActionButtons::actionFinished);
        QTest::mouseClick(buttons.toggleButton(), Qt::LeftButton);
        QVERIFY(finished.wait());
        std::vector<std::string> subcommands;
        std::ifstream log(calls);
        for (std::string line; std::getline(log, line);) {
            subcommands.push_back(line);
        }
        QCOMPARE(subcommands, (std::vector<std::string>{"enable", "bootstrap", "kickstart"}));
        // Enabled, though not started: the lists must show that.
        QCOMPARE(m_refresh->flips(), 1);
        QVERIFY(buttons.errorNote()->isVisibleTo(&buttons));
        // One plain sentence: launchctl's reason, no internal names, no hint.
        QCOMPARE(buttons.errorNote()->text(),
                 u"Could not enable and start: Could not kickstart service \"x\": 1: Operation "
                 "not permitted"_s);

        // The next action clears it, whatever it is.
        QTest::mouseClick(buttons.revealButton(), Qt::LeftButton);
        QVERIFY(!buttons.errorNote()->isVisibleTo(&buttons));
    }

    void removeAsksFirstAndKeepsTheFileOfAJobThatWillNotStop() {
        // launchd gives the label its own pid: never signalled.
        writeScript(m_root / "bin/launchctl",
                    "[ \"$1\" = list ] && printf '1\\t0\\tcom.example.<b>agent</b>\\n' && exit 0\n"
                    "echo 'Boot-out failed: 5' >&2\nexit 5");
        const fs::path definition = m_home / "Library/LaunchAgents/com.example.agent.plist";
        std::ofstream(definition) << "<plist/>";
        LaunchItem item = record(ServiceType::launchAgent, LaunchScope::user, 1);
        item.label = "com.example.<b>agent</b>";
        item.path = definition.string();
        ServiceActionButtons buttons(*m_actions, binding());
        buttons.setItem(item);
        QSignalSpy finished(&buttons, &ServiceActionButtons::actionFinished);

        // Cancelled: nothing runs. The question names the item, the running
        // job and where its file goes.
        m_answer = false;
        QTest::mouseClick(buttons.removeButton(), Qt::LeftButton);
        QCOMPARE(m_questions.size(), std::size_t{1});
        const QString question = m_questions.front().text;
        for (const QString& part :
             {u"com.example.<b>agent</b>"_s, u"PID 1"_s, u"stopped"_s, u"Trash"_s}) {
            QVERIFY2(question.contains(part), qPrintable(question));
        }
        QCOMPARE(finished.count(), 0);

        m_answer = true;
        QTest::mouseClick(buttons.removeButton(), Qt::LeftButton);
        QVERIFY(finished.wait());
        QCOMPARE(finished.last().first().toBool(), false);
        QVERIFY(fs::exists(definition));
        QVERIFY(m_workspace->trashed().empty());
        QVERIFY2(buttons.errorNote()->text().contains(
                     u"Not removed: Refusing to stop critical system process (PID 1)"_s),
                 qPrintable(buttons.errorNote()->text()));
        QVERIFY(buttons.errorNote()->isVisibleTo(&buttons));
    }

    void removeMovesAUserAgentToTheTrashAndReloads() {
        writeScript(m_root / "bin/launchctl", "exit 0");
        const fs::path definition = m_home / "Library/LaunchAgents/com.example.agent.plist";
        std::ofstream(definition) << "<plist/>";
        LaunchItem item = record(ServiceType::launchAgent, LaunchScope::user);
        item.path = definition.string();

        ServiceActionButtons buttons(*m_actions, binding());
        buttons.setItem(item);
        QSignalSpy finished(&buttons, &ServiceActionButtons::actionFinished);
        QTest::mouseClick(buttons.removeButton(), Qt::LeftButton);
        QVERIFY(finished.wait());
        QCOMPARE(finished.first().first().toBool(), true);
        QCOMPARE(m_refresh->flips(), 1);
        QVERIFY(!fs::exists(definition));
        QVERIFY(fs::exists(m_home / ".Trash/com.example.agent.plist"));
        QCOMPARE(m_workspace->trashed(), std::vector<std::string>{definition.string()});

        // A second press finds nothing to move: logged, no reload.
        QTest::mouseClick(buttons.removeButton(), Qt::LeftButton);
        QVERIFY(finished.wait());
        QCOMPARE(finished.last().first().toBool(), false);
        QCOMPARE(m_refresh->flips(), 1);
        QVERIFY(hasLogLine("Failed to delete: "));
        QVERIFY(buttons.errorNote()->isVisibleTo(&buttons));
    }

    void revealSelectsTheDefinitionThenTheExecutable() {
        LaunchItem item = record(ServiceType::launchDaemon, LaunchScope::system);
        item.path.reset();
        ServiceActionButtons buttons(*m_actions, binding());
        buttons.setItem(item);
        QTest::mouseClick(buttons.revealButton(), Qt::LeftButton);
        QVERIFY(m_workspace->revealed().empty());

        item.path = "/Library/LaunchDaemons/com.example.plist";
        item.executablePath = "/usr/local/bin/example";
        buttons.setItem(item);
        QTest::mouseClick(buttons.revealButton(), Qt::LeftButton);
        // Mac paths, revealed where they are on the simulated host; one file,
        // so one folder opens.
        std::vector<std::vector<std::string>> expected{
            {(m_root / "Library/LaunchDaemons/com.example.plist").string()}};
        QCOMPARE(m_workspace->revealed(), expected);
        item.path.reset();
        buttons.setItem(item);
        QTest::mouseClick(buttons.revealButton(), Qt::LeftButton);
        expected.push_back({(m_root / "usr/local/bin/example").string()});
        QCOMPARE(m_workspace->revealed(), expected);
        QCOMPARE(m_refresh->flips(), 0);
    }

    void disableIsOfferedForAgentsAndExplainedForDaemons() {
        ServiceActionButtons buttons(*m_actions, binding());
        QPushButton* disable = buttons.findChild<QPushButton*>(u"disableButton"_s);
        QVERIFY(disable != nullptr);

        // Unknown state offers Disable: disabling twice does no harm.
        buttons.setItem(record(ServiceType::launchAgent, LaunchScope::system));
        QCOMPARE(disable->text(), u"Disable"_s);
        QCOMPARE(disable->accessibleName(), u"Disable"_s);
        QVERIFY(disable->isEnabled());
        QVERIFY(!disable->toolTip().isEmpty());
        buttons.setDisabledState(false);
        QCOMPARE(disable->text(), u"Disable"_s);
        buttons.setDisabledState(true);
        QCOMPARE(disable->text(), u"Enable"_s);
        QCOMPARE(disable->accessibleName(), u"Enable"_s);
        QVERIFY(!buttons.stillRunningNote()->isVisibleTo(&buttons));
        QVERIFY(!buttons.daemonNote()->isVisibleTo(&buttons));

        // Disabled and still running: said so, with Stop beside it.
        buttons.setItem(record(ServiceType::launchAgent, LaunchScope::user, 88));
        QVERIFY(buttons.stillRunningNote()->isVisibleTo(&buttons));
        QVERIFY(buttons.stopNowButton()->isVisibleTo(&buttons));
        QVERIFY(!buttons.stopNowButton()->accessibleName().isEmpty());
        buttons.setDisabledState(false);
        QVERIFY(!buttons.stillRunningNote()->isVisibleTo(&buttons));

        // The same kind of rule as Start/Stop: the type alone.
        for (const auto type :
             {ServiceType::launchDaemon, ServiceType::startupItem, ServiceType::loginItem,
              ServiceType::launchService, ServiceType::kernelExtension, ServiceType::other}) {
            buttons.setItem(record(type, LaunchScope::user, 7));
            QVERIFY2(!disable->isEnabled(), toText(type).data());
            QCOMPARE(buttons.daemonNote()->isVisibleTo(&buttons),
                     type == ServiceType::launchDaemon);
            QVERIFY(!buttons.stillRunningNote()->isVisibleTo(&buttons));
        }

        // A daemon: the command an administrator runs, selectable and copyable.
        buttons.setItem(record(ServiceType::launchDaemon, LaunchScope::system));
        buttons.setDisabledState(false);
        QCOMPARE(buttons.daemonNote()->text(),
                 u"Disabling a daemon needs administrator rights: sudo launchctl disable "
                 "system/com.example.agent"_s);
        QVERIFY(buttons.daemonNote()->textInteractionFlags() & Qt::TextSelectableByMouse);
        QTest::mouseClick(buttons.copyCommandButton(), Qt::LeftButton);
        QCOMPARE(QGuiApplication::clipboard()->text(),
                 u"sudo launchctl disable system/com.example.agent"_s);
        buttons.setDisabledState(true);
        QVERIFY(buttons.daemonNote()->text().startsWith(u"Enabling a daemon"_s));
        QVERIFY(buttons.daemonNote()->text().endsWith(u"sudo launchctl enable "
                                                      "system/com.example.agent"_s));
    }

    void disableAndEnableRunLaunchctlAndReload() {
        const fs::path calls = m_root / "calls";
        writeScript(m_root / "bin/launchctl", "printf '%s\\n' \"$*\" >> '" + calls.string() + "'");
        ServiceActionButtons buttons(*m_actions, binding());
        buttons.setItem(record(ServiceType::launchAgent, LaunchScope::user, 51));
        buttons.setDisabledState(false);

        QSignalSpy finished(&buttons, &ServiceActionButtons::actionFinished);
        QTest::mouseClick(buttons.disableButton(), Qt::LeftButton);
        QVERIFY(finished.wait());
        QCOMPARE(finished.last().first().toBool(), true);
        QCOMPARE(m_refresh->flips(), 1);
        // What launchd now holds shows at once; the reload confirms it.
        QCOMPARE(buttons.disableButton()->text(), u"Enable"_s);
        QVERIFY(buttons.stillRunningNote()->isVisibleTo(&buttons));

        QTest::mouseClick(buttons.disableButton(), Qt::LeftButton);
        QVERIFY(finished.wait());
        QCOMPARE(m_refresh->flips(), 2);
        const std::string target = "gui/" + std::to_string(::getuid()) + "/com.example.agent";
        std::ifstream log(calls);
        std::vector<std::string> lines;
        for (std::string line; std::getline(log, line);) {
            lines.push_back(line);
        }
        QCOMPARE(lines, (std::vector<std::string>{"disable " + target, "enable " + target}));
    }

    void failedDisableShowsLaunchctlsWordsOnOneLine() {
        writeScript(m_root / "bin/launchctl",
                    "echo 'Disable failed: 1: Operation not permitted' >&2\n"
                    "echo '  while asking launchd' >&2\nexit 1");
        ServiceActionButtons buttons(*m_actions, binding());
        buttons.setItem(record(ServiceType::launchAgent, LaunchScope::user));
        QSignalSpy finished(&buttons, &ServiceActionButtons::actionFinished);
        QTest::mouseClick(buttons.disableButton(), Qt::LeftButton);
        QVERIFY(finished.wait());
        QCOMPARE(finished.last().first().toBool(), false);
        QCOMPARE(m_refresh->flips(), 0);
        QVERIFY(buttons.errorNote()->isVisibleTo(&buttons));
        // launchctl's numbered reason; what it adds below is for the log.
        QCOMPARE(buttons.errorNote()->text(),
                 u"Could not disable: Disable failed: 1: Operation not permitted"_s);
        QCOMPARE(buttons.disableButton()->text(), u"Disable"_s);
        QVERIFY(hasLogLine("Failed to disable service: "));

        // Another record does not inherit the error.
        LaunchItem other = record(ServiceType::launchAgent, LaunchScope::user);
        other.label = "com.example.other";
        buttons.setItem(other);
        QVERIFY(!buttons.errorNote()->isVisibleTo(&buttons));
    }

    void glassButtonStyleReturnsTheButtonItWasGiven() {
        QPushButton button;
        QCOMPARE(glassButtonStyle(&button, true), &button);
        QCOMPARE(glassButtonStyle(nullptr), nullptr);
    }

private:
    RefreshBinding binding() {
        return RefreshBinding(m_refresh.get(), [counter = m_refresh.get()] { counter->flip(); });
    }

    bool hasLogLine(const char* prefix) const {
        return !m_log->linesStartingWith(QString::fromUtf8(prefix)).isEmpty();
    }

    QTemporaryDir m_dir;
    fs::path m_root;
    fs::path m_home;
    std::unique_ptr<RecordingWorkspace> m_workspace;
    std::unique_ptr<ServiceActionManager> m_actions;
    std::unique_ptr<RefreshCounter> m_refresh;
    std::unique_ptr<test::LogCapture> m_log;
    std::vector<ConfirmationPrompt::Question> m_questions;
    bool m_answer = true;
};

QTEST_MAIN(ServiceActionButtonsTest)
#include "ServiceActionButtonsTest.moc"
