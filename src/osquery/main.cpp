#include "ExtensionOptions.h"
#include "ExtensionRunner.h"
#include "ItemsTable.h"
#include "TriggersTable.h"
#include "discovery/MetadataManager.h"
#include "platform/Log.h"
#include "text/Text.h"

#include <csignal>
#include <iostream>
#include <pthread.h>
#include <thread>

int main(int argc, char** argv) {
    using namespace daemonary;
    Log::setDestination(Log::Destination::standardError);
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    auto parsed = ExtensionOptions::parse(arguments);
    if (const auto* error = std::get_if<ExtensionOptionsError>(&parsed)) {
        std::cerr << "daemonary.ext: " << displayableText(error->message) << "\n"
                  << kExtensionUsage;
        return 2;
    }
    auto& options = std::get<ExtensionOptions>(parsed);
    if (options.help) {
        std::cout << kExtensionUsage;
        return 0;
    }

    // A peer that hangs up mid-answer is an error on that connection only.
    std::signal(SIGPIPE, SIG_IGN);
    // osquery stops its extensions with a signal: end as after a shutdown,
    // leaving no socket behind. Blocked before any thread starts, so only
    // the waiting thread takes them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
        sigaddset(&stopSignals, signal);
    }
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    const auto manager = std::make_shared<const LaunchServiceManager>();
    ExtensionRunner runner(std::move(options),
                           {std::make_shared<ItemsTable>(manager, SignerChecker(manager->layout()),
                                                         MetadataManager::shared()),
                            std::make_shared<TriggersTable>(manager)},
                           DAEMONARY_VERSION);
    std::thread([&runner, stopSignals] {
        int signal = 0;
        if (sigwait(&stopSignals, &signal) == 0) {
            runner.requestStop();
        }
    }).detach();
    return runner.run();
}
