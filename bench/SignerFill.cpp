// Time to know the signer of every record of a host, through its codesign:
// cold (no cache file) and warm (a second launch with the cache the first
// one wrote). Usage, with DAEMONARY_HOST_ROOT and HOME set to the host:
//   daemonary-bench-signers [CACHE_FILE]
// The cache file defaults to a fresh temporary file and is removed first.
#include "discovery/LaunchServiceManager.h"
#include "table/SignerStore.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QTemporaryDir>
#include <cstdio>
#include <map>

namespace {

using namespace daemonary;

double fill(SignerStore& store, const std::vector<LaunchItem>& items) {
    QElapsedTimer timer;
    timer.start();
    QEventLoop loop;
    QObject::connect(&store, &SignerStore::idle, &loop, &QEventLoop::quit);
    store.request(items);
    if (store.pendingCount() > 0) {
        loop.exec();
    }
    return static_cast<double>(timer.nsecsElapsed()) / 1e6;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    QTemporaryDir folder;
    const QString cacheFile = argc > 1 ? QString::fromLocal8Bit(argv[1])
                                       : folder.filePath(QStringLiteral("signers.json"));
    QFile::remove(cacheFile);

    const LaunchServiceManager manager;
    std::vector<LaunchItem> items;
    for (const LaunchScope scope : allScopes()) {
        auto loaded = manager.loadItems(scope);
        items.insert(items.end(), loaded.begin(), loaded.end());
    }
    std::size_t withTarget = 0;
    for (const LaunchItem& item : items) {
        withTarget += signerTarget(item).has_value();
    }

    std::map<std::string, int> classes;
    double cold = 0;
    {
        SignerStore store(SignerChecker(), cacheFile);
        cold = fill(store, items);
        for (const LaunchItem& item : items) {
            if (auto target = signerTarget(item)) {
                if (const Signer* signer = store.signer(QString::fromStdString(*target))) {
                    ++classes[std::string(toText(signer->kind))];
                }
            }
        }
        store.writeCache();
    }
    SignerStore warmStore(SignerChecker(), cacheFile);
    const double warm = fill(warmStore, items);

    std::printf("records %zu, with a target %zu\n", items.size(), withTarget);
    for (const auto& [kind, count] : classes) {
        std::printf("  %s: %d\n", kind.c_str(), count);
    }
    std::printf("cold fill: %.0f ms\nwarm fill: %.0f ms\n", cold, warm);
    return 0;
}
