#include "table/ServiceTableView.h"

#include "TestSupport.h"
#include "style/ContentUnavailableView.h"
#include "table/ServiceFilterProxyModel.h"
#include "table/ServiceTableModel.h"
#include "table/ServiceTableViewModel.h"

#include <QAbstractItemModelTester>
#include <QAction>
#include <QApplication>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTableView>
#include <QTest>
#include <memory>

using namespace daemonary;
using namespace daemonary::test;
using namespace std::chrono_literals;

class ServiceTableViewTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<FakeDiscovery> m_discovery;
    std::unique_ptr<AppState> m_state;
    std::shared_ptr<ManualClock> m_clock;
    int m_inspectorsBuilt = 0;

    GuiDependencies dependencies() {
        GuiDependencies result;
        result.appState = m_state.get();
        result.clock = m_clock;
        result.inspectorFactory = [this](const LaunchItem& item, ServiceTableView&) {
            ++m_inspectorsBuilt;
            auto* label = new QLabel(QString::fromStdString(item.label));
            label->setObjectName(QStringLiteral("fakeInspector"));
            return label;
        };
        return result;
    }

    static std::vector<LaunchItem> systemItems() {
        return {makeItem("com.example.alpha", ServiceStatus::active, LaunchScope::system, 11,
                         "/usr/libexec/alphad"),
                makeItem("com.example.beta", ServiceStatus::inactive),
                makeItem("com.example.gamma", ServiceStatus::active, LaunchScope::system, 12)};
    }

    // Shows the table and lets its first load finish.
    std::unique_ptr<ServiceTableView> shownTable(LaunchScope scope = LaunchScope::system) {
        auto table = std::make_unique<ServiceTableView>(scope, QString(), std::vector<LaunchItem>(),
                                                        dependencies());
        finishLoad(*table, [&] { table->show(); });
        return table;
    }

    void finishLoad(ServiceTableView& table, const std::function<void()>& start) {
        QSignalSpy stored(m_state.get(), &AppState::scopeLoaded);
        start();
        QVERIFY(stored.wait());
        m_clock->advance(1000ms);
        QVERIFY(!table.viewModel().loading());
    }

    static void selectRows(ServiceTableView& table, const QStringList& labels) {
        QItemSelection selection;
        const QAbstractItemModel* model = table.tableView()->model();
        for (int row = 0; row < model->rowCount(); ++row) {
            const QModelIndex index = model->index(row, 0);
            if (labels.contains(index.data().toString())) {
                selection.select(index, index);
            }
        }
        table.tableView()->selectionModel()->select(selection, QItemSelectionModel::ClearAndSelect |
                                                                   QItemSelectionModel::Rows);
    }

