#include "table/ServiceTableViewModel.h"

#include "TestSupport.h"

#include <QSignalSpy>
#include <QTest>
#include <memory>

using namespace daemonary;
using namespace daemonary::test;
using namespace std::chrono_literals;

class ServiceTableViewModelTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<FakeDiscovery> m_discovery;
    std::unique_ptr<AppState> m_state;
    std::shared_ptr<ManualClock> m_clock;

    std::vector<LaunchItem> twoItems() const {
        return {makeItem("com.example.a", ServiceStatus::active, LaunchScope::system, 5),
                makeItem("com.example.b", ServiceStatus::inactive)};
    }

private slots:
    void init() {
        m_discovery = std::make_unique<FakeDiscovery>();
        m_state = std::make_unique<AppState>(m_discovery->loader());
        m_clock = std::make_shared<ManualClock>();
    }

    void cleanup() {
        m_discovery->holdLoads(false);
        m_discovery->release(16);
        m_state.reset(); // waits for its loads
    }

    void quickLoadWaitsForTheMinimumDisplayTime() {
        m_discovery->setItems(LaunchScope::system, twoItems());
        m_discovery->holdLoads(true);
        LogCapture log;
        ServiceTableViewModel model(*m_state, {}, m_clock);
        QSignalSpy itemsChanged(&model, &ServiceTableViewModel::itemsChanged);
        QSignalSpy stored(m_state.get(), &AppState::scopeLoaded);

        model.load(LaunchScope::system);
        QVERIFY(model.loading());
        QVERIFY(model.shouldShowProgress());

        // The load takes 0.2 s; the rest of the second is waited out.
        m_clock->advance(200ms);
        m_discovery->release();
        QVERIFY(stored.wait());
        QCOMPARE(m_clock->requestedDelays(), std::vector<std::chrono::milliseconds>{800ms});
        QVERIFY(model.items().empty());
        QVERIFY(model.loading());

        m_clock->advance(799ms);
        QCOMPARE(itemsChanged.count(), 0);
        QVERIFY(model.shouldShowProgress());

        m_clock->advance(1ms);
        QCOMPARE(itemsChanged.count(), 1);
        QCOMPARE(model.items(), twoItems());
        QVERIFY(!model.loading());
        QVERIFY(!model.shouldShowProgress());
        QCOMPARE(log.linesStartingWith(QStringLiteral("ServiceTableViewModel:")),
                 (QStringList{QStringLiteral("ServiceTableViewModel: Loading scope System"),
                              QStringLiteral("ServiceTableViewModel: Finished loading 2 items")}));
    }

    void slowLoadPublishesAtOnce() {
        m_discovery->setItems(LaunchScope::kernel,
                              {makeItem("kext", ServiceStatus::active, LaunchScope::kernel)});
        m_discovery->holdLoads(true);
        ServiceTableViewModel model(*m_state, {}, m_clock);
        QSignalSpy itemsChanged(&model, &ServiceTableViewModel::itemsChanged);

        model.load(LaunchScope::kernel);
        m_clock->advance(3000ms);
        m_discovery->release();
        QVERIFY(itemsChanged.wait());
        QVERIFY(m_clock->requestedDelays().empty());
        QVERIFY(!model.loading());
        QCOMPARE(model.items().size(), std::size_t{1});
    }

    void supersededLoadPublishesNothing() {
        m_discovery->setItems(LaunchScope::system, twoItems());
        LogCapture log;
        ServiceTableViewModel model(*m_state, {}, m_clock);
        QSignalSpy itemsChanged(&model, &ServiceTableViewModel::itemsChanged);
        QSignalSpy loadingChanged(&model, &ServiceTableViewModel::loadingChanged);
        QSignalSpy stored(m_state.get(), &AppState::scopeLoaded);

        model.load(LaunchScope::system);
        model.load(LaunchScope::system);
        while (stored.count() < 2) {
            QVERIFY(stored.wait());
        }
        QCOMPARE(m_clock->pendingCount(), std::size_t{2});
        m_clock->advance(1000ms);

        QCOMPARE(itemsChanged.count(), 1);
        // Loading went up once and down once, by the newer load.
        QCOMPARE(loadingChanged.count(), 2);
        QCOMPARE(log.linesStartingWith(QStringLiteral("ServiceTableViewModel:")),
                 (QStringList{QStringLiteral("ServiceTableViewModel: Loading scope System"),
                              QStringLiteral("ServiceTableViewModel: Loading scope System"),
                              QStringLiteral("ServiceTableViewModel: Finished loading 2 items")}));
    }

    void equalReloadKeepsItemsButEndsLoading() {
        m_discovery->setItems(LaunchScope::user, twoItems());
        ServiceTableViewModel model(*m_state, twoItems(), m_clock);
        QSignalSpy itemsChanged(&model, &ServiceTableViewModel::itemsChanged);
        QSignalSpy stored(m_state.get(), &AppState::scopeLoaded);

        model.load(LaunchScope::user);
        QVERIFY(stored.wait());
        m_clock->advance(1000ms);
        QCOMPARE(itemsChanged.count(), 0);
        QVERIFY(!model.loading());
        QVERIFY(!model.shouldShowProgress());
    }

    void categoryNeverStoredPublishesEmptyList() {
        LogCapture log;
        ServiceTableViewModel model(*m_state, twoItems(), m_clock);
        QSignalSpy stored(m_state.get(), &AppState::scopeLoaded);
        model.load(LaunchScope::macos);
        QVERIFY(stored.wait());
        m_clock->advance(1000ms);
        QVERIFY(model.items().empty());
        QCOMPARE(log.lines().last(),
                 QStringLiteral("ServiceTableViewModel: Finished loading 0 items"));
    }

    void modelDiscardedDuringLoadIsSafe() {
        m_discovery->holdLoads(true);
        QSignalSpy stored(m_state.get(), &AppState::scopeLoaded);
        {
            ServiceTableViewModel model(*m_state, {}, m_clock);
            model.load(LaunchScope::mach);
        }
        m_discovery->release();
        QVERIFY(stored.wait());
        m_clock->advance(1000ms);
        QCOMPARE(m_clock->pendingCount(), std::size_t{0});
        QVERIFY(m_state->items(LaunchScope::mach) != nullptr);
    }
};

QTEST_MAIN(ServiceTableViewModelTest)
#include "ServiceTableViewModelTest.moc"
