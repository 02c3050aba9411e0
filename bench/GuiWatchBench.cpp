// A burst of new definitions in a watched folder, with the window open.
//
// Usage: daemonary-gui-watch-bench [--files N]   (DAEMONARY_HOST_ROOT and HOME
// set to a host from bench/make-host; offscreen unless QT_QPA_PLATFORM is set)
//
// The window loads every category, starts watching, and shows System. A
// thread then writes N definitions (default 10,000) into /Library/LaunchAgents
// as fast as it can while the GUI thread types into the search field every
// 25 ms, each keystroke timed from setting the text to the end of a
// synchronous repaint, and from the moment it was due to the end of that
// repaint: a key pressed while the GUI thread handles change notices, stores
// a reload or resets a model waits for it, and the second figure counts the
// wait. Printed: the reloads each category got from the burst (it should be
// one, of System alone), how long the burst and the reload took, and the
// keystroke latencies while the burst and reload were under way.
#include "discovery/LaunchServiceManager.h"
#include "shell/GuiDependencies.h"
#include "table/AppState.h"
#include "table/CategoryWatcher.h"
#include "table/ServiceTableView.h"
#include "table/ServiceTableViewModel.h"
#include "window/MainView.h"
#include "window/ToolbarButtonsView.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <time.h>
#include <unistd.h>
#include <vector>

using namespace daemonary;

namespace {

double percentile(std::vector<double> values, double fraction) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    const auto at = static_cast<std::size_t>(fraction * static_cast<double>(values.size() - 1));
    return values[at];
}

