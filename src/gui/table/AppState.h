#pragma once

#include "discovery/DisabledServices.h"
#include "model/DefinitionProblem.h"
#include "model/LaunchItem.h"
#include "table/ServiceSearch.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <QThreadPool>
#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <vector>

namespace daemonary {

class SignerStore;

// The application's one store of discovered services and of the per-category
// counts of the sidebar. Lives on the GUI thread; discovery runs on a thread
// pool of its own and its result is stored back on the GUI thread.
//
// Not the global pool: Qt's raster painting hands work to the global pool and
// waits for it, and a discovery blocked on a slow system tool would freeze the
// window's drawing for as long.
class AppState : public QObject {
    Q_OBJECT

public:
    // Discovery of one category. Called on a pool thread, possibly on several at
    // once, so it must be thread-safe (LaunchServiceManager::loadItems is).
    using Loader = std::function<std::vector<LaunchItem>(LaunchScope)>;

    // What launchd's disabled-services database says, read with each load of
    // a category on the same pool thread, right after the records.
    using DisabledLoader = std::function<DisabledServices(LaunchScope)>;

    // Discovery of one category that also reports the definitions it could
    // not read, under the same rules as Loader.
    struct Discovery {
        std::vector<LaunchItem> items;
        std::vector<DefinitionProblem> problems;
        // Read with the records, from the same answers of the tools; when
        // absent, the DisabledLoader is asked.
        std::optional<DisabledServices> disabled;
    };
    using DiscoveryLoader = std::function<Discovery(LaunchScope)>;

    // Called on the GUI thread with the categories of one load; returns the
    // loader they all use, which reads one picture of the host, so the
    // categories of a load agree about what runs. Must not block.
    using LoadPlanner = std::function<DiscoveryLoader(const std::vector<LaunchScope>&)>;

    explicit AppState(Loader loader, QObject* parent = nullptr);
    explicit AppState(DiscoveryLoader loader, QObject* parent = nullptr);
    // Waits for loads still running; their results are dropped.
    ~AppState() override;

    // The process-wide instance, discovering through a LaunchServiceManager on
    // the host of the environment. Kept in its own file so that the library's
    // tests link without discovery.
    static AppState& shared();

    const std::map<LaunchScope, std::vector<LaunchItem>>& allItems() const { return m_allItems; }
    // The list of one category, or nothing when it has never been loaded.
    const std::vector<LaunchItem>* items(LaunchScope scope) const;
    const std::map<LaunchScope, int>& filteredCounts() const { return m_filteredCounts; }
    const std::set<LaunchScope>& loadingScopes() const { return m_loadingScopes; }
    const QString& lastSearchText() const { return m_lastSearchText; }

    // Loads the category in the background, stores the result, recounts with the
    // last search text and then calls `done` on the GUI thread (unless `context`
    // has gone by then). A load starts even when one of the same category runs:
    // the one that finishes last decides the stored list.
    void loadScope(LaunchScope scope, const QObject* context = nullptr,
                   std::function<void()> done = {});
    // The same with the loader of a load of several categories (beginLoad).
    void loadScope(LaunchScope scope, DiscoveryLoader loader, const QObject* context,
                   std::function<void()> done);

    // The loader for a load of these categories: with a planner, one that
    // reads one picture of the host for all of them; else the loader given
    // at construction (empty for a plain Loader).
    DiscoveryLoader beginLoad(const std::vector<LaunchScope>& scopes) const;
    void setLoadPlanner(LoadPlanner planner) { m_planner = std::move(planner); }
    const LoadPlanner& loadPlanner() const { return m_planner; }

    // Reads every category from elsewhere from now on (a Mac's disk, or the
    // host again): what the old source gave (records, states, problems) is
    // dropped at once, and its loads still running are dropped when they
    // finish, without calling back, so no record of one source is ever shown
    // as the other's. An empty planner goes back to the constructor's loader.
    void replaceSource(LoadPlanner planner);

    // Recounts every category: running services without a search, matching
    // services with one.
    void updateCounts(const QString& searchText);

    // Replaces the stored list of a category as a finished load would, without
    // recounting. For callers that already hold the records.
    void storeItems(LaunchScope scope, std::vector<LaunchItem> items);

    // The signers the Apple-signed filter consults; counts follow them as
    // they arrive.
    void setSignerStore(const SignerStore* signers);
    // Leaves Apple-signed records out of every count.
    bool appleSignedHidden() const { return m_appleSignedHidden; }
    void setAppleSignedHidden(bool hidden);
    // None (the default): nothing is known to be disabled.
    void setDisabledLoader(DisabledLoader loader) { m_disabledLoader = std::move(loader); }
    // The disabled state the last load of the record's category found:
    // kept beside the records, never in them.
    std::optional<bool> isDisabled(const LaunchItem& item) const;
    void storeDisabledServices(LaunchScope scope, DisabledServices state);

    // The definitions the last load of each category could not read, in
    // sidebar order. Only a DiscoveryLoader reports them.
    std::vector<DefinitionProblem> problems() const;
    void storeProblems(LaunchScope scope, std::vector<DefinitionProblem> problems);

signals:
    void allItemsChanged(daemonary::LaunchScope scope);
    // A category's records were stored, equal to the last ones or not: the
    // files behind them may have changed all the same.
    void itemsStored(daemonary::LaunchScope scope);
    void filteredCountsChanged();
    void loadingScopesChanged();
    void lastSearchTextChanged(const QString& text);
    void appleSignedHiddenChanged(bool hidden);
    // After a load has been stored and counted.
    void scopeLoaded(daemonary::LaunchScope scope);
    // The disabled state stored for a category changed; its records may not have.
    void disabledServicesChanged(daemonary::LaunchScope scope);
    void problemsChanged();

private:
    // A category's records with what the counts and the filter read of each,
    // built where the records were loaded, off the GUI thread.
    struct Indexed {
        std::vector<LaunchItem> items;
        std::vector<ServiceSearch> texts;
        std::vector<QString> targets;
    };
    // Reuses the texts of `previous` wherever a record's label and program
    // are those of the record at the same place there.
    static Indexed indexed(std::vector<LaunchItem> items, const Indexed* previous = nullptr);
    void store(LaunchScope scope, Indexed indexed);
    void finishLoad(LaunchScope scope, Indexed loaded);
    // Categories of launchd definitions, whose programs the job table's
    // records take by label: what makes a job's signer known.
    static bool isDefinitionScope(LaunchScope scope);
    std::vector<LaunchItem> withDefinitionPrograms(std::vector<LaunchItem> jobs) const;
    bool isHidden(LaunchScope scope, std::size_t position) const;

    Loader m_loader;
    DiscoveryLoader m_discoveryLoader;
    LoadPlanner m_planner;
    std::map<LaunchScope, std::vector<DefinitionProblem>> m_problems;
    DisabledLoader m_disabledLoader;
    std::map<LaunchScope, DisabledServices> m_disabled;
    QThreadPool m_pool;
    std::map<LaunchScope, std::vector<LaunchItem>> m_allItems;
    std::map<LaunchScope, std::vector<ServiceSearch>> m_searchTexts;
    std::map<LaunchScope, std::vector<QString>> m_signerTargets;
    const SignerStore* m_signers = nullptr;
    bool m_appleSignedHidden = false;
    std::map<LaunchScope, int> m_filteredCounts;
    std::set<LaunchScope> m_loadingScopes;
    QString m_lastSearchText;
    // Changes with every replaceSource; a load begun under another is dropped.
    std::uint64_t m_sourceGeneration = 0;
};

} // namespace daemonary

Q_DECLARE_METATYPE(daemonary::LaunchScope)
