// The window with 10,000 records in one category (Google Benchmark).
//
// BM_SearchKeystroke: one keystroke in the search field, typed or deleted, up
// to a painted window: the sidebar recount, the table's refilter and resort,
// its relayout and a synchronous repaint. One keystroke per repetition, so the
// reported median is the median keystroke.
// BM_SearchKeystrokeWhileSignersFill: the same in a second window whose
// 10,000 executables are being sign-checked meanwhile (four codesign runs at
// a time, a small script standing in for codesign), so each keystroke also
// pays for the batches of signers that arrive.
// BM_ResidentMemory: the process's resident and peak memory with the window
// open, the records loaded and searched (reported as counters, in MB).
#include "shell/GuiDependencies.h"
#include "table/AppState.h"
#include "table/ServiceTableView.h"
#include "table/SignerStore.h"
#include "window/MainView.h"
#include "window/ToolbarButtonsView.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QTableView>
#include <QTemporaryDir>
#include <QTimer>
#include <benchmark/benchmark.h>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

namespace {

constexpr int kRecords = 10'000;

class ImmediateClock final : public daemonary::Clock {
public:
    TimePoint now() const override { return std::chrono::steady_clock::now(); }
    void runAfter(std::chrono::milliseconds, QObject* context,
                  std::function<void()> action) override {
        QTimer::singleShot(0, context, std::move(action));
    }
};

std::vector<daemonary::LaunchItem> syntheticRecords() {
    std::vector<daemonary::LaunchItem> items;
    items.reserve(kRecords);
    for (int n = 0; n < kRecords; ++n) {
        daemonary::LaunchItem item;
        const std::string name =
            "com.vendor" + std::to_string(n % 97) + ".service-" + std::to_string(n);
        item.label = name;
        item.path = "/Library/LaunchDaemons/" + name + ".plist";
        item.executablePath = "/usr/libexec/service" + std::to_string(n) + "d";
        if (n % 3 == 0) {
            item.pid = 1000 + n;
            item.status = daemonary::ServiceStatus::active;
        } else {
            item.status = daemonary::ServiceStatus::inactive;
        }
        item.scope = daemonary::LaunchScope::system;
        item.type = daemonary::ServiceType::launchDaemon;
        items.push_back(std::move(item));
    }
    return items;
}

// The window, created once for all benchmarks.
struct Window {
    std::unique_ptr<QTemporaryDir> host;
    std::unique_ptr<daemonary::SignerStore> signers;
    std::unique_ptr<daemonary::AppState> state;
    std::unique_ptr<daemonary::MainView> view;
};

// A host holding the records' executables and a codesign that calls every
// one of them Apple's.
std::unique_ptr<daemonary::SignerStore> signerStore(QTemporaryDir& host) {
    const std::string root = host.path().toStdString();
    std::filesystem::create_directories(root + "/usr/bin");
    std::filesystem::create_directories(root + "/usr/libexec");
    {
        std::ofstream codesign(root + "/usr/bin/codesign");
        codesign << R"(#!/bin/sh
case "$1" in --verify) exit 0;; esac
printf 'Authority=Software Signing\nAuthority=Apple Root CA\nTeamIdentifier=not set\n' >&2
)";
    }
    std::filesystem::permissions(root + "/usr/bin/codesign", std::filesystem::perms::owner_all);
    for (int n = 0; n < kRecords; ++n) {
        std::ofstream(root + "/usr/libexec/service" + std::to_string(n) + "d") << "binary";
    }
    return std::make_unique<daemonary::SignerStore>(
        daemonary::SignerChecker(daemonary::HostLayout(root, root + "/Users/bench")), QString());
}

Window makeWindow(bool withSigners) {
    Window w;
    if (withSigners) {
        w.host = std::make_unique<QTemporaryDir>();
        w.signers = signerStore(*w.host);
    }
    const auto records = syntheticRecords();
    w.state = std::make_unique<daemonary::AppState>([records](daemonary::LaunchScope scope) {
        return scope == daemonary::LaunchScope::system ? records
                                                       : std::vector<daemonary::LaunchItem>();
    });
    daemonary::GuiDependencies dependencies;
    dependencies.appState = w.state.get();
    dependencies.clock = std::make_shared<ImmediateClock>();
    dependencies.signers = w.signers.get();
    w.view = std::make_unique<daemonary::MainView>(dependencies);
    w.view->resize(1100, 700);
    bool loaded = false;
    QObject::connect(w.view.get(), &daemonary::MainView::startUpLoadingFinished,
                     [&loaded] { loaded = true; });
    w.view->show();
    QTableView* table = w.view->serviceTable()->tableView();
    while (!loaded || table->model()->rowCount() < kRecords) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    }
    QCoreApplication::processEvents();
    return w;
}

Window& window() {
    static Window instance = makeWindow(false);
    return instance;
}

Window& fillingWindow() {
    static Window instance = makeWindow(true);
    return instance;
}

// Typing "service-12" one character at a time, then deleting it again.
QString keystroke(std::size_t step) {
    static const QString word = QStringLiteral("service-12");
    const auto length = static_cast<qsizetype>(word.size());
    const auto position = static_cast<qsizetype>(step % static_cast<std::size_t>(2 * length));
    return word.left(position < length ? position + 1 : 2 * length - position - 1);
}

void typeKeystrokes(benchmark::State& state, Window& w) {
    QLineEdit* field = w.view->toolbarButtons()->searchLineEdit();
    static std::size_t step = 0;
    for (auto _ : state) {
        QElapsedTimer timer;
        timer.start();
        field->setText(keystroke(step++));
        QCoreApplication::processEvents(); // the table's delayed relayout
        w.view->repaint();
        state.SetIterationTime(static_cast<double>(timer.nsecsElapsed()) / 1e9);
    }
    state.counters["shown_rows"] =
        static_cast<double>(w.view->serviceTable()->tableView()->model()->rowCount());
}

void BM_SearchKeystroke(benchmark::State& state) {
    typeKeystrokes(state, window());
}
BENCHMARK(BM_SearchKeystroke)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1)
    ->Repetitions(100)
    ->ReportAggregatesOnly(true);

void BM_SearchKeystrokeWhileSignersFill(benchmark::State& state) {
    Window& w = fillingWindow();
    typeKeystrokes(state, w);
    // Still filling at the end, or the figure says nothing.
    state.counters["signers_pending"] = static_cast<double>(w.signers->pendingCount());
}
BENCHMARK(BM_SearchKeystrokeWhileSignersFill)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1)
    ->Repetitions(100)
    ->ReportAggregatesOnly(true);

double statusMegabytes(const std::string& key) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(key + ":", 0) == 0) {
            return std::stod(line.substr(key.size() + 1)) / 1024.0; // kB
        }
    }
    return 0;
}

void BM_ResidentMemory(benchmark::State& state) {
    Window& w = window();
    for (auto _ : state) {
        benchmark::DoNotOptimize(w.view->serviceTable());
    }
    state.counters["rss_mb"] = statusMegabytes("VmRSS");
    state.counters["peak_rss_mb"] = statusMegabytes("VmHWM");
}
BENCHMARK(BM_ResidentMemory)->Iterations(1);

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication application(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    window().view.reset();
    window().state.reset();
    fillingWindow().view.reset();
    fillingWindow().state.reset();
    fillingWindow().signers.reset();
    return 0;
}
