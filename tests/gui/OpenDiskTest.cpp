// File ▸ Open Mac Disk… on a Mac's tree with traps for every tool of it and of PATH.
#include "RecordingWorkspace.h"
#include "TestSupport.h"
#include "baseline/BaselineState.h"
#include "inspector/BackgroundItemSection.h"
#include "inspector/ServiceActionButtons.h"
#include "inspector/ServiceDetailView.h"
#include "offline/MacDisk.h"
#include "table/ServiceTableModel.h"
#include "table/ServiceTableView.h"
#include "table/ServiceTableViewModel.h"
#include "window/MainView.h"

// The core tests' tree builder, its log capture renamed away from this suite's.
#define LogCapture CoreLogCapture
#include "../core/offline/MacTreeSupport.h"
#undef LogCapture

#include <QAction>
#include <QFutureWatcherBase>
#include <QPlainTextEdit>
#include <QToolButton>
#include <algorithm>

using namespace daemonary;
using namespace daemonary::test;
using namespace Qt::StringLiterals;
using Column = ServiceTableModel::Column;
using Labels = std::vector<std::string>;

class OpenDiskTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<MacTree> m_tree;
    std::string m_ran;
    QByteArray m_path;
    std::unique_ptr<FakeDiscovery> m_host;
    std::unique_ptr<AppState> m_state;

