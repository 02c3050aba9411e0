// The detail pane's "Why It Runs" and "Logs" sections, alone and in the pane.

#include "RecordingWorkspace.h"
#include "inspector/BackgroundItemSection.h"
#include "inspector/LogSection.h"
#include "inspector/ServiceActionButtons.h"
#include "inspector/ServiceDetailView.h"
#include "inspector/TriggerSection.h"
#include "style/TextStyle.h"

#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>

using namespace daemonary;
using namespace Qt::StringLiterals;
namespace fs = std::filesystem;

namespace {

void writeFile(const fs::path& path, const std::string& content) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << content;
}

QStringList labelTexts(const QWidget& parent, const QString& name) {
    QStringList texts;
    for (const QLabel* label : parent.findChildren<QLabel*>(name)) {
        texts.append(label->text());
    }
    return texts;
}

} // namespace

class InspectorSectionsTest : public QObject {
    Q_OBJECT

private slots:
    void init() {
        QVERIFY(m_dir.isValid());
        m_root = fs::path(m_dir.path().toStdString()) / "host";
        m_home = m_root / "Users/demo";
        fs::create_directories(m_home / "Library/LaunchAgents");
        m_workspace = std::make_unique<RecordingWorkspace>(m_home / ".Trash");
        m_actions = std::make_unique<ServiceActionManager>(*m_workspace, layout());
    }

    void cleanup() {
        m_actions.reset();
        m_workspace.reset();
        fs::remove_all(m_root);
    }

    void triggerFactsAreSelectableLines() {
        TriggerSection section;
        QVERIFY(section.isHidden());
        section.setDefinition(PlistDictionary{
            {"RunAtLoad", true},
            {"StartInterval", std::string("hourly")},
            {"ProgramArguments", PlistArray{std::string("/bin/echo"), std::string("a\x1b[2Jb")}},
        });
        QVERIFY(!section.isHidden());
        QCOMPARE(
            labelTexts(section, u"triggerFact"_s),
            QStringList({u"Runs when it is loaded (at boot or login)"_s,
                         u"StartInterval cannot be read: expected an integer, found a string"_s,
                         u"Command: /bin/echo 'a\u241B[2Jb'"_s}));
        const auto labels = section.findChildren<QLabel*>(u"triggerFact"_s);
        for (const QLabel* label : labels) {
            QVERIFY(label->textInteractionFlags() & Qt::TextSelectableByMouse);
            QCOMPARE(label->textFormat(), Qt::PlainText);
        }
        // The unreadable one is dimmed, the others are not.
        QVERIFY(labels[1]->palette().color(QPalette::WindowText).alpha() < 255);
        QCOMPARE(labels[0]->palette().color(QPalette::WindowText).alpha(), 255);
        QCOMPARE(labels[1]->property("kind").toString(), u"StartInterval"_s);

        section.setDefinition(PlistDictionary{{"Label", std::string("x")}});
        QCOMPARE(labelTexts(section, u"triggerFact"_s),
                 QStringList({u"Nothing in its definition starts it."_s}));
        section.setDefinition(std::nullopt);
        QVERIFY(section.isHidden());
        QVERIFY(section.findChildren<QLabel*>(u"triggerFact"_s).isEmpty());
    }

    void logsShowTailsStatesAndReveal() {
        writeFile(m_root / "Library/Logs/job.log", "first\r\nsecond\r\n");
        LogSection section(*m_actions, layout());
        QSignalSpy loaded(&section, &LogSection::logsLoaded);
        section.setDefinition(
            PlistDictionary{
                {"StandardOutPath", std::string("/Library/Logs/job.log")},
                {"StandardErrorPath", std::string("/Library/Logs/job.err")},
            },
            false);
        QVERIFY(section.isLoading());
        QVERIFY(loaded.wait());
        QVERIFY(!section.isLoading());
        QVERIFY(!section.isHidden());
        QCOMPARE(section.reports().size(), 2u);

        const auto tails = section.findChildren<QPlainTextEdit*>(u"logTail"_s);
        QCOMPARE(tails.size(), 1);
        QCOMPARE(tails[0]->toPlainText(), u"first\nsecond"_s);
        QVERIFY(tails[0]->isReadOnly());
        QCOMPARE(tails[0]->font(), TextStyle::monospacedCaption());
        QVERIFY(!tails[0]->accessibleName().isEmpty());
        QCOMPARE(labelTexts(section, u"logPath"_s),
                 QStringList({u"/Library/Logs/job.log"_s, u"/Library/Logs/job.err"_s}));
        QCOMPARE(labelTexts(section, u"logState"_s), QStringList({u"No log file yet"_s}));

        const auto reveals = section.findChildren<QToolButton*>(u"logRevealButton"_s);
        QCOMPARE(reveals.size(), 2);
        for (const QToolButton* button : reveals) {
            QVERIFY(!button->accessibleName().isEmpty());
            QVERIFY(!button->toolTip().isEmpty());
        }
        QVERIFY(reveals[0]->isEnabled());
        QVERIFY(!reveals[1]->isEnabled());
        reveals[0]->click();
        QCOMPARE(m_workspace->revealed(), std::vector<std::vector<std::string>>(
                                              {{(m_root / "Library/Logs/job.log").string()}}));

        section.setDefinition(PlistDictionary{{"Label", std::string("x")}}, false);
        QVERIFY(section.isHidden());
        QVERIFY(section.findChildren<QPlainTextEdit*>(u"logTail"_s).isEmpty());
    }

