// Start-up time of the window on a host: from main() to the first paint of the
// service table with rows in it. The table's 1.0 s minimum display time is set
// aside (the wait is skipped), so what is measured is discovery plus drawing.
//
// Usage: daemonary-gui-startup [--screenshot FILE] [--size WxH] [--select ROW]
//   prints "startup_to_rows_ms <n>" and, once every category has loaded,
//   "peak_rss_mb <n>" (the whole process), then quits; with --screenshot it first waits
//   for every category to load, selects the given row (opening the inspector)
//   and saves the window as a PNG.
#include "shell/GuiDependencies.h"
#include "table/AppState.h"
#include "table/ServiceTableView.h"
#include "window/MainView.h"

#include <QApplication>
#include <QEvent>
#include <QTableView>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>

namespace {

// The process's peak resident memory, from /proc (0 where there is none).
double peakResidentMegabytes() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0) {
            return std::stod(line.substr(6)) / 1024.0;
        }
    }
    return 0;
}

using Steady = std::chrono::steady_clock;

class ImmediateClock final : public daemonary::Clock {
public:
    TimePoint now() const override { return Steady::now(); }
    void runAfter(std::chrono::milliseconds, QObject* context,
                  std::function<void()> action) override {
        QTimer::singleShot(0, context, std::move(action));
    }
};

// Notes the first paint of the table's viewport that shows rows.
class PaintWatcher : public QObject {
public:
    PaintWatcher(QTableView* table, std::function<void()> onRowsPainted)
        : m_table(table), m_onRowsPainted(std::move(onRowsPainted)) {}

    bool eventFilter(QObject* watched, QEvent* event) override {
        if (!m_done && watched == m_table->viewport() && event->type() == QEvent::Paint &&
            m_table->model()->rowCount() > 0) {
            m_done = true;
            // Posted, so it runs once this paint has finished.
            QTimer::singleShot(0, this, m_onRowsPainted);
        }
        return false;
    }

private:
    QTableView* m_table;
    std::function<void()> m_onRowsPainted;
    bool m_done = false;
};

} // namespace

int main(int argc, char* argv[]) {
    const Steady::time_point start = Steady::now();
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Daemonary"));

    QString screenshot;
    QSize size(1100, 700);
    int selectRow = -1;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--screenshot") == 0 && i + 1 < argc) {
            screenshot = QString::fromLocal8Bit(argv[++i]);
        } else if (std::strcmp(argv[i], "--size") == 0 && i + 1 < argc) {
            const QStringList parts = QString::fromLocal8Bit(argv[++i]).split(u'x');
            if (parts.size() == 2) {
                size = QSize(parts[0].toInt(), parts[1].toInt());
            }
        } else if (std::strcmp(argv[i], "--select") == 0 && i + 1 < argc) {
            selectRow = std::atoi(argv[++i]);
        } else {
            std::fprintf(stderr, "usage: %s [--screenshot FILE] [--size WxH] [--select ROW]\n",
                         argv[0]);
            return 2;
        }
    }

    daemonary::GuiDependencies dependencies = daemonary::GuiDependencies::production();
    dependencies.clock = std::make_shared<ImmediateClock>();
    daemonary::MainView view(dependencies);
    view.resize(size);

    bool rowsPainted = false;
    bool allLoaded = false;
    const auto finishIfDone = [&] {
        if (rowsPainted && allLoaded) {
            std::printf("peak_rss_mb %.1f\n", peakResidentMegabytes());
            std::fflush(stdout);
            if (!screenshot.isEmpty()) {
                if (selectRow >= 0) {
                    view.serviceTable()->tableView()->selectRow(selectRow);
                }
                // Time for the badges and the inspector's own reads to be drawn.
                QTimer::singleShot(1500, &view, [&] {
                    const bool saved = view.grab().save(screenshot, "PNG");
                    std::fprintf(saved ? stdout : stderr, "%s %s\n",
                                 saved ? "screenshot" : "could not save screenshot",
                                 qPrintable(screenshot));
                    QApplication::exit(saved ? 0 : 1);
                });
            } else {
                QApplication::exit(0);
            }
        }
    };
    PaintWatcher watcher(view.serviceTable()->tableView(), [&] {
        const auto elapsed = std::chrono::duration<double, std::milli>(Steady::now() - start);
        std::printf("startup_to_rows_ms %.1f\n", elapsed.count());
        std::fflush(stdout);
        rowsPainted = true;
        finishIfDone();
    });
    view.serviceTable()->tableView()->viewport()->installEventFilter(&watcher);
    QObject::connect(&view, &daemonary::MainView::startUpLoadingFinished, &view, [&] {
        allLoaded = true;
        finishIfDone();
    });

    const auto milliseconds = [&start] {
        return std::chrono::duration<double, std::milli>(Steady::now() - start).count();
    };
    // Where the time goes: up to the first show, and the first load of System.
    QObject::connect(dependencies.appState, &daemonary::AppState::scopeLoaded, &view,
                     [&, reported = false](daemonary::LaunchScope scope) mutable {
                         if (!reported && scope == daemonary::LaunchScope::system) {
                             reported = true;
                             std::printf("system_loaded_ms %.1f\n", milliseconds());
                         }
                     });
    view.show();
    std::printf("window_shown_ms %.1f\n", milliseconds());
    return QApplication::exec();
}
