#pragma once

#include "model/LaunchItem.h"
#include "table/AppState.h"
#include "table/Clock.h"

#include <QColor>
#include <QObject>
#include <QPixmap>
#include <QPointer>
#include <QStringList>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace daemonary::test {

// A tiny shell script standing in for a system tool.
void writeScript(const std::filesystem::path& path, const std::string& body);

// The colour of the most opaque pixel of a pixmap, without its alpha: the tint
// a symbol was drawn in.
QColor dominantColor(const QPixmap& pixmap);
// Red, green and blue equal within `tolerance` (translucent pixels round).
bool sameRgb(const QColor& first, const QColor& second, int tolerance = 3);

// A clock that moves only when the test says so.
class ManualClock final : public Clock {
public:
    TimePoint now() const override { return m_now; }
    void runAfter(std::chrono::milliseconds delay, QObject* context,
                  std::function<void()> action) override;

    // Moves time on and runs every action that has come due, in due order.
    void advance(std::chrono::milliseconds step);

    std::size_t pendingCount() const { return m_pending.size(); }
    const std::vector<std::chrono::milliseconds>& requestedDelays() const { return m_delays; }

private:
    struct Pending {
        TimePoint due;
        QPointer<QObject> context;
        std::function<void()> action;
    };
    TimePoint m_now{};
    std::vector<Pending> m_pending;
    std::vector<std::chrono::milliseconds> m_delays;
};

// Runs every wait at once (on the next turn of the event loop).
class ImmediateClock final : public Clock {
public:
    TimePoint now() const override { return std::chrono::steady_clock::now(); }
    void runAfter(std::chrono::milliseconds delay, QObject* context,
                  std::function<void()> action) override;
};

// Collects Log lines while it lives.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    QStringList lines() const;
    QStringList linesStartingWith(const QString& prefix) const;

private:
    mutable std::mutex m_mutex;
    QStringList m_lines;
};

// A thread-safe fake of discovery: fixed records per category, a call log,
// and an optional gate that holds every load until the test lets it go.
// Loads are let go by their place in the call log, so a later call can never
// take the turn meant for an earlier one.
class FakeDiscovery {
public:
    void setItems(LaunchScope scope, std::vector<LaunchItem> items);
    void holdLoads(bool hold);
    // Lets the next `count` calls, in call order, go on (made or still to come).
    void release(int count = 1);

    AppState::Loader loader();
    std::vector<LaunchScope> calls() const;
    int callCount() const;
    int callCount(LaunchScope scope) const;
    bool ranOnlyOffGuiThread() const { return m_offGuiThread.load(); }

private:
    std::vector<LaunchItem> load(LaunchScope scope);

    mutable std::mutex m_mutex;
    std::map<LaunchScope, std::vector<LaunchItem>> m_items;
    std::vector<LaunchScope> m_calls;
    std::condition_variable m_gate;
    bool m_hold = false;
    int m_releasedCalls = 0;
    std::atomic<bool> m_offGuiThread{true};
};

LaunchItem makeItem(const std::string& label, ServiceStatus status,
                    LaunchScope scope = LaunchScope::system,
                    std::optional<std::int32_t> pid = std::nullopt,
                    std::optional<std::string> executablePath = std::nullopt,
                    std::optional<std::string> path = std::nullopt);

} // namespace daemonary::test