private slots:
    void init() {
        m_tree = std::make_unique<MacTree>();
        m_ran = m_tree->outside() + "/ran.log";
        m_tree->addDefinition("/Library/LaunchDaemons", "com.example.daemon", "/Library/ex/exd");
        MacTree::writeTrap(*m_tree / "/Library/ex/exd", m_ran);
        for (const std::string name : {"alice", "bob"}) {
            // One agent of the same label in both homes, logging under "~".
            m_tree->addUser(name, name == "alice" ? "501" : "502");
            const std::string home = *m_tree / ("/Users/" + name);
            writeFile(home + "/Library/LaunchAgents/com.example.sync.plist",
                      plistXml("<dict><key>Label</key><string>com.example.sync</string>"
                               "<key>StandardOutPath</key><string>~/sync.log</string>"
                               "<key>Program</key><string>/Users/" +
                               name + "/sync</string></dict>"));
            writeFile(home + "/sync.log", name + " synced\n");
            MacTree::writeTrap(home + "/sync", m_ran);
        }
        m_tree->writeDisabled("502", "<key>com.example.sync</key><true/>");
        // The Mac's own tools, and this machine's first on PATH.
        m_tree->installTraps(m_tree->outside() + "/path", m_ran);
        m_path = qgetenv("PATH");
        qputenv("PATH", QByteArray::fromStdString(m_tree->outside() + "/path:") + m_path);
        m_host = std::make_unique<FakeDiscovery>();
        m_host->setItems(LaunchScope::system, {makeItem("com.host.only", ServiceStatus::active)});
        m_state = std::make_unique<AppState>(m_host->loader());
    }

    void cleanup() {
        m_host->holdLoads(false);
        m_host->release(64);
        m_state.reset();
        qputenv("PATH", m_path);
        m_tree.reset();
    }

    void aDiskIsShownReadOnlyRunsNothingAndComparesWithACopyOfIt() {
        const auto before = m_tree->contents();
        RecordingWorkspace workspace(m_tree->outside() + "/Trash");
        BaselineState baseline(*m_state, QString::fromStdString(m_tree->outside() + "/base.json"),
                               HostLayout(std::string(), m_tree->outside()));
        GuiDependencies dependencies;
        dependencies.appState = m_state.get();
        dependencies.clock = std::make_shared<ImmediateClock>();
        dependencies.baseline = &baseline;
        dependencies.workspace = &workspace;
        dependencies.inspectorUpdater = ServiceDetailView::showInInspector;
        dependencies.diskInspector = [&workspace](auto layoutOf, SignerStore* signers) {
            return ServiceDetailView::diskInspector(workspace, std::move(layoutOf), {}, signers);
        };
        MainView view(dependencies);
        QSignalSpy loaded(&view, &MainView::startUpLoadingFinished);
        view.show();
        QVERIFY(loaded.wait());
        view.setFolderChooser(
            [root = QString::fromStdString(m_tree->root())](QWidget*) { return root; });
        view.openDiskAction()->trigger();
        QVERIFY(loaded.wait());
        QVERIFY(view.diskBanner()->isVisible() &&
                view.diskBanner()->text().contains(QString::fromStdString(m_tree->root())));
        // Nothing of the host is left among the disk's records.
        QCOMPARE(labelsOf(*m_state->items(LaunchScope::system)), Labels{"com.example.daemon"});

        // Every row read-only, with its user; the same label in two homes is
        // two rows, and bob's own domain disables only his.
        for (const LaunchScope scope : allScopes()) {
            view.setSelectedScope(scope);
            QTRY_VERIFY(view.serviceTable() && !view.serviceTable()->viewModel().loading());
            ServiceTableView* table = view.serviceTable();
            const ServiceTableModel& model = table->tableModel();
            for (int row = 0; row < model.rowCount(); ++row) {
                const auto cell = [&](Column column) {
                    return model.index(row, model.section(column)).data().toString();
                };
                const LaunchItem& item = model.row(row).item;
                QCOMPARE(cell(Column::user).toStdString(), item.user.value_or(""));
                QCOMPARE(cell(Column::label).endsWith(u"Disabled"), item.user == "bob");
                // Signers are read from the files, never from a tool.
                QTRY_VERIFY(!cell(Column::signer).isEmpty());
                table->setSelectedIds({model.row(row).id});
                auto* pane = qobject_cast<ServiceDetailView*>(table->inspectorContent());
                QVERIFY2(pane != nullptr, item.label.c_str());
                QVERIFY(pane->actionButtons()->isHidden() && !pane->actionButtons()->isEnabled());
                QVERIFY(pane->findChild<QToolButton*>(u"executableInfoButton"_s) == nullptr);
                QVERIFY(pane->backgroundItemSection()->fact(u"Allowed"_s).startsWith(u"Unknown"));
                // "~" in a definition is its own user's home on the disk.
                QPlainTextEdit* log = nullptr;
                QTRY_VERIFY(!item.user || (log = pane->findChild<QPlainTextEdit*>(u"logTail"_s)));
                QVERIFY(!log ||
                        log->toPlainText().trimmed().toStdString() == *item.user + " synced");
                QTRY_VERIFY(!pane->isLoading());
            }
        }
        QCOMPARE(m_state->items(LaunchScope::user)->size(), std::size_t(2));
        QVERIFY(m_tree->contents() == before);

        // Its baseline hashes each program under the root.
        QSignalSpy saved(&baseline, &BaselineState::saveFinished);
        view.saveBaseline();
        QVERIFY(saved.wait());
        const auto& records = baseline.baseline()->records;
        QCOMPARE(records.size(), std::size_t(3));
        QVERIFY(std::ranges::all_of(records, [](const SnapshotRecord& record) {
            return record.fingerprint.programSha256.has_value();
        }));

        // A folder with neither System/Library nor Library changes nothing.
        QSignalSpy refused(&view, &MainView::diskRefused);
        view.openDisk(QString::fromStdString(m_tree->outside()));
        QVERIFY(refused.wait());
        QCOMPARE(view.shownDisk()->root(), m_tree->root());
        QCOMPARE(labelsOf(*m_state->items(LaunchScope::system)), Labels{"com.example.daemon"});

        // A copy elsewhere, alice's agent rewritten and the daemon's program
        // swapped: only those are marked, though every path here differs.
        const std::string copy = m_tree->outside() + "/Copy of Macintosh HD";
        std::filesystem::copy(m_tree->root(), copy, std::filesystem::copy_options::recursive);
        writeFile(copy + "/Users/alice/Library/LaunchAgents/com.example.sync.plist",
                  definitionXml("com.example.sync", "/Users/alice/sync"));
        writeFile(copy + "/Library/ex/exd", "#!/bin/sh\nexit 0\n", true);
        view.openDisk(QString::fromStdString(copy));
        QVERIFY(loaded.wait());
        QTRY_VERIFY(!baseline.busy());
        for (const LaunchItem& item : *m_state->items(LaunchScope::user)) {
            QCOMPARE(baseline.standing(item).mark,
                     item.user == "alice" ? ChangeMark::modified : ChangeMark::none);
        }
        const auto daemon = baseline.standing(m_state->items(LaunchScope::system)->front());
        QVERIFY(daemon.changes.size() == 1 && daemon.changes.front().key == "program");

        // Show This Mac goes back to the host.
        view.showThisMacAction()->trigger();
        QVERIFY(loaded.wait());
        QVERIFY(view.shownDisk() == nullptr && view.diskBanner()->isHidden());
        QCOMPARE(labelsOf(*m_state->items(LaunchScope::system)), Labels{"com.host.only"});
        QVERIFY2(!std::filesystem::exists(m_ran), "a tool or program of the tree or PATH ran");
    }

    void hostLoadFinishingAfterTheSwitchIsDropped() {
        m_host->holdLoads(true);
        m_state->loadScope(LaunchScope::system);
        QTRY_COMPARE(m_host->callCount(), 1);
        QSignalSpy scopeLoaded(m_state.get(), &AppState::scopeLoaded);
        m_state->replaceSource([](const std::vector<LaunchScope>&) {
            return AppState::DiscoveryLoader([](LaunchScope) {
                return AppState::Discovery{{makeItem("com.disk", ServiceStatus::unknown)}, {}, {}};
            });
        });
        m_state->loadScope(LaunchScope::system);
        QVERIFY(scopeLoaded.wait());
        m_host->release();
        // The host's load has come back once its watcher is gone.
        QTRY_VERIFY(m_state->findChildren<QFutureWatcherBase*>().isEmpty());
        QCOMPARE(scopeLoaded.size(), 1);
        QCOMPARE(labelsOf(*m_state->items(LaunchScope::system)), Labels{"com.disk"});
    }
};

QTEST_MAIN(OpenDiskTest)
#include "OpenDiskTest.moc"
