#include "TestSupport.h"
#include "baseline/BaselineState.h"
#include "baseline/Snapshot.h"
#include "baseline/SnapshotFile.h"
#include "style/ConfirmationPrompt.h"
#include "table/AppState.h"
#include "table/CategoryWatcher.h"
#include "table/ServiceFilterProxyModel.h"
#include "table/ServiceTableModel.h"
#include "table/ServiceTableView.h"
#include "window/MainView.h"
#include "window/SidebarModel.h"

#include <QAbstractItemModelTester>
#include <QAction>
#include <QDir>
#include <QFile>
#include <QLocale>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <memory>

using namespace daemonary;
using namespace daemonary::test;

namespace {

void writeText(const QString& path, const QByteArray& contents) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(contents);
}

QByteArray readText(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

LaunchItem agentAt(const QString& folder, const std::string& label) {
    return makeItem(label, ServiceStatus::inactive, LaunchScope::user, std::nullopt, std::nullopt,
                    (folder + QLatin1Char('/')).toStdString() + label + ".plist");
}

} // namespace

class BaselineTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<FakeDiscovery> m_discovery;
    std::unique_ptr<AppState> m_state;
    std::unique_ptr<BaselineState> m_baseline;

    QString agents() const { return m_dir->path() + QStringLiteral("/LaunchAgents"); }
    QString baselineFile() const { return m_dir->path() + QStringLiteral("/data/baseline.json"); }

    void load(LaunchScope scope) {
        QSignalSpy loaded(m_state.get(), &AppState::scopeLoaded);
        m_state->loadScope(scope);
        QVERIFY(loaded.wait());
    }

    // Saves what is loaded as the baseline and waits for the marks.
    void saveBaseline() {
        QSignalSpy saved(m_baseline.get(), &BaselineState::saveFinished);
        QSignalSpy idle(m_baseline.get(), &BaselineState::idle);
        m_baseline->save();
        QVERIFY(saved.wait());
        QCOMPARE(saved.first().first().toBool(), true);
        if (m_baseline->busy()) {
            QVERIFY(idle.wait());
        }
    }

    // The present differs from the baseline: one new, one changed, one gone.
    void changeThePresent() {
        writeText(agents() + QStringLiteral("/com.example.kept.plist"), "<plist>2</plist>");
        writeText(agents() + QStringLiteral("/com.example.new.plist"), "<plist>new</plist>");
        m_discovery->setItems(LaunchScope::user, {agentAt(agents(), "com.example.kept"),
                                                  agentAt(agents(), "com.example.new"),
                                                  agentAt(agents(), "com.example.same")});
        QSignalSpy changes(m_baseline.get(), &BaselineState::changesChanged);
        load(LaunchScope::user);
        QVERIFY(changes.wait());
    }

