#include "table/AppState.h"

#include "TestSupport.h"

#include <QSignalSpy>
#include <QTest>
#include <QThreadPool>
#include <memory>

using namespace daemonary;
using namespace daemonary::test;

class AppStateTest : public QObject {
    Q_OBJECT

private:
    // The counts of all seven categories, in sidebar order.
    static std::vector<int> counts(const AppState& state) {
        std::vector<int> result;
        for (const LaunchScope scope : allScopes()) {
            const auto found = state.filteredCounts().find(scope);
            result.push_back(found == state.filteredCounts().end() ? -1 : found->second);
        }
        return result;
    }

    static void loadAndWait(AppState& state, LaunchScope scope) {
        QSignalSpy loaded(&state, &AppState::scopeLoaded);
        state.loadScope(scope);
        QVERIFY(loaded.wait());
    }

    std::unique_ptr<FakeDiscovery> m_discovery;

private slots:
    void init() { m_discovery = std::make_unique<FakeDiscovery>(); }

    void cleanup() {
        m_discovery->holdLoads(false);
        m_discovery->release(16);
    }

    void countsAreZeroBeforeAnyLoad() {
        AppState state(m_discovery->loader());
        QSignalSpy changed(&state, &AppState::filteredCountsChanged);
        QVERIFY(state.filteredCounts().empty());

        state.updateCounts(QString());
        QCOMPARE(counts(state), std::vector<int>(allScopes().size(), 0));
        QCOMPARE(changed.count(), 1);

        // The same counts again announce nothing.
        state.updateCounts(QStringLiteral("anything"));
        QCOMPARE(changed.count(), 1);
        QCOMPARE(state.lastSearchText(), QStringLiteral("anything"));
    }

    void countsRunningServicesOrSearchMatches() {
        m_discovery->setItems(
            LaunchScope::system,
            {makeItem("com.example.alpha", ServiceStatus::active, LaunchScope::system, 10,
                      "/usr/libexec/alphad", "/Library/LaunchDaemons/com.example.alpha.plist"),
             makeItem("com.other.beta", ServiceStatus::inactive, LaunchScope::system, std::nullopt,
                      std::nullopt, "/Library/LaunchDaemons/needle.plist"),
             makeItem("com.example.gamma", ServiceStatus::active, LaunchScope::system, 12,
                      "/usr/sbin/gammad")});
        m_discovery->setItems(LaunchScope::user,
                              {makeItem("idle.one", ServiceStatus::inactive, LaunchScope::user),
                               makeItem("idle.two", ServiceStatus::unknown, LaunchScope::user)});
        AppState state(m_discovery->loader());
        loadAndWait(state, LaunchScope::system);
        loadAndWait(state, LaunchScope::user);
        QVERIFY(m_discovery->ranOnlyOffGuiThread());

        // No search: running services only; idle categories count 0.
        QCOMPARE(counts(state), (std::vector<int>{0, 2, 0, 0, 0, 0, 0, 0}));

        // The executable path matches, case-insensitively, whatever the status.
        state.updateCounts(QStringLiteral("ALPHAD"));
        QCOMPARE(counts(state), (std::vector<int>{0, 1, 0, 0, 0, 0, 0, 0}));

        // The definition's own path is not searched.
        state.updateCounts(QStringLiteral("needle"));
        QCOMPARE(counts(state), std::vector<int>(allScopes().size(), 0));

        // Without an executable path only the label counts; idle ones match too.
        state.updateCounts(QStringLiteral("beta"));
        QCOMPARE(counts(state), (std::vector<int>{0, 1, 0, 0, 0, 0, 0, 0}));
        state.updateCounts(QStringLiteral("idle"));
        QCOMPARE(counts(state), (std::vector<int>{0, 0, 2, 0, 0, 0, 0, 0}));

        // Clearing the search restores the running counts.
        state.updateCounts(QString());
        QCOMPARE(counts(state), (std::vector<int>{0, 2, 0, 0, 0, 0, 0, 0}));
    }

