// The inspector in the service table against the simulated host: select a
// user agent, read its definition, start it, stop it and remove it, each
// through the buttons, with the table reloading in between.

#include "RecordingWorkspace.h"
#include "TestSupport.h"
#include "discovery/LaunchServiceManager.h"
#include "inspector/PlistView.h"
#include "inspector/ServiceActionButtons.h"
#include "inspector/ServiceDetailView.h"
#include "platform/ToolRunner.h"
#include "style/ConfirmationPrompt.h"
#include "table/AppState.h"
#include "table/ServiceTableView.h"
#include "table/ServiceTableViewModel.h"

#include <QAbstractItemModel>
#include <QItemSelectionModel>
#include <QLabel>
#include <QPushButton>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>
#include <QThreadPool>
#include <cstdlib>
#include <filesystem>
#include <unistd.h>

using namespace daemonary;
using namespace daemonary::test;
using namespace Qt::StringLiterals;
namespace fs = std::filesystem;

namespace {

constexpr auto kAgent = "com.contoso.Parcel.updater";

} // namespace

class InspectorEndToEndTest : public QObject {
    Q_OBJECT

private slots:
    void init() {
#ifndef DAEMONARY_HOSTSIM
        QSKIP("daemonary-hostsim is not built on this system");
#else
        QVERIFY(m_dir.isValid());
        // A host of its own per test function: the folder outlives cleanup().
        m_root = fs::path(m_dir.path().toStdString()) / QTest::currentTestFunction();
        const ToolResult made = runTool(
            "/bin/bash",
            {DAEMONARY_SOURCE_DIR "/scripts/make-demo-host", m_root.string(), DAEMONARY_HOSTSIM},
            true, true);
        QVERIFY2(!made.launchError && made.exitStatus == 0, made.standardError.c_str());
        m_booted = true;
        const HostLayout layout(m_root.string(), (m_root / "Users/demo").string());
        m_workspace = std::make_unique<RecordingWorkspace>(m_root / "Users/demo/.Trash");
        m_actions = std::make_unique<ServiceActionManager>(*m_workspace, layout);
        m_discovery = std::make_unique<LaunchServiceManager>(layout);
        m_state = std::make_unique<AppState>([discovery = m_discovery.get()](LaunchScope scope) {
            return discovery->loadItems(scope);
        });
#endif
    }

    void cleanup() {
        QThreadPool::globalInstance()->waitForDone();
#ifdef DAEMONARY_HOSTSIM
        if (m_booted) {
            // Ends the processes the host started for its jobs.
            setenv("DAEMONARY_HOST_ROOT", m_root.c_str(), 1);
            (void)runTool(DAEMONARY_HOSTSIM, {"shutdown"}, true, true);
            setenv("DAEMONARY_HOST_ROOT", "", 1);
            m_booted = false;
        }
#endif
        m_state.reset();
        m_actions.reset();
        m_workspace.reset();
    }

