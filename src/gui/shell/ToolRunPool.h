#pragma once

#include <QFutureWatcher>
#include <QObject>
#include <QThreadPool>
#include <QtConcurrent/QtConcurrentRun>
#include <utility>

namespace daemonary {

// The threads on which the views' blocking work runs: code signing, start,
// stop and removal, the detail pane's file reads and icon lookups. Not Qt's
// global pool, which painting waits on and which the application waits for
// when it quits: a tool that never ends (an osascript held by a permission
// prompt) must neither stall the window nor keep it from quitting.
//
// The pool is never destroyed, so nothing waits for it at exit; the work run
// on it must only use what lives as long as the process (values it owns, the
// never-destroyed workspace and managers), never a view.
class ToolRunPool {
public:
    // Enough that a few stuck tools leave room for the detail pane's reads.
    static constexpr int kMaximumThreads = 8;

    static QThreadPool& shared();

    // Work still running (or queued) on the pool.
    static bool isBusy();

    // Runs work on the pool and hands its result to done on the GUI thread,
    // unless the context has gone by then.
    template <typename Result, typename Work, typename Done>
    static void run(QObject* context, Work work, Done done) {
        auto* watcher = new QFutureWatcher<Result>(context);
        QObject::connect(watcher, &QFutureWatcher<Result>::finished, context,
                         [watcher, done = std::move(done)] {
                             done(watcher->result());
                             watcher->deleteLater();
                         });
        watcher->setFuture(QtConcurrent::run(&shared(), std::move(work)));
    }
};

} // namespace daemonary
