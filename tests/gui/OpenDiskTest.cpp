// File ▸ Open Mac Disk… on a Mac's tree built per test, with traps for
// every tool of the tree and of PATH.
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

#include <QAction>
#include <QFutureWatcherBase>
#include <QLabel>
#include <QPlainTextEdit>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>
#include <algorithm>
#include <filesystem>
#include <fstream>

using namespace daemonary;
using namespace daemonary::test;
using namespace Qt::StringLiterals;
namespace fs = std::filesystem;

namespace {

constexpr const char* kSharedAgent = "com.example.sync";
constexpr const char* kDaemon = "com.example.daemon";

void writeFile(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path) << text;
}

std::string plist(const std::string& body) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
           "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
           "<plist version=\"1.0\"><dict>" +
           body + "</dict></plist>\n";
}

std::string job(const std::string& label, const std::string& program,
                const std::string& more = std::string()) {
    return plist("<key>Label</key><string>" + label + "</string><key>Program</key><string>" +
                 program + "</string><key>RunAtLoad</key><true/>" + more);
}

std::string account(const std::string& name, const std::string& uid) {
    const auto one = [](const std::string& key, const std::string& value) {
        return "<key>" + key + "</key><array><string>" + value + "</string></array>";
    };
    return plist(one("name", name) + one("uid", uid) + one("home", "/Users/" + name));
}

// A program that notes its run in `ran`.
void writeTrap(const fs::path& path, const fs::path& ran) {
    writeScript(path, "echo \"$0\" >> '" + ran.string() + "'");
}

// Every tool a Mac or this machine has for services.
void writeTraps(const fs::path& folder, const fs::path& ran) {
    for (const char* tool : {"launchctl", "codesign", "kmutil", "sfltool", "osascript"}) {
        writeTrap(folder / tool, ran);
    }
}

} // namespace

class OpenDiskTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    fs::path m_root;
    fs::path m_ran;
    QByteArray m_path;
    std::unique_ptr<RecordingWorkspace> m_workspace;
    std::unique_ptr<FakeDiscovery> m_host;
    std::unique_ptr<AppState> m_state;

    GuiDependencies dependencies(BaselineState* baseline = nullptr) {
        GuiDependencies result;
        result.appState = m_state.get();
        result.clock = std::make_shared<ImmediateClock>();
        result.baseline = baseline;
        result.workspace = m_workspace.get();
        result.inspectorUpdater = ServiceDetailView::showInInspector;
        result.diskInspector = [this](GuiDependencies::LayoutOf layoutOf, SignerStore* signers) {
            return ServiceDetailView::diskInspector(*m_workspace, std::move(layoutOf), {}, signers);
        };
        return result;
    }

    static void settle(MainView& view) {
        QTRY_VERIFY(view.serviceTable() != nullptr);
        QTRY_VERIFY(!view.serviceTable()->viewModel().loading());
    }

    // Shows the window on the host, then opens the tree through the menu's
    // action and its folder chooser, and waits for every category.
    void openTree(MainView& view) {
        QSignalSpy hostLoaded(&view, &MainView::startUpLoadingFinished);
        view.show();
        QVERIFY(hostLoaded.wait());
        settle(view);
        const QString root = QString::fromStdString(m_root.string());
        view.setFolderChooser([root](QWidget*) { return root; });
        QSignalSpy opened(&view, &MainView::diskOpened);
        QSignalSpy loaded(&view, &MainView::startUpLoadingFinished);
        view.openDiskAction()->trigger();
        QVERIFY(opened.wait());
        QVERIFY(loaded.wait());
        settle(view);
    }

    // Every file under the root with its time: what "nothing written" is
    // checked against.
    QStringList treeState() const {
        QStringList entries;
        for (const auto& entry : fs::recursive_directory_iterator(m_root)) {
            entries.append(QString::fromStdString(entry.path().string()) + u' ' +
                           QString::number(entry.last_write_time().time_since_epoch().count()));
        }
        entries.sort();
        return entries;
    }

    static QStringList column(const ServiceTableView& table, ServiceTableModel::Column which) {
        const ServiceTableModel& model = table.tableModel();
        QStringList values;
        for (int row = 0; row < model.rowCount(); ++row) {
            values.append(model.index(row, model.section(which)).data().toString());
        }
        return values;
    }