    void startStopAndRemoveAUserAgent() {
        GuiDependencies dependencies;
        dependencies.appState = m_state.get();
        dependencies.clock = std::make_shared<ImmediateClock>();
        dependencies.inspectorFactory = ServiceDetailView::inspectorFactory(
            *m_actions, {}, HostLayout(m_root.string(), (m_root / "Users/demo").string()));
        dependencies.inspectorUpdater = ServiceDetailView::showInInspector;
        ServiceTableView table(LaunchScope::user, QString(), {}, dependencies);
        QSignalSpy loaded(m_state.get(), &AppState::scopeLoaded);
        table.show();
        QVERIFY(loaded.wait(30000));
        QTRY_VERIFY(!table.viewModel().loading());

        QVERIFY(select(table, QString::fromUtf8(kAgent)));
        auto* pane = qobject_cast<ServiceDetailView*>(table.inspectorContent());
        QVERIFY(pane != nullptr);
        QTRY_VERIFY(!pane->isLoading());
        QVERIFY(pane->plistData().has_value());
        pane->plistView()->setExpanded({}, true);
        QVERIFY(pane->plistView()->displayedRows().contains(u"  Label: "_s +
                                                            QString::fromUtf8(kAgent)));
        QPushButton* toggle = pane->actionButtons()->toggleButton();
        QCOMPARE(toggle->text(), u"Start"_s);

        // Start: the table reloads, and the same pane shows the process.
        QTest::mouseClick(toggle, Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(pane->findChild<QLabel*>(u"pidValue"_s) != nullptr, 30000);
        QCOMPARE(table.inspectorContent(), pane);
        QCOMPARE(pane->findChild<QLabel*>(u"statusValue"_s)->text(), u"Active"_s);
        QCOMPARE(toggle->text(), u"Stop"_s);
        // Same path: nothing was read again, the open tree stays open.
        QVERIFY(pane->plistView()->isExpanded({}));

        QTest::mouseClick(toggle, Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(pane->findChild<QLabel*>(u"pidValue"_s) == nullptr, 30000);
        QCOMPARE(toggle->text(), u"Start"_s);

        // Remove while it runs, once asked: the job is stopped first, then
        // its definition goes to the Trash and out of the list; no job is
        // left behind in launchd's table.
        QTest::mouseClick(toggle, Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(pane->findChild<QLabel*>(u"pidValue"_s) != nullptr, 30000);
        const fs::path definition =
            m_root / "Users/demo/Library/LaunchAgents" / (std::string(kAgent) + ".plist");
        QVERIFY(fs::exists(definition));
        int asked = 0;
        ConfirmationPrompt::setAnswerer([&asked](const ConfirmationPrompt::Question&) {
            ++asked;
            return true;
        });
        const auto restore = qScopeGuard([] { ConfirmationPrompt::setAnswerer({}); });
        QTest::mouseClick(pane->actionButtons()->removeButton(), Qt::LeftButton);
        QCOMPARE(asked, 1);
        QTRY_VERIFY_WITH_TIMEOUT(!contains(table, QString::fromUtf8(kAgent)), 30000);
        QVERIFY(!fs::exists(definition));
        QVERIFY(fs::exists(m_root / "Users/demo/.Trash" / definition.filename()));
        const ToolResult jobs = runTool((m_root / "bin/launchctl").string(), {"list"}, true, true);
        QVERIFY(!jobs.standardOutput.empty());
        QVERIFY(jobs.standardOutput.find(kAgent) == std::string::npos);
    }

    void disableAndEnableTheDemosDisabledAgent() {
        m_state->setDisabledLoader([discovery = m_discovery.get()](LaunchScope) {
            return discovery->loadDisabledServices();
        });
        GuiDependencies dependencies;
        dependencies.appState = m_state.get();
        dependencies.clock = std::make_shared<ImmediateClock>();
        dependencies.inspectorFactory = ServiceDetailView::inspectorFactory(
            *m_actions, {}, HostLayout(m_root.string(), (m_root / "Users/demo").string()));
        dependencies.inspectorUpdater = ServiceDetailView::showInInspector;
        ServiceTableView table(LaunchScope::user, QString(), {}, dependencies);
        QSignalSpy published(&table.viewModel(), &ServiceTableViewModel::itemsChanged);
        table.show();
        QVERIFY(published.wait(30000));

        // The demo host ships this agent disabled.
        QVERIFY(select(table, u"local.demo.backup-notes \u2014 Disabled"_s));
        auto* pane = qobject_cast<ServiceDetailView*>(table.inspectorContent());
        QVERIFY(pane != nullptr);
        QCOMPARE(pane->disabledState(), std::optional<bool>(true));
        QVERIFY(pane->findChild<QLabel*>(u"disabledCaption"_s) != nullptr);
        QPushButton* button = pane->actionButtons()->disableButton();
        QCOMPARE(button->text(), u"Enable"_s);

        QSignalSpy changed(m_state.get(), &AppState::disabledServicesChanged);
        QTest::mouseClick(button, Qt::LeftButton);
        QVERIFY(changed.wait(30000));
        QCOMPARE(table.inspectorContent(), pane);
        QCOMPARE(pane->disabledState(), std::optional<bool>(false));
        QVERIFY(pane->findChild<QLabel*>(u"disabledCaption"_s) == nullptr);
        QCOMPARE(button->text(), u"Disable"_s);
        QVERIFY(contains(table, u"local.demo.backup-notes"_s));

        QTest::mouseClick(button, Qt::LeftButton);
        QVERIFY(changed.wait(30000));
        QCOMPARE(pane->disabledState(), std::optional<bool>(true));
        QVERIFY(contains(table, u"local.demo.backup-notes \u2014 Disabled"_s));
        const ToolResult listed =
            runTool((m_root / "bin/launchctl").string(),
                    {"print-disabled", "gui/" + std::to_string(::getuid())}, true, true);
        QVERIFY(listed.standardOutput.find("\"local.demo.backup-notes\" => disabled") !=
                std::string::npos);
    }

private:
    static bool select(ServiceTableView& table, const QString& name) {
        const QAbstractItemModel* model = table.tableView()->model();
        for (int row = 0; row < model->rowCount(); ++row) {
            const QModelIndex index = model->index(row, 0);
            if (index.data().toString() == name) {
                table.tableView()->selectionModel()->select(
                    index, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
                return true;
            }
        }
        return false;
    }

    static bool contains(ServiceTableView& table, const QString& name) {
        const QAbstractItemModel* model = table.tableView()->model();
        for (int row = 0; row < model->rowCount(); ++row) {
            if (model->index(row, 0).data().toString() == name) {
                return true;
            }
        }
        return false;
    }

    QTemporaryDir m_dir;
    fs::path m_root;
    bool m_booted = false;
    std::unique_ptr<RecordingWorkspace> m_workspace;
    std::unique_ptr<ServiceActionManager> m_actions;
    std::unique_ptr<LaunchServiceManager> m_discovery;
    std::unique_ptr<AppState> m_state;
};

QTEST_MAIN(InspectorEndToEndTest)
#include "InspectorEndToEndTest.moc"
