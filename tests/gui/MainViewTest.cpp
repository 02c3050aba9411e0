#include "window/MainView.h"

#include "RecordingWorkspace.h"
#include "TestSupport.h"
#include "insight/SignerChecker.h"
#include "shell/StatusNotices.h"
#include "style/ViewStyle.h"
#include "table/ServiceTableModel.h"
#include "table/ServiceTableView.h"
#include "table/ServiceTableViewModel.h"
#include "table/SignerStore.h"
#include "window/DefinitionProblemsDialog.h"
#include "window/DefinitionProblemsModel.h"
#include "window/SidebarModel.h"
#include "window/ToolbarButtonsView.h"

#include <QAbstractItemModelTester>
#include <QAccessible>
#include <QAction>
#include <QApplication>
#include <QDir>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTableView>
#include <QTest>
#include <QToolButton>
#include <algorithm>
#include <map>
#include <memory>
#include <mutex>

using namespace daemonary;
using namespace daemonary::test;

class MainViewTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<FakeDiscovery> m_discovery;
    std::unique_ptr<AppState> m_state;

    GuiDependencies dependencies() {
        GuiDependencies result;
        result.appState = m_state.get();
        result.clock = std::make_shared<ImmediateClock>();
        return result;
    }

    QStringList badges() const {
        SidebarModel model(*m_state);
        QStringList result;
        for (int row = 0; row < model.rowCount(); ++row) {
            result.append(model.index(row).data(SidebarModel::BadgeRole).toString());
        }
        return result;
    }

    // Shows the window and waits for the start-up loads and the table's own.
    void showAndSettle(MainView& view) {
        QSignalSpy finished(&view, &MainView::startUpLoadingFinished);
        view.show();
        QVERIFY(finished.wait());
        ServiceTableView* table = view.serviceTable();
        QTRY_VERIFY(!table->viewModel().loading());
    }

