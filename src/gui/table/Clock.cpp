#include "table/Clock.h"

#include <QTimer>

namespace daemonary {

namespace {

class SystemClock final : public Clock {
public:
    TimePoint now() const override { return std::chrono::steady_clock::now(); }

    void runAfter(std::chrono::milliseconds delay, QObject* context,
                  std::function<void()> action) override {
        QTimer::singleShot(delay, context, std::move(action));
    }
};

} // namespace

std::shared_ptr<Clock> Clock::system() {
    static const std::shared_ptr<Clock> clock = std::make_shared<SystemClock>();
    return clock;
}

} // namespace daemonary
