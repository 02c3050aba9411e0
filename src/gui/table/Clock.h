#pragma once

#include <QObject>
#include <chrono>
#include <functional>
#include <memory>

namespace daemonary {

// Time as the interface waits for it. Monotonic, so a change of the wall clock
// cannot stretch or skip a wait. Tests pass a clock they advance by hand.
class Clock {
public:
    using TimePoint = std::chrono::steady_clock::time_point;

    virtual ~Clock() = default;

    virtual TimePoint now() const = 0;

    // Calls `action` on `context`'s thread once `delay` has passed, unless
    // `context` is destroyed first.
    virtual void runAfter(std::chrono::milliseconds delay, QObject* context,
                          std::function<void()> action) = 0;

    // The real clock with QTimer.
    static std::shared_ptr<Clock> system();
};

} // namespace daemonary
