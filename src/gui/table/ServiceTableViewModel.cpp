#include "table/ServiceTableViewModel.h"

#include "platform/Log.h"

#include <string>
#include <utility>

namespace daemonary {

ServiceTableViewModel::ServiceTableViewModel(AppState& appState, std::vector<LaunchItem> items,
                                             std::shared_ptr<Clock> clock, QObject* parent)
    : QObject(parent), m_appState(appState), m_clock(clock ? std::move(clock) : Clock::system()),
      m_items(std::move(items)) {}

void ServiceTableViewModel::load(LaunchScope scope) {
    const std::uint64_t generation = ++m_generation;
    Log::line("ServiceTableViewModel: Loading scope " + std::string(toText(scope)));
    setLoading(true);
    setShouldShowProgress(true);
    const Clock::TimePoint start = m_clock->now();

    m_appState.loadScope(scope, this, [this, generation, scope, start] {
        const auto elapsed = m_clock->now() - start;
        if (elapsed < kMinimumDisplayTime) {
            // Rounded up so the loading state never ends before the minimum.
            const auto remaining =
                std::chrono::ceil<std::chrono::milliseconds>(kMinimumDisplayTime - elapsed);
            m_clock->runAfter(remaining, this,
                              [this, generation, scope] { publish(generation, scope); });
        } else {
            publish(generation, scope);
        }
    });
}

void ServiceTableViewModel::publish(std::uint64_t generation, LaunchScope scope) {
    if (generation != m_generation) {
        return;
    }
    const std::vector<LaunchItem>* stored = m_appState.items(scope);
    setItems(stored != nullptr ? *stored : std::vector<LaunchItem>());
    setLoading(false);
    setShouldShowProgress(false);
    Log::line("ServiceTableViewModel: Finished loading " + std::to_string(m_items.size()) +
              " items");
}

void ServiceTableViewModel::setItems(std::vector<LaunchItem> items) {
    if (items == m_items) {
        return;
    }
    m_items = std::move(items);
    emit itemsChanged();
}

void ServiceTableViewModel::setLoading(bool loading) {
    if (loading == m_loading) {
        return;
    }
    m_loading = loading;
    emit loadingChanged(m_loading);
}

void ServiceTableViewModel::setShouldShowProgress(bool show) {
    if (show == m_shouldShowProgress) {
        return;
    }
    m_shouldShowProgress = show;
    emit shouldShowProgressChanged(m_shouldShowProgress);
}

} // namespace daemonary