    void specialFilesAreNotReadAndTheLastRequestWins() {
        fs::create_directories(m_root / "var/log");
        QCOMPARE(::mkfifo((m_root / "var/log/fifo.log").c_str(), 0644), 0);
        writeFile(m_root / "var/log/second.log", "second\n");
        LogSection section(*m_actions, layout());
        QSignalSpy loaded(&section, &LogSection::logsLoaded);
        section.setDefinition(
            PlistDictionary{{"StandardOutPath", std::string("/var/log/fifo.log")}}, false);
        QVERIFY(loaded.wait());
        QCOMPARE(labelTexts(section, u"logState"_s),
                 QStringList({u"Not a regular file, not read"_s}));

        // Two reads in flight: only the later one is shown, and only once.
        loaded.clear();
        section.setDefinition(
            PlistDictionary{{"StandardOutPath", std::string("/var/log/fifo.log")}}, false);
        section.setDefinition(
            PlistDictionary{{"StandardErrorPath", std::string("/var/log/second.log")}}, false);
        QVERIFY(loaded.wait());
        QCOMPARE(loaded.count(), 1);
        QCOMPARE(section.reports().size(), 1u);
        QCOMPARE(section.reports()[0].file.path, std::string("/var/log/second.log"));
        QVERIFY(labelTexts(section, u"logState"_s).isEmpty());
    }

    void thePaneShowsBothSectionsForADefinition() {
        const fs::path definition = m_home / "Library/LaunchAgents/com.example.agent.plist";
        writeFile(definition, R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict>
  <key>Label</key><string>com.example.agent</string>
  <key>Program</key><string>/usr/local/bin/agent</string>
  <key>StartCalendarInterval</key><dict><key>Hour</key><integer>3</integer><key>Minute</key><integer>15</integer></dict>
  <key>StandardOutPath</key><string>~/Library/Logs/agent.log</string>
</dict></plist>
)");
        writeFile(m_home / "Library/Logs/agent.log", "done\n");
        RefreshCounter refresh;
        ServiceDetailView view(*m_actions,
                               RefreshBinding(&refresh, [counter = &refresh] { counter->flip(); }),
                               {}, layout());
        QSignalSpy details(&view, &ServiceDetailView::detailsLoaded);
        QSignalSpy logs(view.logSection(), &LogSection::logsLoaded);
        LaunchItem item;
        item.label = "com.example.agent";
        item.path = definition.string();
        item.scope = LaunchScope::user;
        item.type = ServiceType::launchAgent;
        view.setItem(item);
        QVERIFY(details.wait());
        QVERIFY(logs.count() > 0 || logs.wait());

        QVERIFY(!view.triggerSection()->isHidden());
        QCOMPARE(labelTexts(*view.triggerSection(), u"triggerFact"_s),
                 QStringList({u"Runs every day at 03:15"_s, u"Command: /usr/local/bin/agent"_s}));
        const auto tails = view.logSection()->findChildren<QPlainTextEdit*>(u"logTail"_s);
        QCOMPARE(tails.size(), 1);
        QCOMPARE(tails[0]->toPlainText(), u"done"_s);

        // A record without a definition file hides both.
        item.path.reset();
        item.label = "other";
        view.setItem(item);
        QVERIFY(view.triggerSection()->isHidden());
        QVERIFY(view.logSection()->isHidden());
    }