private slots:
    void init() {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
        const fs::path base(m_dir->path().toStdString());
        m_root = base / "Macintosh HD";
        m_ran = base / "ran.log";
        fs::create_directories(m_root / "System/Library/LaunchDaemons");
        writeFile(m_root / "Library/LaunchDaemons" / (std::string(kDaemon) + ".plist"),
                  job(kDaemon, "/Library/Example/exampled"));
        const fs::path dslocal = m_root / "private/var/db/dslocal/nodes/Default/users";
        const fs::path launchd = m_root / "private/var/db/com.apple.xpc.launchd";
        for (const auto& [name, uid] : {std::pair{"alice", "501"}, std::pair{"bob", "502"}}) {
            writeFile(dslocal / (std::string(name) + ".plist"), account(name, uid));
            // One agent of the same label in both homes.
            writeFile(m_root / "Users" / name / "Library/LaunchAgents" /
                          (std::string(kSharedAgent) + ".plist"),
                      job(kSharedAgent, "/Users/" + std::string(name) + "/bin/sync",
                          "<key>StandardOutPath</key><string>~/Library/Logs/sync.log</string>"));
            writeFile(m_root / "Users" / name / "Library/Logs/sync.log",
                      std::string(name) + " synced\n");
            writeTrap(m_root / "Users" / name / "bin/sync", m_ran);
        }
        // Disabled in bob's domain only.
        writeFile(launchd / "disabled.502.plist",
                  plist("<key>" + std::string(kSharedAgent) + "</key><true/>"));
        writeFile(launchd / "disabled.plist", plist(""));
        // The programs the records name, and the Mac's own tools.
        writeTrap(m_root / "Library/Example/exampled", m_ran);
        writeTraps(m_root / "bin", m_ran);
        writeTraps(m_root / "usr/bin", m_ran);
        // And this machine's, first on PATH.
        writeTraps(base / "path", m_ran);
        m_path = qgetenv("PATH");
        qputenv("PATH", QByteArray::fromStdString((base / "path").string()) + ':' + m_path);

        m_workspace = std::make_unique<RecordingWorkspace>(base / "Trash");
        m_host = std::make_unique<FakeDiscovery>();
        m_host->setItems(
            LaunchScope::system,
            {makeItem("com.host.only", ServiceStatus::active, LaunchScope::system, 77,
                      "/usr/libexec/hostd", "/Library/LaunchDaemons/com.host.only.plist")});
        m_host->setItems(LaunchScope::user,
                         {makeItem("com.host.agent", ServiceStatus::inactive, LaunchScope::user)});
        m_state = std::make_unique<AppState>(m_host->loader());
    }

    void cleanup() {
        m_host->holdLoads(false);
        m_host->release(64);
        m_state.reset();
        qputenv("PATH", m_path);
        m_dir.reset();
    }

    void showsEveryUsersRecordsReadOnlyAndRunsNothing() {
        const QStringList before = treeState();
        MainView view(dependencies());
        openTree(view);

        const QString root = QString::fromStdString(m_root.string());
        QVERIFY(view.diskBanner()->isVisible());
        QCOMPARE(view.diskBanner()->text(), root + u" \u2014 read from a disk, nothing was run"_s);
        QCOMPARE(view.diskBanner()->accessibleName(), view.diskBanner()->text());
        QVERIFY(view.showThisMacAction()->isEnabled());

        // Nothing of the host is left among the disk's records.
        QCOMPARE(column(*view.serviceTable(), ServiceTableModel::Column::label),
                 QStringList{QString::fromUtf8(kDaemon)});
        QCOMPARE(view.serviceTable()->tableModel().section(ServiceTableModel::Column::user), -1);

        view.setSelectedScope(LaunchScope::user);
        settle(view);
        const ServiceTableModel& users = view.serviceTable()->tableModel();
        QStringList rows = column(*view.serviceTable(), ServiceTableModel::Column::user);
        for (int row = 0; row < users.rowCount(); ++row) {
            rows[row] += u'|' + users.index(row, 0).data().toString();
        }
        rows.sort();
        // Same label in two homes: two records, each with its user, and
        // bob's own domain disables only his.
        QCOMPARE(rows, (QStringList{u"alice|com.example.sync"_s,
                                    u"bob|com.example.sync \u2014 Disabled"_s}));

        // Every record of every category: a read-only pane.
        int panes = 0;
        for (const LaunchScope scope : allScopes()) {
            view.setSelectedScope(scope);
            settle(view);
            ServiceTableView* table = view.serviceTable();
            for (int row = 0; row < table->tableModel().rowCount(); ++row) {
                const LaunchItem& item = table->tableModel().row(row).item;
                QVERIFY(!ServiceDetailView::offersActions(item, false, true));
                table->setSelectedIds({table->tableModel().row(row).id});
                auto* pane = qobject_cast<ServiceDetailView*>(table->inspectorContent());
                QVERIFY2(pane != nullptr, item.label.c_str());
                QVERIFY(pane->actionButtons()->isHidden());
                QVERIFY(!pane->actionButtons()->isEnabled());
                QVERIFY(pane->findChild<QToolButton*>(u"executableInfoButton"_s) == nullptr);
                if (auto* status = pane->findChild<QLabel*>(u"statusValue"_s)) {
                    QCOMPARE(status->text(), u"not running: read from a disk"_s);
                }
                QCOMPARE(pane->backgroundItemSection()->fact(u"Allowed"_s),
                         u"Unknown: read from a disk"_s);
                // "~" in a definition is its own user's home on the disk.
                if (item.user) {
                    QTRY_VERIFY(pane->findChild<QPlainTextEdit*>(u"logTail"_s) != nullptr);
                    QCOMPARE(
                        pane->findChild<QPlainTextEdit*>(u"logTail"_s)->toPlainText().trimmed(),
                        QString::fromStdString(*item.user) + u" synced"_s);
                }
                QTRY_VERIFY(!pane->isLoading());
                ++panes;
            }
        }
        QCOMPARE(panes, 3);

        // The signers come from the files (the daemon's program is a script,
        // so no signature), never from a tool.
        view.setSelectedScope(LaunchScope::system);
        settle(view);
        QTRY_VERIFY(
            !column(*view.serviceTable(), ServiceTableModel::Column::signer).first().isEmpty());
        QVERIFY2(!fs::exists(m_ran), "a tool or program of the tree or of PATH was run");
        QCOMPARE(treeState(), before);
    }

    void refusedFolderLeavesTheWindowAsItWasAndShowThisMacGoesBack() {
        MainView view(dependencies());
        openTree(view);
        const auto labels = [&view] {
            return column(*view.serviceTable(), ServiceTableModel::Column::label);
        };
        const QStringList shown = labels();
        const int loads = m_host->callCount();

        // A folder with neither System/Library nor Library.
        const fs::path notAMac = m_root.parent_path() / "photos";
        fs::create_directories(notAMac / "2026");
        QSignalSpy refused(&view, &MainView::diskRefused);
        view.openDisk(QString::fromStdString(notAMac.string()));
        QVERIFY(refused.wait());
        const QString message = refused.first().first().toString();
        QVERIFY(!message.isEmpty() && !message.contains(u'\n'));
        QCOMPARE(view.statusText(), message);
        QCOMPARE(view.shownDisk()->root(), m_root.string());
        QVERIFY(view.diskBanner()->isVisible());
        QCOMPARE(labels(), shown);
        QCOMPARE(m_host->callCount(), loads);

        QSignalSpy loaded(&view, &MainView::startUpLoadingFinished);
        view.showThisMacAction()->trigger();
        QVERIFY(loaded.wait());
        settle(view);
        QVERIFY(view.shownDisk() == nullptr);
        QVERIFY(view.diskBanner()->isHidden());
        QVERIFY(!view.showThisMacAction()->isEnabled());
        QCOMPARE(labels(), QStringList{u"com.host.only"_s});
        view.setSelectedScope(LaunchScope::user);
        settle(view);
        QCOMPARE(view.serviceTable()->tableModel().section(ServiceTableModel::Column::user), -1);
        QCOMPARE(labels(), QStringList{u"com.host.agent"_s});
        QVERIFY(!fs::exists(m_ran));
    }

    void hostLoadFinishingAfterTheSwitchIsDropped() {
        // A host load still running when the window turns to a disk must
        // not put the host's records among the disk's.
        m_host->holdLoads(true);
        AppState& state = *m_state;
        state.loadScope(LaunchScope::system);
        QTRY_COMPARE(m_host->callCount(), 1);
        QSignalSpy scopeLoaded(&state, &AppState::scopeLoaded);
        state.replaceSource([](const std::vector<LaunchScope>&) {
            return AppState::DiscoveryLoader([](LaunchScope scope) {
                return AppState::Discovery{
                    {makeItem("com.disk.daemon", ServiceStatus::unknown, scope)}, {}, {}};
            });
        });
        state.loadScope(LaunchScope::system);
        QVERIFY(scopeLoaded.wait());
        m_host->release();
        // The host's load has come back once its watcher is gone.
        QTRY_VERIFY(state.findChildren<QFutureWatcherBase*>().isEmpty());
        QCOMPARE(scopeLoaded.size(), 1);
        QCOMPARE(state.items(LaunchScope::system)->size(), std::size_t(1));
        QCOMPARE(state.items(LaunchScope::system)->front().label, std::string("com.disk.daemon"));
    }

    void baselineOfADiskComparesWithACopyElsewhere() {
        BaselineState baseline(*m_state, m_dir->filePath(u"baseline.json"_s),
                               HostLayout(std::string(), m_dir->path().toStdString()));
        MainView view(dependencies(&baseline));
        openTree(view);
        QSignalSpy saved(&baseline, &BaselineState::saveFinished);
        view.saveBaseline();
        QVERIFY(saved.wait());
        const auto alices = [](const LaunchItem& item) { return item.user == "alice"; };
        // The Mac's path, fingerprinted from the file under the root.
        const auto& records = baseline.baseline()->records;
        const auto agent = std::find_if(records.begin(), records.end(),
                                        [&](const auto& record) { return alices(record.item); });
        QVERIFY(agent != records.end());
        QCOMPARE(*agent->item.path, "/Users/alice/Library/LaunchAgents/com.example.sync.plist");
        QVERIFY(agent->fingerprint.sha256.has_value());

        // The same Mac copied to another place; there alice's agent is
        // rewritten and the daemon's program swapped.
        const fs::path copy = m_root.parent_path() / "Copy of Macintosh HD";
        fs::copy(m_root, copy, fs::copy_options::recursive);
        writeFile(copy / "Users/alice/Library/LaunchAgents/com.example.sync.plist",
                  job(kSharedAgent, "/Users/alice/bin/other"));
        writeScript(copy / "Library/Example/exampled", "exit 0");
        QSignalSpy loaded(&view, &MainView::startUpLoadingFinished);
        view.openDisk(QString::fromStdString(copy.string()));
        QVERIFY(loaded.wait());
        settle(view);
        QTRY_VERIFY(!baseline.busy());

        // Only what changed is marked, though every path on this machine differs.
        for (const LaunchItem& item : *m_state->items(LaunchScope::user)) {
            QVERIFY(baseline.standing(item).mark ==
                    (alices(item) ? ChangeMark::modified : ChangeMark::none));
        }
        QCOMPARE(baseline.changeCount(LaunchScope::system), 1);
        const auto daemon = baseline.standing(m_state->items(LaunchScope::system)->front());
        QCOMPARE(daemon.changes.size(), std::size_t(1));
        QCOMPARE(daemon.changes.front().key, std::string("program"));
        QVERIFY(!fs::exists(m_ran));
    }
};

QTEST_MAIN(OpenDiskTest)
#include "OpenDiskTest.moc"
