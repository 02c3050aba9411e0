#include "table/AppState.h"

#include "discovery/LaunchServiceManager.h"
#include "insight/SignerChecker.h"
#include "platform/Log.h"
#include "table/SignerStore.h"

#include <QFutureWatcher>
#include <QThreadPool>
#include <QtConcurrent/QtConcurrentRun>
#include <algorithm>
#include <exception>
#include <memory>
#include <string>
#include <utility>

namespace daemonary {

namespace {
// Enough for the start-up sequence and the tables' own loads to overlap.
constexpr int kLoadThreads = 4;
} // namespace

AppState::AppState(Loader loader, QObject* parent) : QObject(parent), m_loader(std::move(loader)) {
    qRegisterMetaType<daemonary::LaunchScope>();
    m_pool.setObjectName(QStringLiteral("AppState discovery"));
    m_pool.setMaxThreadCount(kLoadThreads);
}

AppState::AppState(DiscoveryLoader loader, QObject* parent) : AppState(Loader(), parent) {
    m_discoveryLoader = std::move(loader);
}

AppState::~AppState() {
    m_pool.waitForDone();
}

const std::vector<LaunchItem>* AppState::items(LaunchScope scope) const {
    const auto found = m_allItems.find(scope);
    return found == m_allItems.end() ? nullptr : &found->second;
}

void AppState::loadScope(LaunchScope scope, const QObject* context, std::function<void()> done) {
    loadScope(scope, beginLoad({scope}), context, std::move(done));
}

AppState::DiscoveryLoader AppState::beginLoad(const std::vector<LaunchScope>& scopes) const {
    return m_planner ? m_planner(scopes) : m_discoveryLoader;
}

void AppState::loadScope(LaunchScope scope, DiscoveryLoader discoveryLoader, const QObject* context,
                         std::function<void()> done) {
    if (m_loadingScopes.insert(scope).second) {
        emit loadingScopesChanged();
    }

    auto* watcher = new QFutureWatcher<Indexed>(this);
    const QPointer<const QObject> guard(context);
    const bool hasContext = context != nullptr;
    // Written on the pool thread before the future finishes, read after.
    auto disabled = std::make_shared<std::optional<DisabledServices>>();
    auto found = std::make_shared<std::optional<std::vector<DefinitionProblem>>>();
    connect(watcher, &QFutureWatcherBase::finished, this,
            [this, watcher, scope, guard, hasContext, disabled, found, done = std::move(done),
             source = m_sourceGeneration] {
                watcher->deleteLater();
                if (source != m_sourceGeneration) {
                    return;
                }
                Indexed loaded;
                if (watcher->future().resultCount() > 0) {
                    loaded = watcher->future().takeResult();
                }
                if (*disabled) {
                    storeDisabledServices(scope, std::move(**disabled));
                }
                if (*found) {
                    storeProblems(scope, std::move(**found));
                }
                finishLoad(scope, std::move(loaded));
                if (done && (!hasContext || guard)) {
                    done();
                }
            });
    Loader loader = m_loader;
    DisabledLoader disabledLoader = m_disabledLoader;
    watcher->setFuture(QtConcurrent::run(
        &m_pool, [loader, discoveryLoader, disabledLoader, disabled, found, scope] {
            // Discovery reports no errors; anything thrown anyway must not take the
            // application down with it.
            try {
                std::vector<LaunchItem> items;
                if (discoveryLoader) {
                    Discovery discovery = discoveryLoader(scope);
                    items = std::move(discovery.items);
                    *found = std::move(discovery.problems);
                    *disabled = std::move(discovery.disabled);
                } else {
                    items = loader(scope);
                }
                if (!*disabled && disabledLoader) {
                    *disabled = disabledLoader(scope);
                }
                return indexed(std::move(items));
            } catch (const std::exception& error) {
                Log::line("AppState: loading " + std::string(toText(scope)) +
                          " failed: " + error.what());
            } catch (...) {
                Log::line("AppState: loading " + std::string(toText(scope)) + " failed");
            }
            return Indexed();
        }));
}

void AppState::replaceSource(LoadPlanner planner) {
    ++m_sourceGeneration;
    m_planner = std::move(planner);
    std::vector<LaunchScope> stored;
    for (const auto& entry : m_allItems) {
        stored.push_back(entry.first);
    }
    m_allItems.clear();
    m_searchTexts.clear();
    m_signerTargets.clear();
    for (const LaunchScope scope : stored) {
        emit allItemsChanged(scope);
        emit itemsStored(scope);
    }
    std::vector<LaunchScope> withStates;
    for (const auto& entry : m_disabled) {
        withStates.push_back(entry.first);
    }
    m_disabled.clear();
    for (const LaunchScope scope : withStates) {
        emit disabledServicesChanged(scope);
    }
    if (!m_problems.empty()) {
        m_problems.clear();
        emit problemsChanged();
    }
    if (!m_loadingScopes.empty()) {
        m_loadingScopes.clear();
        emit loadingScopesChanged();
    }
    updateCounts(m_lastSearchText);
}

void AppState::finishLoad(LaunchScope scope, Indexed loaded) {
    if (scope == LaunchScope::mach) {
        storeItems(scope, withDefinitionPrograms(std::move(loaded.items)));
    } else {
        store(scope, std::move(loaded));
    }
    // The jobs' programs follow the definitions they come from.
    const auto jobs = m_allItems.find(LaunchScope::mach);
    if (scope != LaunchScope::mach && isDefinitionScope(scope) && jobs != m_allItems.end()) {
        storeItems(LaunchScope::mach, withDefinitionPrograms(jobs->second));
    }
    if (m_loadingScopes.erase(scope) > 0) {
        emit loadingScopesChanged();
    }
    updateCounts(m_lastSearchText);
    emit scopeLoaded(scope);
}

bool AppState::isDefinitionScope(LaunchScope scope) {
    return LaunchServiceManager::holdsJobDefinitions(scope);
}

std::vector<LaunchItem> AppState::withDefinitionPrograms(std::vector<LaunchItem> jobs) const {
    std::vector<const std::vector<LaunchItem>*> definitions;
    for (const auto& [scope, items] : m_allItems) {
        if (isDefinitionScope(scope)) {
            definitions.push_back(&items);
        }
    }
    return LaunchServiceManager::withDefinitionPrograms(std::move(jobs), definitions);
}

AppState::Indexed AppState::indexed(std::vector<LaunchItem> items, const Indexed* previous) {
    Indexed result;
    result.texts.reserve(items.size());
    result.targets.reserve(items.size());
    for (std::size_t i = 0; i < items.size(); ++i) {
        const LaunchItem& item = items[i];
        if (previous != nullptr && i < previous->items.size() &&
            previous->items[i].label == item.label &&
            previous->items[i].executablePath == item.executablePath &&
            previous->items[i].runs == item.runs && previous->items[i].path == item.path) {
            result.texts.push_back(previous->texts[i]);
            result.targets.push_back(previous->targets[i]);
            continue;
        }
        result.texts.push_back(ServiceSearch::of(item));
        const auto target = signerTarget(item);
        result.targets.push_back(target ? QString::fromStdString(*target) : QString());
    }
    result.items = std::move(items);
    return result;
}

void AppState::storeItems(LaunchScope scope, std::vector<LaunchItem> items) {
    // Mostly called again with the same records (the jobs after each load
    // of definitions): their texts are reused rather than built anew.
    const auto existing = m_allItems.find(scope);
    if (existing == m_allItems.end()) {
        store(scope, indexed(std::move(items)));
        return;
    }
    Indexed previous;
    previous.items = std::move(existing->second);
    previous.texts = std::move(m_searchTexts[scope]);
    previous.targets = std::move(m_signerTargets[scope]);
    Indexed next = indexed(std::move(items), &previous);
    // Put back for store() to compare against.
    existing->second = std::move(previous.items);
    store(scope, std::move(next));
}

void AppState::store(LaunchScope scope, Indexed indexed) {
    const auto existing = m_allItems.find(scope);
    const bool changed = existing == m_allItems.end() || existing->second != indexed.items;
    m_allItems[scope] = std::move(indexed.items);
    m_searchTexts[scope] = std::move(indexed.texts);
    m_signerTargets[scope] = std::move(indexed.targets);
    if (changed) {
        emit allItemsChanged(scope);
    }
    emit itemsStored(scope);
}

void AppState::setSignerStore(const SignerStore* signers) {
    if (signers == m_signers) {
        return;
    }
    if (m_signers != nullptr) {
        disconnect(m_signers, nullptr, this, nullptr);
    }
    m_signers = signers;
    if (m_signers != nullptr) {
        // Signers arrive in batches, so this recounts a few times a second
        // at most, and only while the filter is on.
        connect(m_signers, &SignerStore::signersChanged, this, [this] {
            if (m_appleSignedHidden) {
                updateCounts(m_lastSearchText);
            }
        });
    }
}

void AppState::setAppleSignedHidden(bool hidden) {
    if (hidden == m_appleSignedHidden) {
        return;
    }
    m_appleSignedHidden = hidden;
    emit appleSignedHiddenChanged(hidden);
    updateCounts(m_lastSearchText);
}

bool AppState::isHidden(LaunchScope scope, std::size_t position) const {
    if (!m_appleSignedHidden || m_signers == nullptr) {
        return false;
    }
    const auto targets = m_signerTargets.find(scope);
    if (targets == m_signerTargets.end() || position >= targets->second.size() ||
        targets->second[position].isEmpty()) {
        return false;
    }
    return m_signers->isProvenApple(targets->second[position]);
}

std::optional<bool> AppState::isDisabled(const LaunchItem& item) const {
    const auto found = m_disabled.find(item.scope);
    return found == m_disabled.end() ? std::nullopt : found->second.isDisabled(item);
}

void AppState::storeDisabledServices(LaunchScope scope, DisabledServices state) {
    const auto existing = m_disabled.find(scope);
    if (existing != m_disabled.end() && existing->second == state) {
        return;
    }
    m_disabled[scope] = std::move(state);
    emit disabledServicesChanged(scope);
}

std::vector<DefinitionProblem> AppState::problems() const {
    std::vector<DefinitionProblem> all;
    for (const auto& [scope, list] : m_problems) {
        all.insert(all.end(), list.begin(), list.end());
    }
    return all;
}

void AppState::storeProblems(LaunchScope scope, std::vector<DefinitionProblem> found) {
    const auto existing = m_problems.find(scope);
    if (existing == m_problems.end() ? found.empty() : existing->second == found) {
        return;
    }
    m_problems[scope] = std::move(found);
    emit problemsChanged();
}

void AppState::updateCounts(const QString& searchText) {
    if (m_lastSearchText != searchText) {
        m_lastSearchText = searchText;
        emit lastSearchTextChanged(m_lastSearchText);
    }

    const QString folded = ServiceSearch::fold(searchText);
    std::map<LaunchScope, int> counts;
    for (const LaunchScope scope : allScopes()) {
        int count = 0;
        const auto found = m_allItems.find(scope);
        if (found != m_allItems.end()) {
            const std::vector<LaunchItem>& items = found->second;
            if (searchText.isEmpty()) {
                for (std::size_t i = 0; i < items.size(); ++i) {
                    count += items[i].status == ServiceStatus::active && !isHidden(scope, i);
                }
            } else {
                const std::vector<ServiceSearch>& texts = m_searchTexts[scope];
                for (std::size_t i = 0; i < texts.size(); ++i) {
                    count += texts[i].matchesFolded(folded) && !isHidden(scope, i);
                }
            }
        }
        counts[scope] = count;
    }
    if (counts != m_filteredCounts) {
        m_filteredCounts = std::move(counts);
        emit filteredCountsChanged();
    }
}

} // namespace daemonary
