#include "shell/ToolRunPool.h"

namespace daemonary {

namespace {
// Idle threads end after this long, so a quiet window holds none.
constexpr int kThreadExpiryMilliseconds = 30'000;
} // namespace

QThreadPool& ToolRunPool::shared() {
    static QThreadPool* const pool = [] {
        auto* created = new QThreadPool();
        created->setObjectName(QStringLiteral("Daemonary tool runs"));
        created->setMaxThreadCount(kMaximumThreads);
        created->setExpiryTimeout(kThreadExpiryMilliseconds);
        return created;
    }();
    return *pool;
}

bool ToolRunPool::isBusy() {
    return shared().activeThreadCount() > 0;
}

} // namespace daemonary
