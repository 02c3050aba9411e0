// Times what osquery waits for when it reads daemonary_items: a stand-in
// core starts daemonary.ext on a host root, then each round times
// `daemonary-cli list --json` and the extension's answer to the same
// columns (every one but those that run codesign or hash files), and a query
// of one category, in alternating order. Prints the medians.
//
// Usage: daemonary-bench-osquery [--runs N] HOST_ROOT CLI EXTENSION

#include "ExtensionManager.h"
#include "platform/ToolRunner.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <iostream>
#include <mutex>
#include <thread>
#include <thrift/protocol/TBinaryProtocol.h>
#include <thrift/server/TThreadedServer.h>
#include <thrift/transport/TBufferTransports.h>
#include <thrift/transport/TServerSocket.h>
#include <thrift/transport/TSocket.h>
#include <unistd.h>

namespace {

namespace api = daemonary::osquery_api;
using namespace apache::thrift;
using Clock = std::chrono::steady_clock;

class Core : public api::ExtensionManagerIf {
public:
    void ping(api::ExtensionStatus& status) override {
        const std::lock_guard lock(mutex);
        ++pings;
        changed.notify_all();
        status.code = 0;
    }
    void call(api::ExtensionResponse&, const std::string&, const std::string&,
              const api::ExtensionPluginRequest&) override {}
    void shutdown() override {}
    void extensions(api::InternalExtensionList&) override {}
    void options(api::InternalOptionList&) override {}
    void registerExtension(api::ExtensionStatus& status, const api::InternalExtensionInfo&,
                           const api::ExtensionRegistry&) override {
        const std::lock_guard lock(mutex);
        registered = true;
        status.uuid = 7;
    }
    void deregisterExtension(api::ExtensionStatus&, const api::ExtensionRouteUUID) override {}
    void query(api::ExtensionResponse&, const std::string&) override {}
    void getQueryColumns(api::ExtensionResponse&, const std::string&) override {}

    std::mutex mutex;
    std::condition_variable changed;
    bool registered = false;
    int pings = 0;
};

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int main(int argc, char** argv) {
    int runs = 7;
    std::vector<std::string> positional;
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "--runs" && i + 1 < argc) {
            runs = std::atoi(argv[++i]);
        } else {
            positional.emplace_back(argv[i]);
        }
    }
    if (positional.size() != 3 || runs < 1) {
        std::cerr << "usage: daemonary-bench-osquery [--runs N] HOST_ROOT CLI EXTENSION\n";
        return 2;
    }
    // The tool runner takes absolute paths only.
    for (std::string& path : positional) {
        path = std::filesystem::absolute(path);
    }
    const std::string root = positional[0];
    ::setenv("DAEMONARY_HOST_ROOT", root.c_str(), 1);
    ::setenv("HOME", (root + "/Users/bench").c_str(), 1);

    char folder[] = "/tmp/daemonary-osquery-bench-XXXXXX";
    if (::mkdtemp(folder) == nullptr) {
        return 1;
    }
    const std::string corePath = std::string(folder) + "/osquery.em";
    auto core = std::make_shared<Core>();
    server::TThreadedServer server(std::make_shared<api::ExtensionManagerProcessor>(core),
                                   std::make_shared<transport::TServerSocket>(corePath),
                                   std::make_shared<transport::TBufferedTransportFactory>(),
                                   std::make_shared<protocol::TBinaryProtocolFactory>());
    std::thread serving([&] { server.serve(); });
    auto extension = std::async(std::launch::async, [&] {
        return daemonary::runTool(positional[2], {"--socket", corePath, "--interval", "60"}, false,
                                  false);
    });
    {
        std::unique_lock lock(core->mutex);
        if (!core->changed.wait_for(lock, std::chrono::minutes(2),
                                    [&] { return core->registered && core->pings > 1; })) {
            std::cerr << "the extension did not start\n";
            return 1;
        }
    }

    const auto generate = [&](const std::string& context, std::size_t& rows) {
        auto socket = std::make_shared<transport::TSocket>(corePath + ".7");
        auto buffered = std::make_shared<transport::TBufferedTransport>(socket);
        api::ExtensionClient client(std::make_shared<protocol::TBinaryProtocol>(buffered));
        buffered->open();
        api::ExtensionResponse response;
        const auto start = Clock::now();
        client.call(response, "table", "daemonary_items",
                    {{"action", "generate"}, {"context", context}});
        const std::chrono::duration<double, std::milli> elapsed = Clock::now() - start;
        rows = response.response.size();
        return elapsed.count();
    };
    const std::string cheap =
        R"({"constraints":[],"colsUsed":["category","label","type","path","program","pid",)"
        R"("status","disabled","allowed_in_background","system_default"]})";
    const std::string oneCategory =
        R"({"constraints":[{"name":"category","list":[{"op":2,"expr":"System"}],)"
        R"("affinity":"TEXT"}],"colsUsed":["category","label","type","path","program","pid",)"
        R"("status","disabled","allowed_in_background","system_default"]})";

    std::vector<double> listed, whole, single;
    std::size_t wholeRows = 0, singleRows = 0;
    for (int round = -1; round < runs; ++round) { // round -1 warms the caches
        const auto list = [&] {
            const auto start = Clock::now();
            daemonary::runTool(positional[1], {"list", "--json"}, true, true);
            const std::chrono::duration<double, std::milli> elapsed = Clock::now() - start;
            return elapsed.count();
        };
        double l = 0, w = 0, s = 0;
        if (round % 2 == 0) {
            l = list();
            w = generate(cheap, wholeRows);
            s = generate(oneCategory, singleRows);
        } else {
            s = generate(oneCategory, singleRows);
            w = generate(cheap, wholeRows);
            l = list();
        }
        if (round >= 0) {
            listed.push_back(l);
            whole.push_back(w);
            single.push_back(s);
        }
    }
    std::printf("list --json            %8.0f ms\n", median(listed));
    std::printf("daemonary_items        %8.0f ms  %zu rows  ratio to list %.2f\n", median(whole),
                wholeRows, median(whole) / median(listed));
    std::printf("category = 'System'    %8.0f ms  %zu rows  ratio to whole table %.2f\n",
                median(single), singleRows, median(single) / median(whole));

    auto socket = std::make_shared<transport::TSocket>(corePath + ".7");
    auto buffered = std::make_shared<transport::TBufferedTransport>(socket);
    api::ExtensionClient client(std::make_shared<protocol::TBinaryProtocol>(buffered));
    buffered->open();
    client.shutdown();
    extension.wait();
    server.stop();
    serving.join();
    std::filesystem::remove_all(folder);
    return 0;
}
