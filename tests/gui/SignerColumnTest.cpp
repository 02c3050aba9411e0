// The Signed By column, the Apple-signed filter and the signer store, through
// the models and the table as the window uses them.

#include "TestSupport.h"
#include "shell/UserDefaults.h"
#include "table/AppState.h"
#include "table/ServiceFilterProxyModel.h"
#include "table/ServiceTableModel.h"
#include "table/ServiceTableView.h"
#include "table/ServiceTableViewModel.h"
#include "table/SignerStore.h"
#include "window/SidebarModel.h"

#include <QAbstractItemModelTester>
#include <QAction>
#include <QFile>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QMenu>
#include <QScrollBar>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>
#include <QTextDocument>
#include <filesystem>
#include <fstream>

using namespace daemonary;
using namespace daemonary::test;

namespace {

LaunchItem record(const std::string& label, const std::string& executable,
                  LaunchScope scope = LaunchScope::system) {
    LaunchItem item;
    item.label = label;
    item.path = "/Library/LaunchDaemons/" + label + ".plist";
    item.executablePath = executable;
    item.status = ServiceStatus::active;
    item.scope = scope;
    item.type = ServiceType::launchDaemon;
    return item;
}

const Signer kApple{SignerKind::apple, "", "", "", {}};

Signer developer(const std::string& organization, const std::string& team) {
    return Signer{SignerKind::developerId, organization, team, "", {}};
}

QStringList shownLabels(const QAbstractItemModel& model) {
    QStringList labels;
    for (int row = 0; row < model.rowCount(); ++row) {
        labels.append(model.index(row, 0).data().toString());
    }
    return labels;
}

int lineCount(const std::string& path) {
    std::ifstream in(path);
    int count = 0;
    for (std::string line; std::getline(in, line);) {
        ++count;
    }
    return count;
}

} // namespace

class SignerColumnTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }

    void everyCategoryWithExecutablesHasTheColumn() {
        for (const LaunchScope scope : allScopes()) {
            const auto columns = ServiceTableModel::columnsFor(scope);
            const bool has = std::find(columns.begin(), columns.end(),
                                       ServiceTableModel::Column::signer) != columns.end();
            QCOMPARE(has, scope != LaunchScope::mach);
        }
        QCOMPARE(ServiceTableModel::title(ServiceTableModel::Column::signer),
                 QStringLiteral("Signed By"));
    }

    void cellsChangeInPlaceAsSignersArrive() {
        SignerStore store{SignerChecker(), QString()};
        ServiceTableModel model(LaunchScope::system);
        QAbstractItemModelTester tester(&model);
        model.setSignerStore(&store);
        model.setItems(
            {record("a", "/usr/libexec/a"), record("b", "/opt/b"), record("c", "/usr/libexec/a")});
        const int column = model.section(ServiceTableModel::Column::signer);
        QCOMPARE(model.index(0, column).data().toString(), QString());

        QSignalSpy resets(&model, &QAbstractItemModel::modelReset);
        QSignalSpy changes(&model, &QAbstractItemModel::dataChanged);
        QSignalSpy batches(&store, &SignerStore::signersChanged);
        store.insert(QStringLiteral("/usr/libexec/a"), kApple);
        store.insert(QStringLiteral("/nobody/asked"), kApple);
        QVERIFY(batches.wait());
        QCOMPARE(resets.count(), 0);
        QCOMPARE(changes.count(), 1);
        // Both rows that share the executable, and only the signer column.
        const auto topLeft = changes.at(0).at(0).value<QModelIndex>();
        const auto bottomRight = changes.at(0).at(1).value<QModelIndex>();
        QCOMPARE(topLeft.row(), 0);
        QCOMPARE(bottomRight.row(), 2);
        QCOMPARE(topLeft.column(), column);
        QCOMPARE(bottomRight.column(), column);
        QCOMPARE(model.index(0, column).data().toString(), QStringLiteral("Apple"));
        QCOMPARE(model.index(2, column).data().toString(), QStringLiteral("Apple"));
        QCOMPARE(model.index(1, column).data().toString(), QString());

        // A tool's words are shown as written, never read as markup.
        const Signer unknown{
            SignerKind::unknown, "", "", "codesign said <b>no</b> & <img src=x>", {}};
        store.insert(QStringLiteral("/opt/b"), unknown);
        QVERIFY(batches.wait());
        QCOMPARE(model.index(1, column).data().toString(), QStringLiteral("Unknown"));
        const QString tip = model.index(1, column).data(Qt::ToolTipRole).toString();
        QVERIFY(Qt::mightBeRichText(tip));
        QTextDocument shown;
        shown.setHtml(tip);
        QCOMPARE(shown.toPlainText(),
                 QStringLiteral("Unknown (codesign said <b>no</b> & <img src=x>)"));
        // The same signer again changes nothing.
        changes.clear();
        store.insert(QStringLiteral("/opt/b"), unknown);
        QVERIFY(!batches.wait(300));
        QCOMPARE(changes.count(), 0);
    }

    void filterAndSortFollowTheSigners() {
        SignerStore store{SignerChecker(), QString()};
        ServiceTableModel model(LaunchScope::system);
        model.setSignerStore(&store);
        ServiceFilterProxyModel proxy;
        QAbstractItemModelTester tester(&proxy);
        proxy.setSourceModel(&model);
        model.setItems({record("apple", "/usr/libexec/apple"), record("zeta", "/opt/zeta"),
                        record("team10", "/opt/team10"), record("team9", "/opt/team9"),
                        record("pending", "/opt/pending")});
        proxy.sort(model.section(ServiceTableModel::Column::signer), Qt::AscendingOrder);

        store.insert(QStringLiteral("/usr/libexec/apple"), kApple);
        store.insert(QStringLiteral("/opt/zeta"), developer("Zeta", "Z1"));
        store.insert(QStringLiteral("/opt/team10"), developer("Team 10", "T10"));
        store.insert(QStringLiteral("/opt/team9"), developer("Team 9", "T9"));
        QSignalSpy batches(&store, &SignerStore::signersChanged);
        QVERIFY(batches.wait());
        // Natural order: "Team 9" before "Team 10"; the unknown signer first.
        QCOMPARE(shownLabels(proxy),
                 (QStringList{QStringLiteral("pending"), QStringLiteral("apple"),
                              QStringLiteral("team9"), QStringLiteral("team10"),
                              QStringLiteral("zeta")}));

        proxy.setHideAppleSigned(true);
        QCOMPARE(shownLabels(proxy),
                 (QStringList{QStringLiteral("pending"), QStringLiteral("team9"),
                              QStringLiteral("team10"), QStringLiteral("zeta")}));
        // A row leaves as soon as its signer turns out to be Apple.
        store.insert(QStringLiteral("/opt/pending"), kApple);
        QVERIFY(batches.wait());
        QVERIFY(!shownLabels(proxy).contains(QStringLiteral("pending")));
        // The filter adds to the search, it does not replace it.
        proxy.setSearchText(QStringLiteral("team"));
        QCOMPARE(shownLabels(proxy),
                 (QStringList{QStringLiteral("team9"), QStringLiteral("team10")}));
        proxy.setHideAppleSigned(false);
        proxy.setSearchText(QString());
        QCOMPARE(proxy.rowCount(), 5);
    }

    void tableKeepsSelectionScrollAndSortWhileFilling() {
        FakeDiscovery discovery;
        std::vector<LaunchItem> items;
        for (int i = 0; i < 300; ++i) {
            items.push_back(record("job" + std::to_string(i), "/opt/p" + std::to_string(i)));
        }
        AppState state(discovery.loader());
        SignerStore store{SignerChecker(), QString()};
        GuiDependencies dependencies;
        dependencies.appState = &state;
        dependencies.clock = std::make_shared<ImmediateClock>();
        dependencies.signers = &store;
        discovery.setItems(LaunchScope::system, items);
        ServiceTableView view(LaunchScope::system, QString(), items, dependencies);
        view.resize(800, 400);
        // Showing the table loads its category once.
        QSignalSpy loading(&view.viewModel(), &ServiceTableViewModel::loadingChanged);
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        while (view.viewModel().loading() || loading.isEmpty()) {
            QVERIFY(loading.wait());
        }
        QCOMPARE(view.tableModel().rowCount(), 300);
        QTableView* table = view.tableView();
        const int signerSection = view.tableModel().section(ServiceTableModel::Column::signer);
        table->sortByColumn(signerSection, Qt::DescendingOrder);
        view.setSelectedIds({QString::fromStdString(items[150].id())});
        table->scrollTo(table->selectionModel()->selectedRows().value(0));
        const int scroll = table->verticalScrollBar()->value();
        QVERIFY(scroll > 0);

        // Every row but the selected one gets a signer, in two batches.
        QSignalSpy batches(&store, &SignerStore::signersChanged);
        for (int i = 0; i < 300; ++i) {
            if (i == 150) {
                continue;
            }
            store.insert(QStringLiteral("/opt/p%1").arg(i),
                         i % 2 ? kApple : developer("Org " + std::to_string(i), "T"));
            if (i == 100) {
                QVERIFY(batches.wait());
            }
        }
        QVERIFY(batches.wait());
        QCOMPARE(view.selectedIds(), QStringList{QString::fromStdString(items[150].id())});
        const QModelIndexList selected = table->selectionModel()->selectedRows();
        QCOMPARE(selected.size(), 1);
        QCOMPARE(selected.at(0).data().toString(), QStringLiteral("job150"));
        QCOMPARE(table->horizontalHeader()->sortIndicatorSection(), signerSection);
        QCOMPARE(table->horizontalHeader()->sortIndicatorOrder(), Qt::DescendingOrder);
        QCOMPARE(table->verticalScrollBar()->value(), scroll);
        // Sorted by signer: developer IDs first (descending), Apple, then unknown.
        QCOMPARE(view.proxyModel().index(0, signerSection).data().toString(),
                 QStringLiteral("Developer ID: Org 298 (T)"));
        QCOMPARE(view.proxyModel().index(299, 0).data().toString(), QStringLiteral("job150"));
    }

    void columnsAreShownAndHiddenFromTheHeaderAndRemembered() {
        QTemporaryDir dir;
        UserDefaults defaults(dir.filePath(QStringLiteral("defaults.ini")));
        FakeDiscovery discovery;
        AppState state(discovery.loader());
        GuiDependencies dependencies;
        dependencies.appState = &state;
        dependencies.clock = std::make_shared<ImmediateClock>();
        dependencies.defaults = &defaults;
        {
            ServiceTableView view(LaunchScope::system, QString(), {}, dependencies);
            QHeaderView* header = view.tableView()->horizontalHeader();
            QCOMPARE(header->contextMenuPolicy(), Qt::CustomContextMenu);
            std::unique_ptr<QMenu> menu(view.makeColumnsMenu(nullptr));
            QStringList names;
            for (QAction* action : menu->actions()) {
                names.append(action->objectName());
                QVERIFY(action->isChecked());
            }
            // Never the label: without it a row names nothing.
            QCOMPARE(names, (QStringList{QStringLiteral("showColumnAction_pid"),
                                         QStringLiteral("showColumnAction_status"),
                                         QStringLiteral("showColumnAction_signer")}));
            menu->actions().at(2)->trigger();
            QVERIFY(view.isColumnHidden(ServiceTableModel::Column::signer));
            QVERIFY(header->isSectionHidden(
                view.tableModel().section(ServiceTableModel::Column::signer)));
        }
        {
            // Another table of the category, as after a relaunch.
            ServiceTableView view(LaunchScope::system, QString(), {}, dependencies);
            QVERIFY(view.isColumnHidden(ServiceTableModel::Column::signer));
            QVERIFY(!view.isColumnHidden(ServiceTableModel::Column::pid));
            std::unique_ptr<QMenu> menu(view.makeColumnsMenu(nullptr));
            QVERIFY(!menu->actions().at(2)->isChecked());
            menu->actions().at(2)->trigger();
            QVERIFY(!view.isColumnHidden(ServiceTableModel::Column::signer));
            // Other categories keep their own columns.
            ServiceTableView kernel(LaunchScope::kernel, QString(), {}, dependencies);
            QVERIFY(!kernel.isColumnHidden(ServiceTableModel::Column::signer));
        }
        ServiceTableView again(LaunchScope::system, QString(), {}, dependencies);
        QVERIFY(!again.isColumnHidden(ServiceTableModel::Column::signer));
    }

    void sidebarCountsFollowTheFilterAndSaySo() {
        FakeDiscovery discovery;
        AppState state(discovery.loader());
        SignerStore store{SignerChecker(), QString()};
        state.setSignerStore(&store);
        state.storeItems(LaunchScope::system, {record("a", "/usr/libexec/a"), record("b", "/opt/b"),
                                               record("c", "/opt/c")});
        state.updateCounts(QString());
        QCOMPARE(state.filteredCounts().at(LaunchScope::system), 3);
        SidebarModel sidebar(state);
        const QModelIndex system = sidebar.index(SidebarModel::rowOf(LaunchScope::system));
        QCOMPARE(system.data(Qt::AccessibleDescriptionRole).toString(), QString());

        QSignalSpy described(&sidebar, &QAbstractItemModel::dataChanged);
        state.setAppleSignedHidden(true);
        QVERIFY(described.count() > 0);
        QCOMPARE(system.data(Qt::AccessibleDescriptionRole).toString(),
                 QStringLiteral("Counts running services without Apple-signed items"));
        // Unknown signers still count; Apple ones stop counting as they arrive.
        QCOMPARE(state.filteredCounts().at(LaunchScope::system), 3);
        QSignalSpy counts(&state, &AppState::filteredCountsChanged);
        store.insert(QStringLiteral("/usr/libexec/a"), kApple);
        QVERIFY(counts.wait());
        QCOMPARE(state.filteredCounts().at(LaunchScope::system), 2);
        QCOMPARE(system.data(SidebarModel::BadgeRole).toString(), QStringLiteral("(2)"));
        state.updateCounts(QStringLiteral("a"));
        QCOMPARE(state.filteredCounts().at(LaunchScope::system), 0);
        QCOMPARE(system.data(Qt::AccessibleDescriptionRole).toString(),
                 QStringLiteral("Counts services matching the search without Apple-signed "
                                "items"));
        state.setAppleSignedHidden(false);
        QCOMPARE(state.filteredCounts().at(LaunchScope::system), 1);
    }

    void machJobsTakeTheirDefinitionsProgramAndHideWhenAppleSigned() {
        FakeDiscovery discovery;
        discovery.setItems(LaunchScope::macos,
                           {record("com.apple.mds", "/usr/libexec/mds", LaunchScope::macos)});
        const auto job = [](const char* label, std::int32_t pid) {
            LaunchItem item = record(label, "", LaunchScope::mach);
            item.path.reset();
            item.executablePath.reset();
            item.pid = pid;
            item.type = ServiceType::launchService;
            return item;
        };
        discovery.setItems(LaunchScope::mach, {job("com.apple.mds", 50), job("com.example.x", 51)});
        AppState state(discovery.loader());
        SignerStore store{SignerChecker(), QString()};
        state.setSignerStore(&store);
        // The jobs load first: their programs arrive with the definitions.
        for (const LaunchScope scope : {LaunchScope::mach, LaunchScope::macos}) {
            QSignalSpy loaded(&state, &AppState::scopeLoaded);
            state.loadScope(scope);
            QVERIFY(loaded.wait());
        }
        const std::vector<LaunchItem>& jobs = *state.items(LaunchScope::mach);
        QCOMPARE(jobs[0].executablePath, std::optional<std::string>("/usr/libexec/mds"));
        QCOMPARE(jobs[1].executablePath, std::nullopt);

        store.insert(QStringLiteral("/usr/libexec/mds"), kApple);
        state.setAppleSignedHidden(true);
        QTRY_COMPARE(state.filteredCounts().at(LaunchScope::mach), 1);

        ServiceTableModel model(LaunchScope::mach);
        model.setSignerStore(&store);
        ServiceFilterProxyModel proxy;
        proxy.setSourceModel(&model);
        model.setItems({jobs[0]});
        proxy.setHideAppleSigned(true);
        QCOMPARE(proxy.rowCount(), 0);
        QCOMPARE(proxy.hidingFilter(), ServiceFilterProxyModel::Filter::appleSigned);
    }

    void storeChecksInTheBackgroundAndRemembersAcrossLaunches() {
        QTemporaryDir dir;
        const std::string root = dir.filePath(QStringLiteral("host")).toStdString();
        const std::string calls = dir.filePath(QStringLiteral("calls")).toStdString();
        // A codesign that logs its calls: Apple for trustd, unsigned otherwise.
        writeScript(root + "/usr/bin/codesign",
                    "echo \"$*\" >> '" + calls +
                        "'\n"
                        "case \"$*\" in\n"
                        "  *--verify*) exit 0 ;;\n"
                        "  *trustd) printf 'Authority=Software Signing\\nAuthority=Apple Root "
                        "CA\\nTeamIdentifier=not set\\n' >&2; exit 0 ;;\n"
                        "  *) echo \"$2: code object is not signed at all\" >&2; exit 1 ;;\n"
                        "esac");
        for (const char* file : {"/usr/libexec/trustd", "/opt/tool"}) {
            std::filesystem::create_directories(std::filesystem::path(root + file).parent_path());
            std::ofstream(root + file) << "binary";
        }
        const HostLayout layout(root, root + "/Users/tester");
        const QString cacheFile = dir.filePath(QStringLiteral("cache/signers.json"));
        const std::vector<LaunchItem> items = {record("trustd", "/usr/libexec/trustd"),
                                               record("tool", "/opt/tool"),
                                               record("gone", "/opt/gone")};
        {
            SignerStore store(SignerChecker(layout), cacheFile);
            QSignalSpy idle(&store, &SignerStore::idle);
            store.request(items);
            QCOMPARE(store.pendingCount(), 3);
            QVERIFY(idle.wait(20000));
            QCOMPARE(store.pendingCount(), 0);
            QCOMPARE(store.signer(QStringLiteral("/usr/libexec/trustd"))->text(), "Apple");
            QCOMPARE(store.signer(QStringLiteral("/opt/tool"))->text(), "Unsigned");
            QCOMPARE(store.signer(QStringLiteral("/opt/gone"))->text(), "Missing");
            // Asking again runs no tool for files that did not change...
            const int before = lineCount(calls);
            QCOMPARE(before, 3); // display twice, verify once
            store.request(items);
            QVERIFY(idle.wait(20000));
            QCOMPARE(lineCount(calls), before);
            // ...but a file that changed is checked afresh.
            std::ofstream(root + "/opt/tool") << "a longer binary";
            store.request(items);
            QVERIFY(idle.wait(20000));
            QCOMPARE(lineCount(calls), before + 1);
        } // writes the cache
        QVERIFY(QFile::exists(cacheFile));
        std::filesystem::remove(calls);

        SignerStore second(SignerChecker(layout), cacheFile);
        QSignalSpy idle(&second, &SignerStore::idle);
        second.request(items);
        QVERIFY(idle.wait(20000));
        QCOMPARE(second.signer(QStringLiteral("/usr/libexec/trustd"))->text(), "Apple");
        QCOMPARE(second.signer(QStringLiteral("/opt/tool"))->text(), "Unsigned");
        // Only the missing file, which is not cached, was looked at again, and
        // that needs no codesign run.
        QVERIFY(!std::filesystem::exists(calls));
        // The cache file proves nothing: before Apple-signed items are hidden,
        // the cached Apple is checked again (display and requirement), the
        // unsigned file is not.
        QVERIFY(!second.isProvenApple(QStringLiteral("/usr/libexec/trustd")));
        second.setProofWanted(true);
        QVERIFY(idle.wait(20000));
        QCOMPARE(lineCount(calls), 2);
        QVERIFY(second.isProvenApple(QStringLiteral("/usr/libexec/trustd")));
    }

    // Any process of the user can write the cache file. One that calls a
    // self-signed program Apple's gets it shown until the check, never hidden.
    void tamperedCacheFileCannotHideAnItem() {
        QTemporaryDir dir;
        const std::string root = dir.filePath(QStringLiteral("host")).toStdString();
        writeScript(root + "/usr/bin/codesign",
                    "case \"$*\" in\n"
                    "  *--verify*) echo 'test-requirement: code failed to satisfy' >&2; exit 3 ;;\n"
                    "  *) printf 'Authority=Software Signing\\nAuthority=Apple Root CA\\n"
                    "TeamIdentifier=not set\\n' >&2; exit 0 ;;\n"
                    "esac");
        std::filesystem::create_directories(root + "/opt");
        std::ofstream(root + "/opt/evil") << "binary";
        const HostLayout layout(root, root + "/Users/tester");
        const QString cacheFile = dir.filePath(QStringLiteral("signers.json"));
        {
            SignerCache forged;
            forged.store("/opt/evil", *SignerChecker(layout).stamp("/opt/evil"), kApple);
            QVERIFY(forged.save(cacheFile.toStdString()));
        }

        SignerStore store(SignerChecker(layout), cacheFile);
        store.setProofWanted(true);
        ServiceTableModel model(LaunchScope::system);
        model.setSignerStore(&store);
        ServiceFilterProxyModel proxy;
        proxy.setSourceModel(&model);
        proxy.setHideAppleSigned(true);
        model.setItems({record("evil", "/opt/evil")});

        QStringList shownAs;
        connect(&store, &SignerStore::signersChanged, this, [&] {
            shownAs.append(
                QString::fromStdString(store.signer(QStringLiteral("/opt/evil"))->text()));
            QCOMPARE(proxy.rowCount(), 1);
        });
        QSignalSpy idle(&store, &SignerStore::idle);
        store.request({record("evil", "/opt/evil")});
        QVERIFY(idle.wait(20000));
        QVERIFY(!shownAs.isEmpty());
        QCOMPARE(shownAs.last(), QStringLiteral("Unknown"));
        QCOMPARE(proxy.rowCount(), 1);
    }
};

QTEST_MAIN(SignerColumnTest)
#include "SignerColumnTest.moc"