    void searchFollowsAProgramThatChangedUnderTheSameLabel() {
        AppState state(m_discovery->loader());
        const auto job = [](const std::string& program) {
            return makeItem("com.example.job", ServiceStatus::active, LaunchScope::mach, 7,
                            program);
        };
        state.storeItems(LaunchScope::mach, {job("/opt/old/jobd")});
        state.storeItems(LaunchScope::mach, {job("/opt/new/jobd")});
        state.updateCounts(QStringLiteral("old"));
        QCOMPARE(state.filteredCounts().at(LaunchScope::mach), 0);
        state.updateCounts(QStringLiteral("NEW/JOBD"));
        QCOMPARE(state.filteredCounts().at(LaunchScope::mach), 1);
    }

    void loadCountsWithTheActiveSearch() {
        m_discovery->setItems(LaunchScope::mach,
                              {makeItem("com.apple.x", ServiceStatus::active, LaunchScope::mach),
                               makeItem("com.apple.y", ServiceStatus::active, LaunchScope::mach),
                               makeItem("org.z", ServiceStatus::inactive, LaunchScope::mach)});
        AppState state(m_discovery->loader());
        state.updateCounts(QStringLiteral("org"));
        loadAndWait(state, LaunchScope::mach);
        QCOMPARE(state.filteredCounts().at(LaunchScope::mach), 1);
        QCOMPARE(state.lastSearchText(), QStringLiteral("org"));
    }

    void scopeIsLoadingUntilItsLoadIsStored() {
        m_discovery->setItems(LaunchScope::kernel,
                              {makeItem("kext", ServiceStatus::active, LaunchScope::kernel)});
        m_discovery->holdLoads(true);
        AppState state(m_discovery->loader());
        QSignalSpy loaded(&state, &AppState::scopeLoaded);
        bool done = false;
        state.loadScope(LaunchScope::kernel, this, [&] {
            // By the time the caller resumes, the list is stored and counted.
            done = state.items(LaunchScope::kernel) != nullptr &&
                   state.filteredCounts().at(LaunchScope::kernel) == 1;
        });
        QCOMPARE(state.loadingScopes(), std::set<LaunchScope>{LaunchScope::kernel});
        QVERIFY(state.items(LaunchScope::kernel) == nullptr);
        // A blocked discovery must not hold a thread of the global pool, which
        // Qt's painting waits on.
        QTRY_COMPARE(m_discovery->callCount(), 1);
        QCOMPARE(QThreadPool::globalInstance()->activeThreadCount(), 0);

        m_discovery->release();
        QVERIFY(loaded.wait());
        QVERIFY(done);
        QVERIFY(state.loadingScopes().empty());
        QCOMPARE(state.items(LaunchScope::kernel)->size(), std::size_t{1});
    }

    void equalReloadAnnouncesNothing() {
        m_discovery->setItems(LaunchScope::others, {makeItem("a (Plug-in)", ServiceStatus::inactive,
                                                             LaunchScope::others)});
        AppState state(m_discovery->loader());
        QSignalSpy itemsChanged(&state, &AppState::allItemsChanged);
        QSignalSpy countsChanged(&state, &AppState::filteredCountsChanged);
        loadAndWait(state, LaunchScope::others);
        loadAndWait(state, LaunchScope::others);
        QCOMPARE(itemsChanged.count(), 1);
        QCOMPARE(countsChanged.count(), 1);
    }

    void callerThatWentAwayIsNotCalledBack() {
        AppState state(m_discovery->loader());
        QSignalSpy loaded(&state, &AppState::scopeLoaded);
        bool called = false;
        {
            auto context = std::make_unique<QObject>();
            state.loadScope(LaunchScope::user, context.get(), [&] { called = true; });
        }
        QVERIFY(loaded.wait());
        QVERIFY(!called);
        // The load itself is still stored for everyone else.
        QVERIFY(state.items(LaunchScope::user) != nullptr);
    }

    void throwingLoaderStoresNothingAndGoesOn() {
        AppState state(
            [](LaunchScope) -> std::vector<LaunchItem> { throw std::runtime_error("broken"); });
        LogCapture log;
        QSignalSpy loaded(&state, &AppState::scopeLoaded);
        state.loadScope(LaunchScope::system);
        QVERIFY(loaded.wait());
        QVERIFY(state.items(LaunchScope::system)->empty());
        QCOMPARE(log.lines(),
                 QStringList{QStringLiteral("AppState: loading System failed: broken")});
    }
};

QTEST_MAIN(AppStateTest)
#include "AppStateTest.moc"