private slots:
    void init() {
        m_discovery = std::make_unique<FakeDiscovery>();
        m_discovery->setItems(LaunchScope::system, systemItems());
        m_state = std::make_unique<AppState>(m_discovery->loader());
        m_clock = std::make_shared<ManualClock>();
        m_inspectorsBuilt = 0;
    }

    void cleanup() {
        m_discovery->holdLoads(false);
        m_discovery->release(16);
        m_state.reset(); // waits for its loads
    }

    void firstShowLoadsAndSortsByLabel() {
        ServiceTableView view(LaunchScope::system, QString(), {}, dependencies());
        QAbstractItemModelTester tester(view.tableView()->model());
        QVERIFY(view.tableView()->model()->rowCount() == 0);
        finishLoad(view, [&] { view.show(); });
        ServiceTableView* table = &view;
        QCOMPARE(m_discovery->callCount(LaunchScope::system), 1);
        QCOMPARE(table->tableView()->model()->rowCount(), 3);
        const QHeaderView* header = table->tableView()->horizontalHeader();
        QCOMPARE(header->sortIndicatorSection(), 0);
        QCOMPARE(header->sortIndicatorOrder(), Qt::AscendingOrder);
        QCOMPARE(header->sectionResizeMode(0), QHeaderView::Stretch);
        // PID and Status take what their title and widest value need.
        for (int section = 1; section < header->count(); ++section) {
            const ServiceTableModel::Column column = view.tableModel().column(section);
            if (column == ServiceTableModel::Column::signer) {
                continue;
            }
            QCOMPARE(header->sectionResizeMode(section), QHeaderView::Fixed);
            const int size = header->sectionSize(section);
            QVERIFY(size >
                    header->fontMetrics().horizontalAdvance(ServiceTableModel::title(column)));
            QVERIFY(size <= 120);
        }
        // Dragging the signer past its range is held at the range.
        const int signer = view.tableModel().section(ServiceTableModel::Column::signer);
        table->tableView()->horizontalHeader()->resizeSection(signer, 900);
        QCOMPARE(header->sectionSize(signer), ServiceTableView::kSignerColumnMaximumWidth);
    }

    void progressAndPlaceholderFollowTheLoad() {
        m_discovery->setItems(LaunchScope::system, {});
        m_discovery->holdLoads(true);
        ServiceTableView table(LaunchScope::system, QString(), {}, dependencies());
        table.show();

        // Loading an empty list: progress, and no "No Services Found" yet.
        QVERIFY(table.viewModel().loading());
        QVERIFY(table.isProgressShown());
        QVERIFY(!table.isPlaceholderShown());

        QSignalSpy stored(m_state.get(), &AppState::scopeLoaded);
        m_discovery->release();
        QVERIFY(stored.wait());
        m_clock->advance(1000ms);
        QVERIFY(table.isPlaceholderShown());
        auto* placeholder = table.findChild<ContentUnavailableView*>(u"noServicesPlaceholder"_qs);
        QVERIFY(placeholder != nullptr);
        QCOMPARE(placeholder->title(), u"No Services Found"_qs);
        QCOMPARE(placeholder->description(),
                 u"Try adjusting your filters or checking another scope."_qs);
        QCOMPARE(placeholder->symbolName(), u"magnifyingglass"_qs);
        // The bar fades out, then is gone.
        QTRY_VERIFY(!table.isProgressShown());
    }

    void progressNeverCoversHeadersOrRows() {
        m_discovery->holdLoads(true);
        ServiceTableView table(LaunchScope::system, QString(), systemItems(), dependencies());
        table.resize(700, 400);
        table.show();
        QVERIFY(QTest::qWaitForWindowExposed(&table));
        QVERIFY(table.isProgressShown());

        // Compared in the table's coordinates, where all of them are drawn.
        for (const QSize size : {QSize(700, 400), QSize(500, 300)}) {
            table.resize(size);
            const QProgressBar* bar = table.progressBar();
            const QHeaderView* header = table.tableView()->horizontalHeader();
            const QWidget* rows = table.tableView()->viewport();
            const QRect barRect(bar->mapTo(&table, QPoint(0, 0)), bar->size());
            QVERIFY(
                !barRect.intersects(QRect(header->mapTo(&table, QPoint(0, 0)), header->size())));
            QVERIFY(!barRect.intersects(QRect(rows->mapTo(&table, QPoint(0, 0)), rows->size())));
            QVERIFY(barRect.height() > 0 && barRect.width() > 0);
            QVERIFY(table.rect().contains(barRect));
        }
    }

    // Tab leaves the table for the next control instead of walking its cells.
    void tabLeavesTheTable() {
        auto table = shownTable();
        auto* next = new QPushButton(QStringLiteral("Next"), table.get());
        next->setObjectName(QStringLiteral("nextButton"));
        next->show();
        QApplication::setActiveWindow(table.get());
        QVERIFY(QTest::qWaitForWindowActive(table.get()));
        table->tableView()->setFocus();
        table->tableView()->setCurrentIndex(table->tableView()->model()->index(0, 0));
        QTest::keyClick(table->tableView(), Qt::Key_Tab);
        QVERIFY(!table->tableView()->hasFocus());
        QCOMPARE(table->tableView()->currentIndex().row(), 0);
    }

    void searchWithoutMatchesShowsPlaceholderWithoutReloading() {
        auto table = shownTable();
        table->setSearchText(u"ALPHAD"_qs);
        QCOMPARE(table->tableView()->model()->rowCount(), 1);
        QVERIFY(!table->isPlaceholderShown());
        table->setSearchText(u"nothing like this"_qs);
        QCOMPARE(table->tableView()->model()->rowCount(), 0);
        QVERIFY(table->isPlaceholderShown());
        table->setSearchText(QString());
        QCOMPARE(table->tableView()->model()->rowCount(), 3);
        QVERIFY(!table->isPlaceholderShown());
        QCOMPARE(m_discovery->callCount(), 1);
    }

    void inspectorOpensForExactlyOneSelection() {
        auto table = shownTable();
        QVERIFY(!table->isInspectorShown());

        selectRows(*table, {u"com.example.beta"_qs});
        QCOMPARE(table->selectedIds(), QStringList{u"com.example.beta-System-"_qs});
        QVERIFY(table->isInspectorShown());
        QCOMPARE(table->inspectorContent()->objectName(), u"fakeInspector"_qs);
        QCOMPARE(qobject_cast<QLabel*>(table->inspectorContent())->text(), u"com.example.beta"_qs);
        QVERIFY(table->inspectorContent()->parentWidget()->width() >=
                ServiceTableView::kInspectorMinimumWidth);
        QVERIFY(table->inspectorContent()->parentWidget()->maximumWidth() <=
                ServiceTableView::kInspectorMaximumWidth);

        selectRows(*table, {u"com.example.beta"_qs, u"com.example.gamma"_qs});
        QCOMPARE(table->selectedIds().size(), 2);
        QVERIFY(!table->isInspectorShown());

        selectRows(*table, {});
        QVERIFY(!table->isInspectorShown());
    }

    void vanishedRecordShowsNoSelection() {
        auto table = shownTable();
        selectRows(*table, {u"com.example.beta"_qs});
        QVERIFY(table->isInspectorShown());

        m_discovery->setItems(LaunchScope::system,
                              {makeItem("com.example.alpha", ServiceStatus::active,
                                        LaunchScope::system, 11, "/usr/libexec/alphad")});
        finishLoad(*table, [&] { table->reload(); });
        QCOMPARE(table->selectedIds(), QStringList{u"com.example.beta-System-"_qs});
        QVERIFY(table->isInspectorShown());
        auto* noSelection = qobject_cast<ContentUnavailableView*>(table->inspectorContent());
        QVERIFY(noSelection != nullptr);
        QCOMPARE(noSelection->title(), u"No Selection"_qs);
        QCOMPARE(noSelection->symbolName(), u"list.bullet"_qs);

        // When the record comes back, so does its pane.
        m_discovery->setItems(LaunchScope::system, systemItems());
        finishLoad(*table, [&] { table->reload(); });
        QCOMPARE(table->inspectorContent()->objectName(), u"fakeInspector"_qs);
    }

    void selectionSurvivesReloadAndFilter() {
        auto table = shownTable();
        selectRows(*table, {u"com.example.gamma"_qs});
        const int built = m_inspectorsBuilt;

        // A reload with a changed record keeps the selection by id and shows the
        // record's new state.
        std::vector<LaunchItem> changed = systemItems();
        changed[2].pid = 99;
        m_discovery->setItems(LaunchScope::system, changed);
        finishLoad(*table, [&] { table->reload(); });
        QCOMPARE(table->selectedIds(), QStringList{u"com.example.gamma-System-"_qs});
        QCOMPARE(table->selectedRecord()->pid, std::optional<std::int32_t>(99));
        QCOMPARE(m_inspectorsBuilt, built + 1);
        const QModelIndexList rows = table->tableView()->selectionModel()->selectedRows();
        QCOMPARE(rows.size(), 1);
        QCOMPARE(rows.first().data().toString(), u"com.example.gamma"_qs);

        // Hiding the row by a search keeps it selected but closes its pane, so
        // no button acts on a record the table does not show; it comes back
        // with the row.
        table->setSearchText(u"alpha"_qs);
        QCOMPARE(table->selectedIds(), QStringList{u"com.example.gamma-System-"_qs});
        QVERIFY(!table->isInspectorShown());
        QCOMPARE(table->inspectorContent(), nullptr);
        table->setSearchText(QString());
        QCOMPARE(table->tableView()->selectionModel()->selectedRows().size(), 1);
        QVERIFY(table->isInspectorShown());

        // Sorting keeps it too.
        table->tableView()->sortByColumn(1, Qt::DescendingOrder);
        QCOMPARE(table->selectedIds(), QStringList{u"com.example.gamma-System-"_qs});
    }

    void refreshTriggerAndActionReload() {
        LogCapture log;
        auto table = shownTable();
        QSignalSpy itemsChanged(&table->viewModel(), &ServiceTableViewModel::itemsChanged);
        QSignalSpy stored(m_state.get(), &AppState::scopeLoaded);

        // Two flips in quick succession: two loads, one publication.
        table->setRefreshTrigger(true);
        table->setRefreshTrigger(false);
        while (stored.count() < 2) {
            QVERIFY(stored.wait());
        }
        m_discovery->setItems(LaunchScope::system, {});
        m_clock->advance(1000ms);
        QCOMPARE(m_discovery->callCount(), 3);
        QCOMPARE(log.linesStartingWith(u"ServiceTableViewModel: Finished"_qs).size(), 2);

        QAction* refresh = table->refreshAction();
        // The keys belong to the window's action, which may hold the focus anywhere.
        QVERIFY(refresh->shortcut().isEmpty());
        finishLoad(*table, [&] { refresh->trigger(); });
        QCOMPARE(m_discovery->callCount(), 4);
        QCOMPARE(table->tableView()->model()->rowCount(), 0);
        QCOMPARE(itemsChanged.count(), 1);
    }
};

QTEST_MAIN(ServiceTableViewTest)
#include "ServiceTableViewTest.moc"
