#pragma once

#include "model/LaunchItem.h"
#include "table/AppState.h"
#include "table/Clock.h"

#include <QObject>
#include <chrono>
#include <cstdint>
#include <memory>
#include <vector>

namespace daemonary {

// The records of one service table and its loading state. A newer load
// supersedes the one before it; a superseded load publishes nothing.
class ServiceTableViewModel : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool loading READ loading NOTIFY loadingChanged)
    Q_PROPERTY(bool shouldShowProgress READ shouldShowProgress NOTIFY shouldShowProgressChanged)

public:
    // The loading state stays up at least this long, so a quick load does not
    // flash the progress bar.
    static constexpr std::chrono::milliseconds kMinimumDisplayTime{1000};

    ServiceTableViewModel(AppState& appState, std::vector<LaunchItem> items,
                          std::shared_ptr<Clock> clock = Clock::system(),
                          QObject* parent = nullptr);

    const std::vector<LaunchItem>& items() const { return m_items; }
    bool loading() const { return m_loading; }
    bool shouldShowProgress() const { return m_shouldShowProgress; }

    // Starts loading the category and returns at once.
    void load(LaunchScope scope);

signals:
    void itemsChanged();
    void loadingChanged(bool loading);
    void shouldShowProgressChanged(bool shouldShowProgress);

private:
    void publish(std::uint64_t generation, LaunchScope scope);
    void setItems(std::vector<LaunchItem> items);
    void setLoading(bool loading);
    void setShouldShowProgress(bool show);

    AppState& m_appState;
    std::shared_ptr<Clock> m_clock;
    std::vector<LaunchItem> m_items;
    bool m_loading = false;
    bool m_shouldShowProgress = false;
    // Identifies the newest load; older ones see a different value and stop.
    std::uint64_t m_generation = 0;
};

} // namespace daemonary
