#pragma once

#include "updates/Updater.h"

#include <memory>
#include <optional>

namespace daemonary::test {

// What the update manager did to its updater, kept outside the updater so a
// test can read it whether or not one was ever created.
struct FakeUpdaterRecord {
    int created = 0;
    int started = 0;
    int checks = 0;
    bool automaticChecks = false;
    bool automaticDownloads = false;
    std::optional<QString> unavailableReason;
    Updater::Callbacks callbacks;
};

class FakeUpdater : public Updater {
public:
    explicit FakeUpdater(FakeUpdaterRecord& record) : m_record(record) {}

    void start() override { ++m_record.started; }
    void checkForUpdates() override { ++m_record.checks; }
    std::optional<QString> checkUnavailableReason() const override {
        return m_record.unavailableReason;
    }
    bool automaticallyChecksForUpdates() const override { return m_record.automaticChecks; }
    void setAutomaticallyChecksForUpdates(bool enabled) override {
        m_record.automaticChecks = enabled;
    }
    bool automaticallyDownloadsUpdates() const override { return m_record.automaticDownloads; }
    void setAutomaticallyDownloadsUpdates(bool enabled) override {
        m_record.automaticDownloads = enabled;
    }

private:
    FakeUpdaterRecord& m_record;
};

inline UpdaterFactory fakeUpdaterFactory(FakeUpdaterRecord& record) {
    return [&record](Updater::Callbacks callbacks) -> std::unique_ptr<Updater> {
        ++record.created;
        record.callbacks = std::move(callbacks);
        return std::make_unique<FakeUpdater>(record);
    };
}

} // namespace daemonary::test
