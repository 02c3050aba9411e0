#pragma once

#include <QString>
#include <functional>
#include <memory>
#include <optional>

namespace daemonary {

// What the update manager needs from an update framework: the operations of a
// standard updater controller and its two delegate callbacks. The built-in
// appcast checker implements it; a bridge to a native framework could too.
class Updater {
public:
    struct Callbacks {
        // The feed offers a version newer than the running one.
        std::function<void()> didFindValidUpdate;
        // A check ended; an error text when it failed or found nothing new.
        std::function<void(const std::optional<QString>& error)> didFinishUpdateCycle;
        // What checkUnavailableReason() answers may have changed.
        std::function<void()> checkAvailabilityChanged;
    };

    virtual ~Updater() = default;

    virtual void start() = 0;
    // A check the user asked for: its outcome is shown to them.
    virtual void checkForUpdates() = 0;
    // Why no check can be made (no update feed is configured, say), in words
    // for the user; nothing when checks can be made.
    virtual std::optional<QString> checkUnavailableReason() const { return std::nullopt; }

    virtual bool automaticallyChecksForUpdates() const = 0;
    virtual void setAutomaticallyChecksForUpdates(bool enabled) = 0;
    virtual bool automaticallyDownloadsUpdates() const = 0;
    virtual void setAutomaticallyDownloadsUpdates(bool enabled) = 0;
};

// Creates an updater that reports through the given callbacks.
using UpdaterFactory = std::function<std::unique_ptr<Updater>(Updater::Callbacks callbacks)>;

} // namespace daemonary
