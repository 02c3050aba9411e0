// The status pass on a large injected snapshot: 5,000 records against a
// 2,000-entry job table and 1,000 processes. Nothing is spawned or read; the
// table and the snapshot are built once, deterministically.

#include "discovery/LabelMatcher.h"
#include "discovery/LaunchServiceManager.h"
#include "discovery/LaunchctlTable.h"
#include "platform/ProcessMonitor.h"

#include <array>
#include <benchmark/benchmark.h>
#include <random>
#include <string>
#include <vector>

namespace daemonary {
namespace {

constexpr std::size_t kRecords = 5000;
constexpr std::size_t kTableEntries = 2000;
constexpr std::size_t kProcesses = 1000;

constexpr std::array kVendors = {"com.apple.",  "com.contoso.",  "com.fabrikam.", "org.northwind.",
                                 "com.adatum.", "net.tailspin.", "com.litware."};
constexpr std::array kWords = {"sync",   "agent",     "helper", "daemon", "updater", "cloud",
                               "backup", "indexer",   "bridge", "vpn",    "monitor", "notifier",
                               "drive",  "licensing", "xpc",    "store",  "photos",  "mail"};

struct StatusPassInput {
    std::vector<LaunchItem> records;
    LaunchctlTable table;
    ProcessSnapshot snapshot;
    std::vector<std::string> unresolvedLabels; // those the exact lookup misses
};

std::string makeLabel(std::mt19937& random, std::size_t serial) {
    std::string label = kVendors[random() % kVendors.size()];
    label += kWords[random() % kWords.size()];
    label += '.';
    label += kWords[random() % kWords.size()];
    label += std::to_string(serial);
    return label;
}

// About a third of the records are in the table under their own label, a
// tenth run as application instances whose labels contain theirs, the rest
// are decided by process names or stay inactive; the table is filled up with
// jobs that no record names.
StatusPassInput makeInput() {
    std::mt19937 random(5000);
    StatusPassInput input;
    input.records.reserve(kRecords);
    for (std::size_t i = 0; i < kRecords; ++i) {
        LaunchItem item;
        item.label = makeLabel(random, i);
        if (i % 2 == 0) {
            item.executablePath = "/usr/libexec/" + std::string(kWords[random() % kWords.size()]) +
                                  std::to_string(i % 1200);
        }
        item.path = "/System/Library/LaunchDaemons/" + item.label + ".plist";
        item.status = ServiceStatus::unknown;
        item.scope = LaunchScope::macos;
        item.type = ServiceType::launchDaemon;
        input.records.push_back(std::move(item));
    }

    std::int32_t pid = 300;
    for (std::size_t i = 0; i < kRecords && input.table.size() < kTableEntries * 6 / 10; i += 3) {
        const bool running = random() % 2 == 0;
        input.table.insert(input.records[i].label, running ? std::optional(pid++) : std::nullopt,
                           0);
    }
    for (std::size_t i = 1; i < kRecords && input.table.size() < kTableEntries * 7 / 10; i += 10) {
        input.table.insert("application." + input.records[i].label + "." +
                               std::to_string(random() % 100000000),
                           pid++, 0);
    }
    for (std::size_t serial = kRecords; input.table.size() < kTableEntries; ++serial) {
        input.table.insert(makeLabel(random, serial),
                           random() % 3 == 0 ? std::optional(pid++) : std::nullopt, -9);
    }

    for (std::size_t i = 0; i < kProcesses; ++i) {
        const std::int32_t processPid = 20000 + static_cast<std::int32_t>(i);
        // Names as the kernel keeps them: at most 16 characters.
        std::string name = i % 2 == 0 ? std::string(kWords[i % kWords.size()]) + std::to_string(i)
                                      : "proc" + std::to_string(i);
        name.resize(std::min<std::size_t>(name.size(), 16));
        input.snapshot[processPid] = ProcessInfo{processPid, name, 501};
    }

    for (const LaunchItem& item : input.records) {
        if (!input.table.find(item.label)) {
            input.unresolvedLabels.push_back(item.label);
        }
    }
    return input;
}

const StatusPassInput& input() {
    static const StatusPassInput instance = makeInput();
    return instance;
}

std::vector<std::string_view> unresolvedViews() {
    const auto& labels = input().unresolvedLabels;
    return {labels.begin(), labels.end()};
}

// The whole pass, including the copy of the records it takes by value.
void BM_ResolveStatuses(benchmark::State& state) {
    const StatusPassInput& in = input();
    for (auto _ : state) {
        std::vector<LaunchItem> resolved =
            LaunchServiceManager::resolveStatuses(in.records, in.table, in.snapshot);
        benchmark::DoNotOptimize(resolved.data());
    }
    state.counters["records"] = static_cast<double>(in.records.size());
    state.counters["tableEntries"] = static_cast<double>(in.table.size());
    state.counters["processes"] = static_cast<double>(in.snapshot.size());
}
BENCHMARK(BM_ResolveStatuses)->Unit(benchmark::kMillisecond);

// The containing-label step alone: one automaton pass over the table.
void BM_ContainingLabelsMatcher(benchmark::State& state) {
    const std::vector<std::string_view> labels = unresolvedViews();
    for (auto _ : state) {
        auto positions = LabelMatcher(labels).firstContaining(input().table);
        benchmark::DoNotOptimize(positions.data());
    }
    state.counters["labels"] = static_cast<double>(labels.size());
}
BENCHMARK(BM_ContainingLabelsMatcher)->Unit(benchmark::kMillisecond);

// The same step by its plain definition (a substring search per label and
// table entry), for comparison.
void BM_ContainingLabelsPlain(benchmark::State& state) {
    const std::vector<std::string_view> labels = unresolvedViews();
    for (auto _ : state) {
        auto positions = findContainingLabels(labels, input().table);
        benchmark::DoNotOptimize(positions.data());
    }
    state.counters["labels"] = static_cast<double>(labels.size());
}
BENCHMARK(BM_ContainingLabelsPlain)->Unit(benchmark::kMillisecond);

// Parsing a 2,000-line `launchctl list` output into the table.
void BM_ParseLaunchctlList(benchmark::State& state) {
    std::string text = "PID\tStatus\tLabel\n";
    for (const LaunchctlEntry& entry : input().table.entries()) {
        text += (entry.pid ? std::to_string(*entry.pid) : "-") + "\t" +
                std::to_string(entry.status) + "\t" + entry.label + "\n";
    }
    for (auto _ : state) {
        LaunchctlTable table = parseLaunchctlList(text);
        benchmark::DoNotOptimize(table.entries().data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(text.size()));
}
BENCHMARK(BM_ParseLaunchctlList)->Unit(benchmark::kMicrosecond);

} // namespace
} // namespace daemonary

BENCHMARK_MAIN();