    // An app's agent the user switched off: the pane says so before anything
    // its definition says, names the app and reveals it, and shows the
    // developer name the tool printed without obeying its controls.
    void aBackgroundItemNamesItsAppAndWhetherItMayRun() {
        const fs::path app = m_root / "Applications/Harbor.app";
        const fs::path definition = app / "Contents/Library/LaunchAgents/com.harbor.agent.plist";
        writeFile(definition, R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict>
  <key>Label</key><string>com.harbor.agent</string>
  <key>BundleProgram</key><string>Contents/MacOS/agent</string>
  <key>RunAtLoad</key><true/>
</dict></plist>
)");
        RefreshCounter refresh;
        ServiceDetailView view(*m_actions,
                               RefreshBinding(&refresh, [counter = &refresh] { counter->flip(); }),
                               {}, layout());
        QSignalSpy details(&view, &ServiceDetailView::detailsLoaded);
        BackgroundItemSection* section = view.backgroundItemSection();
        QSignalSpy icon(section, &BackgroundItemSection::iconLookupFinished);
        LaunchItem item;
        item.label = "com.harbor.agent";
        item.path = definition.string();
        item.scope = LaunchScope::background;
        item.type = ServiceType::launchAgent;
        item.parentApp = app.string();
        item.allowedInBackground = false;
        BackgroundItem facts;
        facts.developerName = "Harbor\x1b[2J Inc";
        facts.teamIdentifier = "ADV3NTR3W0";
        item.backgroundItem = facts;
        view.setItem(item);
        QVERIFY(details.wait());
        QVERIFY(icon.count() > 0 || icon.wait());

        const QStringList lines = labelTexts(*view.triggerSection(), u"triggerFact"_s);
        QVERIFY(lines.size() >= 2);
        QVERIFY(lines.first().startsWith(u"Not allowed in the background"_s));
        QCOMPARE(lines.at(1), u"Runs when it is loaded (at boot or login)"_s);
        QVERIFY(!section->isHidden());
        QVERIFY(section->fact(u"Allowed"_s).startsWith(u"No"_s));
        QVERIFY(!section->fact(u"Developer"_s).contains(QChar(0x1b)));
        QCOMPARE(section->fact(u"Team"_s), u"ADV3NTR3W0"_s);
        auto* caption = section->findChild<QLabel*>(u"removeAppCaption"_s);
        QVERIFY(caption != nullptr && caption->text().contains(u"Harbor.app"_s));
        auto* reveal = section->findChild<QToolButton*>(u"revealParentAppButton"_s);
        QVERIFY(reveal != nullptr && reveal->isEnabled());
        reveal->click();
        QCOMPARE(m_workspace->revealed(), (std::vector<std::vector<std::string>>{{app.string()}}));

        // A record Background Task Management knows nothing of hides it.
        item = LaunchItem{};
        item.label = "plain";
        view.setItem(item);
        QVERIFY(section->isHidden());
    }

    // An orphan: its app went to the Trash, Background Task Management still
    // lists it. The pane must not send the user to an app that is not there,
    // and shows what the record was left with; Start cannot work.
    void anOrphanSaysItsAppIsGoneAndHowItWasLeft() {
        RefreshCounter refresh;
        ServiceDetailView view(*m_actions,
                               RefreshBinding(&refresh, [counter = &refresh] { counter->flip(); }),
                               {}, layout());
        BackgroundItemSection* section = view.backgroundItemSection();
        LaunchItem item;
        item.label = "com.litware.sync.agent";
        item.path = (m_root / "Applications/Litware Sync.app/Contents/Library/LaunchAgents/"
                              "com.litware.sync.agent.plist")
                        .string();
        item.scope = LaunchScope::background;
        item.type = ServiceType::launchAgent;
        item.parentApp = (m_root / "Applications/Litware Sync.app").string();
        item.orphaned = true;
        BackgroundItem facts;
        facts.dispositionFlags = BackgroundItem::kEnabled | BackgroundItem::kAllowed;
        item.backgroundItem = facts;
        view.setItem(item);

        auto* caption = section->findChild<QLabel*>(u"removeAppCaption"_s);
        QVERIFY(caption != nullptr);
        QVERIFY2(caption->text().contains(u"Litware Sync.app, is gone"_s) &&
                     !caption->text().contains(u"remove the app"_s),
                 qPrintable(caption->text()));
        QCOMPARE(section->fact(u"Left As"_s), u"enabled, allowed, visible"_s);
        QPushButton* start = view.actionButtons()->toggleButton();
        QCOMPARE(start->text(), u"Start"_s);
        QVERIFY(!start->isEnabled());
        QVERIFY2(start->toolTip().contains(u"app is gone"_s), qPrintable(start->toolTip()));
    }

private:
    HostLayout layout() const { return HostLayout(m_root.string(), m_home.string()); }

    QTemporaryDir m_dir;
    fs::path m_root;
    fs::path m_home;
    std::unique_ptr<RecordingWorkspace> m_workspace;
    std::unique_ptr<ServiceActionManager> m_actions;
};

QTEST_MAIN(InspectorSectionsTest)
#include "InspectorSectionsTest.moc"