private slots:
    void init() {
        m_discovery = std::make_unique<FakeDiscovery>();
        m_discovery->setItems(
            LaunchScope::system,
            {makeItem("com.example.alpha", ServiceStatus::active, LaunchScope::system, 11,
                      "/usr/libexec/alphad"),
             makeItem("com.example.beta", ServiceStatus::inactive),
             makeItem("com.example.gamma", ServiceStatus::active, LaunchScope::system, 12)});
        m_discovery->setItems(LaunchScope::user,
                              {makeItem("org.idle", ServiceStatus::inactive, LaunchScope::user)});
        m_discovery->setItems(
            LaunchScope::mach,
            {makeItem("com.example.alpha.helper", ServiceStatus::active, LaunchScope::mach, 40)});
        m_state = std::make_unique<AppState>(m_discovery->loader());
    }

    void cleanup() {
        m_discovery->holdLoads(false);
        m_discovery->release(16);
        m_state.reset(); // waits for its loads
    }

    void sidebarListsTheCategories() {
        MainView view(dependencies());
        QAbstractItemModelTester tester(view.sidebarModel());
        QCOMPARE(view.windowTitle(), u"Daemonary"_qs);
        QStringList titles;
        QStringList symbols;
        for (int row = 0; row < view.sidebarModel()->rowCount(); ++row) {
            const QModelIndex index = view.sidebarModel()->index(row);
            titles.append(index.data().toString());
            symbols.append(index.data(SidebarModel::SymbolNameRole).toString());
            QVERIFY(!index.data(Qt::DecorationRole).value<QIcon>().isNull());
        }
        QCOMPARE(titles, (QStringList{u"Privileged"_qs, u"System"_qs, u"User"_qs, u"macOS"_qs,
                                      u"Mach"_qs, u"Kernel"_qs, u"Others"_qs, u"Background"_qs}));
        QCOMPARE(symbols.first(), u"externaldrive.trianglebadge.exclamationmark"_qs);
        QCOMPARE(view.selectedScope(), std::optional(LaunchScope::system));
        QCOMPARE(view.serviceTable()->scope(), LaunchScope::system);
        QCOMPARE(view.sidebar()->selectionModel()->selectedRows().first().row(), 1);
    }

    void startUpLoadsEveryCategoryInOrder() {
        m_discovery->holdLoads(true);
        MainView view(dependencies());
        QSignalSpy finished(&view, &MainView::startUpLoadingFinished);
        view.show();

        // The table loads System while the start-up sequence loads Privileged.
        QTRY_COMPARE(m_discovery->callCount(), 2);
        QCOMPARE(m_discovery->callCount(LaunchScope::privilegedHelperTools), 1);
        QCOMPARE(m_discovery->callCount(LaunchScope::system), 1);
        m_discovery->release(2);

        // Then one category after another, each only when the one before is done.
        for (std::size_t position = 1; position < allScopes().size(); ++position) {
            QTRY_COMPARE(m_discovery->callCount(), static_cast<int>(position) + 2);
            QCOMPARE(m_discovery->calls().back(), allScopes()[position]);
            QVERIFY(finished.isEmpty());
            m_discovery->release();
        }
        QVERIFY(finished.wait());
        // Every category once, and System twice (the table's own load).
        QCOMPARE(m_discovery->callCount(), static_cast<int>(allScopes().size()) + 1);
        QTRY_COMPARE(view.serviceTable()->tableView()->model()->rowCount(), 3);
    }

    void startUpReadsOnePictureForEveryCategory() {
        // Each plan stands for one picture of the host; a load records the
        // plan it read.
        struct Plans {
            std::mutex mutex;
            std::vector<std::vector<LaunchScope>> planned;
            std::map<LaunchScope, std::vector<std::size_t>> readBy;
        };
        auto plans = std::make_shared<Plans>();
        m_state->setLoadPlanner([plans](const std::vector<LaunchScope>& scopes) {
            std::lock_guard lock(plans->mutex);
            plans->planned.push_back(scopes);
            const std::size_t plan = plans->planned.size() - 1;
            return AppState::DiscoveryLoader([plans, plan](LaunchScope scope) {
                std::lock_guard held(plans->mutex);
                plans->readBy[scope].push_back(plan);
                return AppState::Discovery{};
            });
        });
        MainView view(dependencies());
        QSignalSpy finished(&view, &MainView::startUpLoadingFinished);
        view.show();
        QVERIFY(finished.wait());
        QTRY_COMPARE(m_state->loadingScopes().size(), std::size_t(0));

        std::lock_guard lock(plans->mutex);
        const std::vector<LaunchScope> every(allScopes().begin(), allScopes().end());
        const auto startUp = std::find(plans->planned.begin(), plans->planned.end(), every);
        QVERIFY(startUp != plans->planned.end());
        QCOMPARE(std::count(plans->planned.begin(), plans->planned.end(), every), 1);
        const auto startUpPlan = static_cast<std::size_t>(startUp - plans->planned.begin());
        for (const LaunchScope scope : every) {
            const auto& reads = plans->readBy[scope];
            QVERIFY2(std::count(reads.begin(), reads.end(), startUpPlan) == 1,
                     toText(scope).data());
        }
        // The table's own load of System plans for System alone.
        QVERIFY(std::find(plans->planned.begin(), plans->planned.end(),
                          std::vector<LaunchScope>{LaunchScope::system}) != plans->planned.end());
    }

    void badgesCountAndHideAtZero() {
        MainView view(dependencies());
        showAndSettle(view);
        // Running services only; none shown at zero.
        QCOMPARE(badges(), (QStringList{QString(), u"(2)"_qs, QString(), QString(), u"(1)"_qs,
                                        QString(), QString(), QString()}));
    }

    void searchFieldRefiltersAndRecountsWithoutReloading() {
        MainView view(dependencies());
        showAndSettle(view);
        const int loads = m_discovery->callCount();
        ToolbarButtonsView* toolbar = view.toolbarButtons();
        QLineEdit* field = toolbar->searchLineEdit();
        QCOMPARE(field->placeholderText(), u"Search"_qs);
        QVERIFY(field->parentWidget()->width() == ToolbarButtonsView::kSearchFieldWidth);
        QVERIFY(toolbar->clearButton()->isHidden());

        QTest::keyClicks(field, u"alpha"_qs);
        QCOMPARE(view.searchText(), u"alpha"_qs);
        QVERIFY(!toolbar->clearButton()->isHidden());
        QCOMPARE(view.serviceTable()->tableView()->model()->rowCount(), 1);
        QCOMPARE(badges(), (QStringList{QString(), u"(1)"_qs, QString(), QString(), u"(1)"_qs,
                                        QString(), QString(), QString()}));
        QCOMPARE(m_state->lastSearchText(), u"alpha"_qs);

        QTest::mouseClick(toolbar->clearButton(), Qt::LeftButton);
        QCOMPARE(field->text(), QString());
        QVERIFY(toolbar->clearButton()->isHidden());
        QCOMPARE(view.serviceTable()->tableView()->model()->rowCount(), 3);
        QCOMPARE(badges(), (QStringList{QString(), u"(2)"_qs, QString(), QString(), u"(1)"_qs,
                                        QString(), QString(), QString()}));
        QCOMPARE(m_discovery->callCount(), loads);
    }

    void otherCategoryGetsAFreshTable() {
        MainView view(dependencies());
        showAndSettle(view);
        ServiceTableView* systemTable = view.serviceTable();
        systemTable->tableView()->sortByColumn(1, Qt::DescendingOrder);
        systemTable->tableView()->selectRow(0);
        QVERIFY(!systemTable->selectedIds().isEmpty());
        QTest::keyClicks(view.toolbarButtons()->searchLineEdit(), u"org"_qs);

        QSignalSpy stored(m_state.get(), &AppState::scopeLoaded);
        view.sidebar()->selectionModel()->select(view.sidebarModel()->index(2),
                                                 QItemSelectionModel::ClearAndSelect);
        QCOMPARE(view.selectedScope(), std::optional(LaunchScope::user));
        ServiceTableView* userTable = view.serviceTable();
        QVERIFY(userTable != systemTable);
        QCOMPARE(userTable->scope(), LaunchScope::user);
        QCOMPARE(userTable->searchText(), u"org"_qs);
        QVERIFY(userTable->selectedIds().isEmpty());
        QVERIFY(!userTable->isInspectorShown());
        QCOMPARE(userTable->tableView()->horizontalHeader()->sortIndicatorSection(), 0);
        QCOMPARE(userTable->tableView()->horizontalHeader()->sortIndicatorOrder(),
                 Qt::AscendingOrder);
        QVERIFY(stored.wait());
        QTRY_COMPARE(userTable->tableView()->model()->rowCount(), 1);

        // No category: only the hint.
        view.setSelectedScope(std::nullopt);
        QVERIFY(view.serviceTable() == nullptr);
        auto* hint = view.findChild<QLabel*>(u"selectCategoryLabel"_qs);
        QVERIFY(hint != nullptr && !hint->isHidden());
        QCOMPARE(hint->text(), u"Select a category"_qs);
    }

    // At 1100×700 with a service selected the table fits beside the
    // inspector: no horizontal scrolling, and the label keeps its room.
    void tableFitsTheWindowBesideTheInspector() {
        SignerStore signers{SignerChecker(), QString()};
        signers.insert(QStringLiteral("/usr/libexec/alphad"),
                       Signer{SignerKind::developerId,
                              "Northwind Traders International Holdings",
                              "N7W4D2TR8S",
                              "",
                              {}});
        GuiDependencies withSigners = dependencies();
        withSigners.signers = &signers;
        MainView view(withSigners);
        view.resize(1100, 700);
        showAndSettle(view);
        QTableView* table = view.serviceTable()->tableView();
        table->selectRow(0);
        QVERIFY(view.serviceTable()->isInspectorShown());

        const QHeaderView* header = table->horizontalHeader();
        const auto sizeOf = [&](ServiceTableModel::Column column) {
            return header->sectionSize(view.serviceTable()->tableModel().section(column));
        };
        QTRY_VERIFY(header->length() <= table->viewport()->width());
        QVERIFY(!table->horizontalScrollBar()->isVisible());
        QVERIFY(sizeOf(ServiceTableModel::Column::label) >= ServiceTableView::kLabelMinimumWidth);
        // Room for a reverse-DNS label to be read, not "com.advent…rbor.agent".
        QVERIFY(sizeOf(ServiceTableModel::Column::label) >= 200);
        QVERIFY(sizeOf(ServiceTableModel::Column::signer) >=
                ServiceTableView::kSignerColumnMinimumWidth);

        // A wider window gives the signer its whole width back.
        view.resize(1600, 700);
        QTRY_COMPARE(sizeOf(ServiceTableModel::Column::signer),
                     ServiceTableView::kSignerColumnWidth);
        QVERIFY(header->length() <= table->viewport()->width());
    }

    // Escape clears the search; in an empty field it goes back to the table.
    void escapeClearsTheSearchThenLeavesTheField() {
        MainView view(dependencies());
        showAndSettle(view);
        QApplication::setActiveWindow(&view);
        QVERIFY(QTest::qWaitForWindowActive(&view));
        QLineEdit* field = view.toolbarButtons()->searchLineEdit();
        field->setFocus();
        QTest::keyClicks(field, u"alpha"_qs);
        QCOMPARE(view.serviceTable()->tableView()->model()->rowCount(), 1);
        QTest::keyClick(field, Qt::Key_Escape);
        QCOMPARE(field->text(), QString());
        QCOMPARE(view.searchText(), QString());
        QCOMPARE(view.serviceTable()->tableView()->model()->rowCount(), 3);
        QVERIFY(field->hasFocus());
        QTest::keyClick(field, Qt::Key_Escape);
        QVERIFY(view.serviceTable()->tableView()->hasFocus());
    }

    void refreshKeysWorkWhereverTheFocusIs() {
        MainView view(dependencies());
        showAndSettle(view);
        QApplication::setActiveWindow(&view);
        QVERIFY(QTest::qWaitForWindowActive(&view));
        QAction* refresh = view.refreshAction();
        QCOMPARE(refresh->text(), u"Refresh"_qs);
        QVERIFY(refresh->shortcuts().contains(QKeySequence(Qt::Key_F5)));
        QVERIFY(refresh->shortcuts().contains(QKeySequence(Qt::CTRL | Qt::Key_R)));

        // Neither the table nor the inspector: the search field and the sidebar.
        QLineEdit* field = view.toolbarButtons()->searchLineEdit();
        const struct {
            QWidget* focus;
            QKeyCombination key;
        } cases[] = {{field, QKeyCombination(Qt::Key_F5)},
                     {field, QKeyCombination(Qt::CTRL, Qt::Key_R)},
                     {view.sidebar(), QKeyCombination(Qt::Key_F5)}};
        for (const auto& c : cases) {
            c.focus->setFocus();
            QTRY_VERIFY(c.focus->hasFocus());
            const int loads = m_discovery->callCount(LaunchScope::system);
            QSignalSpy stored(m_state.get(), &AppState::scopeLoaded);
            QTest::keyClick(c.focus, c.key.key(), c.key.keyboardModifiers());
            QVERIFY(stored.wait());
            QCOMPARE(m_discovery->callCount(LaunchScope::system), loads + 1);
        }
        // The key typed into the search field did not become text.
        QCOMPARE(field->text(), QString());

        // Nothing to refresh without a category.
        view.setSelectedScope(std::nullopt);
        QVERIFY(!refresh->isEnabled());
    }

    void paletteSwitchRecoloursWhatTheWindowDerivedFromIt() {
        const QPalette light = QApplication::palette();
        QPalette dark = light;
        for (const auto group : {QPalette::Active, QPalette::Inactive}) {
            dark.setColor(group, QPalette::Window, QColor(30, 30, 30));
            dark.setColor(group, QPalette::Base, QColor(20, 20, 20));
            dark.setColor(group, QPalette::Button, QColor(50, 50, 50));
            dark.setColor(group, QPalette::Text, QColor(250, 240, 230));
            dark.setColor(group, QPalette::WindowText, QColor(250, 240, 230));
            dark.setColor(group, QPalette::ButtonText, QColor(250, 240, 230));
        }
        MainView view(dependencies());
        showAndSettle(view);
        view.serviceTable()->setSearchText(u"no such service"_qs);
        QVERIFY(view.serviceTable()->isPlaceholderShown());

        auto* searchIcon = view.findChild<QLabel*>(u"searchIcon"_qs);
        auto* placeholderSymbol =
            view.serviceTable()->findChild<QLabel*>(u"contentUnavailableSymbol"_qs);
        QVERIFY(searchIcon && placeholderSymbol);
        QApplication::setPalette(dark);
        // The switch reaches the widgets through the event loop.
        QTRY_COMPARE(view.palette().color(QPalette::Text), QColor(250, 240, 230));
        QVERIFY(sameRgb(dominantColor(searchIcon->pixmap()), QColor(250, 240, 230)));
        QVERIFY(sameRgb(dominantColor(placeholderSymbol->pixmap()), QColor(250, 240, 230)));
        QCOMPARE(view.sidebar()->palette().color(QPalette::Base), QColor(30, 30, 30));

        view.setSelectedScope(std::nullopt);
        auto* hint = view.findChild<QLabel*>(u"selectCategoryLabel"_qs);
        QCOMPARE(hint->palette().color(QPalette::WindowText).rgb(), QColor(250, 240, 230).rgb());
        QApplication::setPalette(light);
        QTRY_COMPARE(hint->palette().color(QPalette::WindowText).rgb(),
                     light.color(QPalette::Text).rgb());
    }

    // Others lists plug-ins whose types are long words: the column fits the
    // widest, and two plug-ins of one name say which folder each is in.
    void othersShowTheirTypesAndTellLikeNamesApart() {
        m_discovery->setItems(
            LaunchScope::others,
            {makeItem("NorthwindDocs.mdimporter", ServiceStatus::unknown, LaunchScope::others,
                      std::nullopt, std::nullopt, "/Library/Spotlight/NorthwindDocs.mdimporter"),
             makeItem("NorthwindDocs.mdimporter", ServiceStatus::unknown, LaunchScope::others,
                      std::nullopt, std::nullopt,
                      "/Users/demo/Library/Spotlight/NorthwindDocs.mdimporter"),
             makeItem("Skyline.prefPane", ServiceStatus::unknown, LaunchScope::others, std::nullopt,
                      std::nullopt, "/Library/PreferencePanes/Skyline.prefPane")});
        MainView view(dependencies());
        view.resize(1100, 700);
        showAndSettle(view);
        view.setSelectedScope(LaunchScope::others);
        ServiceTableView* others = view.serviceTable();
        QTRY_VERIFY(!others->viewModel().loading());
        QTRY_COMPARE(others->tableView()->model()->rowCount(), 3);
        others->tableView()->selectRow(0);
        QVERIFY(others->isInspectorShown());

        const int type = others->tableModel().section(ServiceTableModel::Column::type);
        const QFontMetrics caption(ViewStyle::caption());
        const int width = others->tableView()->horizontalHeader()->sectionSize(type);
        QVERIFY2(width > caption.horizontalAdvance(u"MDIMPORTER"_qs),
                 qPrintable(QString::number(width)));
        QVERIFY(width > caption.horizontalAdvance(u"PREFPANE"_qs));

        QStringList labels;
        for (int row = 0; row < 3; ++row) {
            labels.append(others->tableView()->model()->index(row, 0).data().toString());
        }
        QVERIFY2(labels.contains(u"NorthwindDocs.mdimporter \u2014 in /Library"_qs),
                 qPrintable(labels.join(u" | "_qs)));
        QVERIFY(labels.contains(u"NorthwindDocs.mdimporter \u2014 in /Users/demo/Library"_qs));
        // A name no other row has stays as it is.
        QVERIFY(labels.contains(u"Skyline.prefPane"_qs));
    }

    // Ctrl+F (⌘F on a Mac) reaches the search field from anywhere; Escape
    // in the pane goes back to the table and its selection.
    void findReachesSearchAndEscapeLeavesThePane() {
        GuiDependencies withPane = dependencies();
        withPane.inspectorFactory = [](const LaunchItem& item, ServiceTableView&) -> QWidget* {
            auto* button = new QPushButton(QString::fromStdString(item.label));
            button->setObjectName(u"fakeInspectorButton"_qs);
            return button;
        };
        MainView view(withPane);
        view.resize(1100, 700);
        showAndSettle(view);
        QApplication::setActiveWindow(&view);
        QVERIFY(QTest::qWaitForWindowActive(&view));
        QTableView* table = view.serviceTable()->tableView();
        table->setFocus();
        QTest::keyClick(table, Qt::Key_F, Qt::ControlModifier);
        QLineEdit* field = view.toolbarButtons()->searchLineEdit();
        QAccessibleInterface* search = QAccessible::queryAccessibleInterface(field);
        QVERIFY(search != nullptr && search->state().focused);

        table->selectRow(0);
        auto* pane = view.findChild<QPushButton*>(u"fakeInspectorButton"_qs);
        QVERIFY(pane != nullptr && pane->isVisible());
        pane->setFocus();
        QTest::keyClick(pane, Qt::Key_Escape);
        QVERIFY(QAccessible::queryAccessibleInterface(table)->state().focused);
        QVERIFY(view.serviceTable()->isInspectorShown());
    }

    // What the window did, or could not do, is said in its status bar; while
    // Apple-signed items are hidden it shows the signatures still checked.
    void statusBarSaysWhatHappened() {
        StatusNotices notices;
        SignerStore signers{SignerChecker(), QString()};
        GuiDependencies withStatus = dependencies();
        withStatus.notices = &notices;
        withStatus.signers = &signers;
        MainView view(withStatus);
        showAndSettle(view);
        notices.post(u"Cannot reveal /x: it is not there any more"_qs);
        QCOMPARE(view.statusText(), u"Cannot reveal /x: it is not there any more"_qs);
        auto* message = view.findChild<QLabel*>(u"statusMessage"_qs);
        QVERIFY(message != nullptr && message->isVisible());
        QCOMPARE(QAccessible::queryAccessibleInterface(message)->text(QAccessible::Name),
                 view.statusText());

        QTRY_COMPARE(signers.pendingCount(), 0);
        view.setHideAppleSigned(true);
        QVERIFY(view.signatureProgress()->isHidden());
        signers.requestTarget(u"/opt/never-there"_qs);
        QVERIFY(view.signatureProgress()->isVisible());
        QVERIFY2(view.statusText().startsWith(u"Checking 1 signature"_qs),
                 qPrintable(view.statusText()));
        QTRY_VERIFY(view.signatureProgress()->isHidden());
        QVERIFY(view.statusText().startsWith(u"Signatures checked"_qs));
    }

    void sidebarFootListsUnreadableDefinitions() {
        // The test sets what the next loads report; the loads run on the pool.
        auto problems = std::make_shared<std::vector<DefinitionProblem>>();
        auto problemsMutex = std::make_shared<std::mutex>();
        const auto setProblems = [&](std::vector<DefinitionProblem> next) {
            const std::lock_guard lock(*problemsMutex);
            *problems = std::move(next);
        };
        AppState::Loader items = m_discovery->loader();
        AppState state([items, problems, problemsMutex](LaunchScope scope) {
            AppState::Discovery discovery{items(scope), {}, {}};
            const std::lock_guard lock(*problemsMutex);
            for (const DefinitionProblem& problem : *problems) {
                if (problem.scope == scope) {
                    discovery.problems.push_back(problem);
                }
            }
            return discovery;
        });
        const std::string hostile = "/Library/LaunchDaemons/\x1b[2Jx\u202e.plist";
        setProblems(
            {{hostile, ProblemReason::doesNotParse, LaunchScope::system},
             {"/Users/a/Library/LaunchAgents/n.plist", ProblemReason::noLabel, LaunchScope::user}});
        RecordingWorkspace workspace(QDir::tempPath().toStdString() + "/unused-trash");
        GuiDependencies withProblems = dependencies();
        withProblems.appState = &state;
        withProblems.workspace = &workspace;
        MainView view(withProblems);
        showAndSettle(view);

        auto* foot = view.findChild<QPushButton*>(u"definitionProblemsButton"_qs);
        QVERIFY(foot != nullptr);
        QVERIFY(foot->isVisible());
        QCOMPARE(foot->accessibleName(), u"2 definitions could not be read"_qs);
        QVERIFY(view.problemsDialog() == nullptr);
        foot->click();

        DefinitionProblemsDialog* dialog = view.problemsDialog();
        QVERIFY(dialog != nullptr);
        QVERIFY(dialog->isVisible());
        QAbstractItemModelTester tester(dialog->model());
        QCOMPARE(dialog->model()->rowCount(), 2);
        const QString shown =
            dialog->model()->index(0, DefinitionProblemsModel::PathColumn).data().toString();
        QVERIFY(!shown.contains(QChar(0x1b)));
        QVERIFY(!shown.contains(QChar(0x202e)));
        QCOMPARE(dialog->model()->index(1, DefinitionProblemsModel::ReasonColumn).data().toString(),
                 u"no Label"_qs);
        QVERIFY(!dialog->revealButton()->isEnabled());
        dialog->table()->selectRow(0);
        QVERIFY(dialog->revealButton()->isEnabled());
        dialog->revealButton()->click();
        // The file itself, not the escaped text shown for it.
        QCOMPARE(workspace.revealed(), (std::vector<std::vector<std::string>>{{hostile}}));
        for (QWidget* control : dialog->findChildren<QWidget*>()) {
            if (control->focusPolicy() != Qt::NoFocus && control->isVisible()) {
                QVERIFY2(!control->objectName().isEmpty(), control->metaObject()->className());
                QVERIFY2(!control->accessibleName().isEmpty(), qPrintable(control->objectName()));
            }
        }

        // Fixed files leave the list and, once none is left, the foot goes.
        setProblems({});
        QSignalSpy loaded(&state, &AppState::scopeLoaded);
        state.loadScope(LaunchScope::system);
        QVERIFY(loaded.wait());
        QCOMPARE(foot->accessibleName(), u"1 definition could not be read"_qs);
        QCOMPARE(dialog->model()->rowCount(), 1);
        state.loadScope(LaunchScope::user);
        QVERIFY(loaded.wait());
        QVERIFY(foot->isHidden());
        QCOMPARE(dialog->model()->rowCount(), 0);
        QVERIFY(m_discovery->ranOnlyOffGuiThread());
    }
};

QTEST_MAIN(MainViewTest)
#include "MainViewTest.moc"