// The CPU time of the calling thread: what a keystroke costs whatever else
// runs on the machine.
double threadCpuMs() {
    timespec now{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

} // namespace

int main(int argc, char** argv) {
    if (std::getenv("QT_QPA_PLATFORM") == nullptr) {
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    }
    int files = 10'000;
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::string(argv[i]) == "--files") {
            files = std::atoi(argv[i + 1]);
        }
    }
    QApplication application(argc, argv);
    const HostLayout layout = HostLayout::fromEnvironment();
    if (layout.hostRoot().empty()) {
        std::fprintf(stderr, "daemonary-gui-watch-bench: set DAEMONARY_HOST_ROOT and HOME\n");
        return 2;
    }

    auto manager = std::make_shared<const LaunchServiceManager>(layout);
    AppState state([manager](LaunchScope scope) { return manager->loadItems(scope); });
    GuiDependencies dependencies;
    dependencies.appState = &state;
    dependencies.directoriesOf = [manager](LaunchScope scope) {
        return manager->directoriesRead(scope);
    };
    MainView view(dependencies);
    view.resize(1100, 700);

    QElapsedTimer clock;
    clock.start();
    bool started = false;
    bool loadedBack = false;
    std::atomic<bool> writing{false};
    qint64 burstStart = 0;
    qint64 burstEnd = 0;
    qint64 firstNotice = -1;
    qint64 lastNotice = -1;
    qint64 longestGap = 0;
    int notices = 0;
    qint64 reloadDone = -1;
    std::map<LaunchScope, int> reloads;
    std::vector<double> duringBurst;
    std::vector<double> duringReload;
    std::vector<double> waitedDuringBurst;
    std::vector<double> waitedDuringReload;
    std::vector<double> cpuDuringBurst;
    std::vector<double> cpuDuringReload;
    std::thread writer;

    QObject::connect(&state, &AppState::scopeLoaded, [&](LaunchScope scope) {
        if (started) {
            ++reloads[scope];
            if (scope == LaunchScope::system) {
                reloadDone = clock.elapsed();
                loadedBack = true;
            }
        }
    });

    const std::string folder = layout.globalAgents();
    const std::string prefix = "com.burst" + std::to_string(::getpid()) + ".job";
    QObject::connect(&view, &MainView::startUpLoadingFinished, [&] {
        QObject::connect(view.categoryWatcher(), &CategoryWatcher::changeNoticed, [&] {
            ++notices;
            const qint64 now = clock.elapsed();
            if (lastNotice >= 0 && writing) {
                longestGap = std::max(longestGap, now - lastNotice);
            }
            lastNotice = now;
            if (firstNotice < 0) {
                firstNotice = clock.elapsed();
            }
        });
        // Let the table's own first load settle before the burst.
        QTimer::singleShot(1500, [&] {
            started = true;
            writing = true;
            burstStart = clock.elapsed();
            writer = std::thread([&, files] {
                for (int n = 0; n < files; ++n) {
                    const std::string label = prefix + std::to_string(n);
                    std::ofstream(folder + "/" + label + ".plist")
                        << "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict>"
                           "<key>Label</key><string>"
                        << label
                        << "</string><key>Program</key><string>/usr/libexec/burstd</string>"
                           "</dict></plist>\n";
                }
                writing = false;
            });
        });
    });

    QLineEdit* search = view.toolbarButtons()->searchLineEdit();
    int keystroke = 0;
    // One keystroke at a time, each due 25 ms after the last one was painted;
    // a precise single shot, so that a late one is late because the GUI
    // thread was busy, not because the timer was coarse.
    qint64 due = -1;
    std::function<void()> type;
    type = [&] {
        const qint64 firedAt = clock.nsecsElapsed();
        if (!started) {
            due = -1;
            QTimer::singleShot(25, Qt::PreciseTimer, &application, type);
            return;
        }
        if (!writing && burstEnd == 0) {
            burstEnd = clock.elapsed();
        }
        static const QString word = QStringLiteral("burst");
        const int length = keystroke++ % (word.size() * 2);
        const QString text = word.left(length <= word.size() ? length : word.size() * 2 - length);
        const double cpuBefore = threadCpuMs();
        search->setText(text);
        view.repaint();
        const double cpu = threadCpuMs() - cpuBefore;
        const qint64 paintedAt = clock.nsecsElapsed();
        const double ms = static_cast<double>(paintedAt - firedAt) / 1e6;
        const double waited =
            due < 0 ? ms : static_cast<double>(paintedAt - std::min(due, firedAt)) / 1e6;
        (writing ? duringBurst : duringReload).push_back(ms);
        (writing ? waitedDuringBurst : waitedDuringReload).push_back(waited);
        (writing ? cpuDuringBurst : cpuDuringReload).push_back(cpu);
        // Done once the burst is over, its reload has come after the last
        // change, and nothing is loading; then stay a while to see that no
        // further reload follows.
        if (!writing && loadedBack && reloadDone > lastNotice && state.loadingScopes().empty()) {
            QTimer::singleShot(3000, &application, &QCoreApplication::quit);
            return;
        }
        due = clock.nsecsElapsed() + 25'000'000;
        QTimer::singleShot(25, Qt::PreciseTimer, &application, type);
    };
    QTimer::singleShot(25, Qt::PreciseTimer, &application, type);

    view.show();
    QApplication::exec();
    if (writer.joinable()) {
        writer.join();
    }
    for (int n = 0; n < files; ++n) {
        ::unlink((folder + "/" + prefix + std::to_string(n) + ".plist").c_str());
    }

    std::printf("files written: %d in %lld ms\n", files,
                static_cast<long long>(burstEnd - burstStart));
    std::printf("first change noticed %lld ms after the burst began\n",
                static_cast<long long>(firstNotice - burstStart));
    std::printf("change notices on the GUI thread: %d, longest pause between them %lld ms\n",
                notices, static_cast<long long>(longestGap));
    std::printf("System reloaded %lld ms after the burst ended\n",
                static_cast<long long>(reloadDone - burstEnd));
    for (const LaunchScope scope : allScopes()) {
        std::printf("reloads of %s: %d\n", std::string(toText(scope)).c_str(), reloads[scope]);
    }
    const auto report = [](const char* when, const std::vector<double>& samples) {
        std::printf("keystrokes %s: %zu, median %.1f ms, 95th percentile %.1f ms, max %.1f ms\n",
                    when, samples.size(), percentile(samples, 0.5), percentile(samples, 0.95),
                    samples.empty() ? 0.0 : *std::max_element(samples.begin(), samples.end()));
    };
    report("during the burst", duringBurst);
    report("from the burst's end to the reload", duringReload);
    report("during the burst, from due to painted", waitedDuringBurst);
    report("from the burst's end to the reload, from due to painted", waitedDuringReload);
    report("during the burst, CPU time of the GUI thread", cpuDuringBurst);
    report("from the burst's end to the reload, CPU time of the GUI thread", cpuDuringReload);
    return 0;
}