private slots:
    void init() {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
        writeText(agents() + QStringLiteral("/com.example.kept.plist"), "<plist>1</plist>");
        writeText(agents() + QStringLiteral("/com.example.gone.plist"), "<plist>gone</plist>");
        writeText(agents() + QStringLiteral("/com.example.same.plist"), "<plist>same</plist>");
        m_discovery = std::make_unique<FakeDiscovery>();
        m_discovery->setItems(LaunchScope::user, {agentAt(agents(), "com.example.kept"),
                                                  agentAt(agents(), "com.example.gone"),
                                                  agentAt(agents(), "com.example.same")});
        m_discovery->setItems(LaunchScope::mach, {makeItem("com.example.xpc", ServiceStatus::active,
                                                           LaunchScope::mach, 5)});
        m_state = std::make_unique<AppState>(m_discovery->loader());
        m_baseline = std::make_unique<BaselineState>(*m_state, baselineFile());
        load(LaunchScope::user);
        load(LaunchScope::mach);
    }

    void cleanup() {
        m_baseline.reset();
        m_state.reset();
        m_discovery.reset();
        m_dir.reset();
    }

    void savedBaselineLeavesTheJobTableOut() {
        saveBaseline();
        QVERIFY(m_baseline->hasBaseline());
        auto read = SnapshotFile::read(baselineFile().toStdString());
        QVERIFY(std::holds_alternative<Snapshot>(read));
        const Snapshot& saved = std::get<Snapshot>(read);
        QVERIFY(saved.covers(LaunchScope::user));
        QVERIFY(!saved.covers(LaunchScope::mach));
        QCOMPARE(saved.records.size(), std::size_t(3));
        QCOMPARE(m_baseline->changeCount(LaunchScope::user), 0);
        // The date carries the time, in the user's locale.
        const QDateTime taken = m_baseline->takenAt();
        QVERIFY(m_baseline->dateText().contains(QString::number(taken.date().year())));
        QVERIFY(m_baseline->dateText().endsWith(
            QLocale().toString(taken.time(), QLocale::ShortFormat)));
    }

    // Arguments rewritten in place change no record (same label, path and
    // program), yet the next load marks the agent, naming the argument.
    void inPlaceEditIsMarkedOnTheNextLoad() {
        const QString kept = agents() + QStringLiteral("/com.example.kept.plist");
        const auto definition = [](const char* arguments) {
            return QByteArray("<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\">"
                              "<dict><key>Label</key><string>com.example.kept</string>"
                              "<key>ProgramArguments</key><array><string>/bin/kept</string>") +
                   arguments + "</array></dict></plist>";
        };
        writeText(kept, definition(""));
        saveBaseline();
        QCOMPARE(m_baseline->changeCount(LaunchScope::user), 0);

        writeText(kept, definition("<string>--evil</string>"));
        QSignalSpy changes(m_baseline.get(), &BaselineState::changesChanged);
        QSignalSpy itemsChanged(m_state.get(), &AppState::allItemsChanged);
        load(LaunchScope::user);
        QVERIFY(changes.wait());
        QVERIFY(itemsChanged.isEmpty());
        const LaunchItem item = agentAt(agents(), "com.example.kept");
        QCOMPARE(m_baseline->standing(item).mark, ChangeMark::modified);
        QCOMPARE(m_baseline->note(item, ChangeMark::modified),
                 QStringLiteral("Changed since ") + m_baseline->dateText() +
                     QStringLiteral(":\nProgramArguments: added \"--evil\""));
    }

    void modelMarksNewChangedAndRemoved() {
        saveBaseline();
        ServiceTableModel model(LaunchScope::user);
        QAbstractItemModelTester tester(&model);
        model.setBaseline(m_baseline.get());
        changeThePresent();
        model.setItems(*m_state->items(LaunchScope::user));
        model.refreshChanges();

        // Three present records and the removed one as a row of its own.
        QCOMPARE(model.rowCount(), 4);
        QMap<QString, int> marks;
        for (int row = 0; row < model.rowCount(); ++row) {
            const QModelIndex label = model.index(row, 0);
            marks.insert(QString::fromStdString(model.row(row).item.label),
                         label.data(ServiceTableModel::ChangeMarkRole).toInt());
        }
        QCOMPARE(marks.value(QStringLiteral("com.example.new")), int(ChangeMark::added));
        QCOMPARE(marks.value(QStringLiteral("com.example.kept")), int(ChangeMark::modified));
        QCOMPARE(marks.value(QStringLiteral("com.example.same")), int(ChangeMark::none));
        QCOMPARE(marks.value(QStringLiteral("com.example.gone")), int(ChangeMark::removed));

        const QString date = m_baseline->dateText();
        for (int row = 0; row < model.rowCount(); ++row) {
            const QModelIndex label = model.index(row, 0);
            const auto& current = model.row(row);
            const QString accessible = label.data(Qt::AccessibleTextRole).toString();
            const QString note = label.data(ServiceTableModel::ChangeNoteRole).toString();
            switch (current.mark) {
            case ChangeMark::added:
                QCOMPARE(accessible, current.displayName + QStringLiteral(", New"));
                QCOMPARE(note, QStringLiteral("New since ") + date);
                QVERIFY(!label.data(Qt::DecorationRole).isNull());
                break;
            case ChangeMark::modified:
                QCOMPARE(accessible, current.displayName + QStringLiteral(", Changed"));
                QCOMPARE(note, QStringLiteral("Changed since ") + date +
                                   QStringLiteral(":\ncontents changed"));
                break;
            case ChangeMark::removed:
                QVERIFY(label.data(Qt::FontRole).value<QFont>().strikeOut());
                QVERIFY(note.startsWith(QStringLiteral("Removed since ") + date));
                QVERIFY(note.contains(QStringLiteral("com.example.gone.plist")));
                break;
            case ChangeMark::none:
                QVERIFY(accessible.isEmpty());
                QVERIFY(note.isEmpty());
                QVERIFY(label.data(Qt::DecorationRole).isNull());
                break;
            }
        }

        // The removed record shows among the changes only.
        ServiceFilterProxyModel proxy;
        proxy.setSourceModel(&model);
        QCOMPARE(proxy.rowCount(), 3);
        proxy.setChangesOnly(true);
        QCOMPARE(proxy.rowCount(), 3);
        QStringList shown;
        for (int row = 0; row < proxy.rowCount(); ++row) {
            shown << proxy.index(row, 0).data(Qt::DisplayRole).toString();
        }
        QVERIFY(!shown.contains(QStringLiteral("com.example.same")));
        proxy.setSearchText(QStringLiteral("gone"));
        QCOMPARE(proxy.rowCount(), 1);
    }

    void changesOnlyTableAndInspectorNote() {
        saveBaseline();
        changeThePresent();
        GuiDependencies dependencies;
        dependencies.appState = m_state.get();
        dependencies.clock = std::make_shared<ImmediateClock>();
        dependencies.baseline = m_baseline.get();
        ServiceTableView table(LaunchScope::user, QString(), *m_state->items(LaunchScope::user),
                               dependencies);
        QCOMPARE(table.proxyModel().rowCount(), 3);
        table.setChangesOnly(true);
        QCOMPARE(table.proxyModel().rowCount(), 3);

        const QString gone = QStringLiteral("removed:") +
                             QString::fromStdString(agentAt(agents(), "com.example.gone").id());
        table.setSelectedIds({gone});
        QVERIFY(table.inspectorContent() != nullptr);
        const QString removedNote = table.inspectorContent()->property("baselineNote").toString();
        QVERIFY(removedNote.startsWith(QStringLiteral("Removed since ") + m_baseline->dateText()));
        QVERIFY(removedNote.contains(QStringLiteral("SHA-256 ")));

        table.setSelectedIds({QString::fromStdString(agentAt(agents(), "com.example.kept").id())});
        QCOMPARE(table.inspectorContent()->property("baselineNote").toString(),
                 QStringLiteral("Changed since ") + m_baseline->dateText() +
                     QStringLiteral(":\ncontents changed"));

        // Forgetting the baseline takes the marks and the removed rows away.
        QSignalSpy changes(m_baseline.get(), &BaselineState::changesChanged);
        m_baseline->forget();
        QVERIFY(!changes.isEmpty());
        QCOMPARE(table.tableModel().rowCount(), 3);
        QCOMPARE(table.proxyModel().rowCount(), 0);
        // The selected row is filtered out: no pane until it shows again.
        QCOMPARE(table.inspectorContent(), nullptr);
        table.setChangesOnly(false);
        QVERIFY(table.inspectorContent() != nullptr);
        QVERIFY(table.inspectorContent()->property("baselineNote").toString().isEmpty());
    }

    void sidebarSaysWhichCategoriesChanged() {
        SidebarModel sidebar(*m_state);
        QAbstractItemModelTester tester(&sidebar);
        sidebar.setBaseline(m_baseline.get());
        const QModelIndex user = sidebar.index(SidebarModel::rowOf(LaunchScope::user));
        const QString badge = user.data(SidebarModel::BadgeRole).toString();
        saveBaseline();
        QSignalSpy dataChanged(&sidebar, &QAbstractItemModel::dataChanged);
        changeThePresent();
        QVERIFY(!dataChanged.isEmpty());
        QCOMPARE(user.data(SidebarModel::ChangeCountRole).toInt(), 3);
        QCOMPARE(user.data(Qt::AccessibleDescriptionRole).toString(),
                 QStringLiteral("3 changes since the baseline of ") + m_baseline->dateText());
        // The running-services badge is not the change count.
        QCOMPARE(user.data(SidebarModel::BadgeRole).toString(), badge);
        const QModelIndex mach = sidebar.index(SidebarModel::rowOf(LaunchScope::mach));
        QCOMPARE(mach.data(SidebarModel::ChangeCountRole).toInt(), 0);
        QVERIFY(mach.data(Qt::AccessibleDescriptionRole).toString().isEmpty());
    }

    void damagedBaselineIsReportedAndKept() {
        const QByteArray damaged = "{\"format\": 1, \"takenAt\": 12";
        writeText(baselineFile(), damaged);
        QSignalSpy problem(m_baseline.get(), &BaselineState::problemOccurred);
        QSignalSpy idle(m_baseline.get(), &BaselineState::idle);
        m_baseline->load();
        QVERIFY(idle.wait());
        QCOMPARE(problem.count(), 1);
        const QString message = problem.first().first().toString();
        QVERIFY(message.contains(baselineFile()));
        // In words, not the parser's: a file that stops early was cut short.
        QVERIFY2(message.contains(QStringLiteral("cut short")), qPrintable(message));
        QVERIFY(!message.contains(QStringLiteral("json.exception")));
        QVERIFY(!m_baseline->hasBaseline());
        QCOMPARE(m_baseline->changeCount(LaunchScope::user), 0);
        QCOMPARE(readText(baselineFile()), damaged);
    }

    void loadAndForget() {
        saveBaseline();
        BaselineState other(*m_state, baselineFile());
        QSignalSpy idle(&other, &BaselineState::idle);
        other.load();
        QVERIFY(idle.wait());
        QVERIFY(other.hasBaseline());
        QCOMPARE(other.baseline()->takenAt, m_baseline->baseline()->takenAt);

        m_baseline->forget();
        QVERIFY(!m_baseline->hasBaseline());
        QSignalSpy forgotten(m_baseline.get(), &BaselineState::idle);
        QVERIFY(forgotten.wait());
        QVERIFY(!QFile::exists(baselineFile()));
    }

    // The alert says what is wrong with the file in words a person can act on.
    void unusableBaselinesSayWhatIsWrong() {
        const std::pair<QByteArray, QString> cases[] = {
            {"<?xml version=\"1.0\"?><plist/>", QStringLiteral("not a baseline file")},
            {"{\"categories\": {\"Othe", QStringLiteral("cut short")},
            {"{\"format\": 99, \"takenAt\": \"2026-12-07T13:00:00Z\"}",
             QStringLiteral("written by a newer version")},
        };
        for (const auto& [content, words] : cases) {
            writeText(baselineFile(), content);
            QSignalSpy problem(m_baseline.get(), &BaselineState::problemOccurred);
            QSignalSpy idle(m_baseline.get(), &BaselineState::idle);
            m_baseline->load();
            QVERIFY(idle.wait());
            QCOMPARE(problem.count(), 1);
            const QString message = problem.first().first().toString();
            QVERIFY2(message.contains(words), qPrintable(message));
            QVERIFY2(!message.contains(QStringLiteral("parse_error")), qPrintable(message));
            QCOMPARE(readText(baselineFile()), content);
        }
    }

    void savingSaysSoInTheStatusBar() {
        GuiDependencies dependencies;
        dependencies.appState = m_state.get();
        dependencies.clock = std::make_shared<ImmediateClock>();
        dependencies.baseline = m_baseline.get();
        MainView view(dependencies);
        QVERIFY(view.statusText().isEmpty());
        saveBaseline();
        QVERIFY2(view.statusText().startsWith(QStringLiteral("Saved the baseline of ")),
                 qPrintable(view.statusText()));
        QVERIFY(view.statusText().contains(m_baseline->dateText()));
    }

    void replacingAsksFirstAndNamesTheDate() {
        saveBaseline();
        const QByteArray before = readText(baselineFile());
        GuiDependencies dependencies;
        dependencies.appState = m_state.get();
        dependencies.clock = std::make_shared<ImmediateClock>();
        dependencies.baseline = m_baseline.get();
        MainView view(dependencies);
        QVERIFY(view.showChangesOnlyAction()->isEnabled());
        QVERIFY(view.forgetBaselineAction()->isEnabled());
        QStringList questions;
        bool answer = false;
        ConfirmationPrompt::setAnswerer([&](const ConfirmationPrompt::Question& question) {
            questions << question.text;
            return answer;
        });
        const auto restore = qScopeGuard([] { ConfirmationPrompt::setAnswerer({}); });
        view.saveBaselineAction()->trigger();
        QCOMPARE(questions.size(), 1);
        QVERIFY(questions.first().contains(m_baseline->dateText()));
        QVERIFY(!m_baseline->busy());
        QCOMPARE(readText(baselineFile()), before);

        // Forgetting asks the same way; Cancel keeps baseline and file.
        view.showChangesOnlyAction()->setChecked(true);
        QVERIFY(view.changesOnly());
        view.forgetBaselineAction()->trigger();
        QCOMPARE(questions.size(), 2);
        QVERIFY(questions.last().contains(m_baseline->dateText()));
        QVERIFY(m_baseline->hasBaseline());
        QVERIFY(view.changesOnly());
        QCOMPARE(readText(baselineFile()), before);

        answer = true;
        view.forgetBaselineAction()->trigger();
        QVERIFY(!view.showChangesOnlyAction()->isEnabled());
        QVERIFY(!view.changesOnly());
        QVERIFY(
            view.showChangesOnlyAction()->toolTip().contains(QStringLiteral("Needs a baseline")));
    }
};

class CategoryWatcherTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> m_dir;

    QString folder(const char* name) const {
        return m_dir->path() + QLatin1Char('/') + QString::fromUtf8(name);
    }

    CategoryWatcher::DirectoriesOf directories() const {
        return [this](LaunchScope scope) -> std::vector<std::string> {
            switch (scope) {
            case LaunchScope::system:
                return {folder("Library/LaunchDaemons").toStdString(),
                        folder("Library/LaunchAgents").toStdString()};
            case LaunchScope::user:
                return {folder("Users/new/Library/LaunchAgents").toStdString()};
            default:
                return {};
            }
        };
    }

private slots:
    void init() {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
        QDir().mkpath(folder("Library/LaunchDaemons"));
        QDir().mkpath(folder("Library/LaunchAgents"));
        QDir().mkpath(folder("Users"));
    }

    void burstIsOneReloadAfterTheQuietPeriod() {
        auto clock = std::make_shared<ManualClock>();
        CategoryWatcher watcher(directories(), clock);
        watcher.watch({LaunchScope::system, LaunchScope::user});
        QSignalSpy noticed(&watcher, &CategoryWatcher::changeNoticed);
        QSignalSpy changed(&watcher, &CategoryWatcher::changed);

        for (int i = 0; i < 300; ++i) {
            writeText(folder("Library/LaunchDaemons") + QStringLiteral("/job%1.plist").arg(i),
                      "<plist/>");
        }
        QVERIFY(noticed.wait());
        // However many notices came, one check is outstanding.
        QCOMPARE(clock->pendingCount(), std::size_t(1));
        clock->advance(std::chrono::milliseconds(200));
        QCOMPARE(changed.count(), 0);
        // A change during the quiet period starts it again.
        writeText(folder("Library/LaunchAgents") + QStringLiteral("/late.plist"), "<plist/>");
        const int before = noticed.count();
        while (noticed.count() == before) {
            QVERIFY(noticed.wait());
        }
        clock->advance(CategoryWatcher::kQuietPeriod - std::chrono::milliseconds(1));
        QCOMPARE(changed.count(), 0);
        clock->advance(std::chrono::milliseconds(1));
        QCOMPARE(changed.count(), 1);
        QCOMPARE(changed.first().first().value<LaunchScope>(), LaunchScope::system);
        QCOMPARE(clock->pendingCount(), std::size_t(0));
    }

    // A folder written to more often than the quiet period still reloads,
    // at least every kLongestWait.
    void steadyChangesReloadWithinTheLongestWait() {
        auto clock = std::make_shared<ManualClock>();
        CategoryWatcher watcher(directories(), clock);
        watcher.watch({LaunchScope::system});
        QSignalSpy noticed(&watcher, &CategoryWatcher::changeNoticed);
        QSignalSpy changed(&watcher, &CategoryWatcher::changed);
        const auto step = CategoryWatcher::kQuietPeriod - std::chrono::milliseconds(100);
        std::chrono::milliseconds elapsed{0};
        int written = 0;
        while (changed.isEmpty()) {
            QVERIFY2(elapsed <= CategoryWatcher::kLongestWait, "no reload within the longest wait");
            const int before = noticed.count();
            writeText(folder("Library/LaunchDaemons") +
                          QStringLiteral("/job%1.plist").arg(written++),
                      "<plist/>");
            while (noticed.count() == before) {
                QVERIFY(noticed.wait());
            }
            clock->advance(step);
            elapsed += step;
        }
        QCOMPARE(changed.count(), 1);
        QVERIFY(elapsed >= CategoryWatcher::kLongestWait);
    }

    void folderThatAppearsLaterIsPickedUp() {
        CategoryWatcher watcher(directories());
        watcher.watch({LaunchScope::system, LaunchScope::user});
        // Waited for through its nearest existing parent.
        QVERIFY(watcher.watchedPaths().contains(folder("Users")));
        QSignalSpy changed(&watcher, &CategoryWatcher::changed);

        QVERIFY(QDir().mkpath(folder("Users/new/Library/LaunchAgents")));
        QVERIFY(changed.wait(5000));
        QCOMPARE(changed.first().first().value<LaunchScope>(), LaunchScope::user);
        QVERIFY(watcher.watchedPaths().contains(folder("Users/new/Library/LaunchAgents")));
        QVERIFY(!watcher.watchedPaths().contains(folder("Users")));

        // And a definition written into it is a change of that category alone.
        changed.clear();
        writeText(folder("Users/new/Library/LaunchAgents") + QStringLiteral("/a.plist"), "x");
        QVERIFY(changed.wait(5000));
        QCOMPARE(changed.count(), 1);
        QCOMPARE(changed.first().first().value<LaunchScope>(), LaunchScope::user);

        // A folder that goes away is a change too, and is waited for again.
        changed.clear();
        QVERIFY(QDir(folder("Users/new")).removeRecursively());
        QVERIFY(changed.wait(5000));
        QCOMPARE(changed.first().first().value<LaunchScope>(), LaunchScope::user);
        QVERIFY(watcher.watchedPaths().contains(folder("Users")));
    }
};

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    QStandardPaths::setTestModeEnabled(true);
    int status = 0;
    {
        BaselineTest test;
        status |= QTest::qExec(&test, argc, argv);
    }
    {
        CategoryWatcherTest test;
        status |= QTest::qExec(&test, argc, argv);
    }
    return status;
}

#include "BaselineTest.moc"
