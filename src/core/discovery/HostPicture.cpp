#include "discovery/HostPicture.h"

#include "actions/ServiceActionManager.h"
#include "discovery/BackgroundTasks.h"
#include "discovery/LaunchServiceManager.h"
#include "discovery/LoginItemManager.h"
#include "platform/Log.h"
#include "platform/ToolRunner.h"
#include "text/Text.h"
#include "text/TextParsing.h"

#include <array>
#include <future>
#include <mutex>
#include <thread>
#include <utility>

namespace daemonary {

namespace {

// One part of the picture with the lines its run logged, kept apart so that
// they can be written in a fixed order.
template <typename T> struct Part {
    T value{};
    std::vector<std::string> log;
};

template <typename T> using PartFuture = std::shared_future<Part<T>>;

template <typename T, typename Run> Part<T> runPart(const Run& run) {
    Part<T> part;
    Log::Capture capture;
    part.value = run();
    part.log = capture.take();
    return part;
}

// A run needed now goes on a thread of its own that nobody joins: the last
// copy of a picture may go on the GUI thread, which must not wait for a tool.
template <typename T, typename Run> PartFuture<T> start(bool now, Run run) {
    if (!now) {
        return std::async(std::launch::deferred, [run = std::move(run)] { return runPart<T>(run); })
            .share();
    }
    auto promise = std::make_shared<std::promise<Part<T>>>();
    PartFuture<T> future = promise->get_future().share();
    std::thread([promise, run = std::move(run)] {
        try {
            promise->set_value(runPart<T>(run));
        } catch (...) {
            promise->set_exception(std::current_exception());
        }
    }).detach();
    return future;
}

template <typename T> PartFuture<T> ready(T value) {
    std::promise<Part<T>> promise;
    promise.set_value(Part<T>{std::move(value), {}});
    return promise.get_future().share();
}

} // namespace

struct HostPicture::State {
    std::chrono::system_clock::time_point takenAt;
    PartFuture<BackgroundTaskTable> backgroundTasks;
    PartFuture<LaunchctlTable> jobs;
    PartFuture<ProcessSnapshot> processes;
    PartFuture<LoadedExtensionMap> loadedExtensions;
    PartFuture<std::vector<LaunchItem>> loginItems;
    PartFuture<DisabledServices> disabled;

    std::mutex logMutex;
    std::array<bool, 6> written{};

    State() = default;
    State(const State&) = delete;
    State& operator=(const State&) = delete;
    ~State() { writeLines(false); }

    // With `wait`, the parts under way are waited for; without, only the
    // finished ones are written.
    void writeLines(bool wait) {
        std::lock_guard lock(logMutex);
        std::size_t position = 0;
        const auto write = [&](const auto& future) {
            const std::size_t mine = position++;
            if (written[mine] || !future.valid()) {
                return;
            }
            const std::future_status status = future.wait_for(std::chrono::seconds(0));
            if (status == std::future_status::deferred ||
                (status == std::future_status::timeout && !wait)) {
                return;
            }
            written[mine] = true;
            for (const std::string& line : future.get().log) {
                Log::line(line);
            }
        };
        write(backgroundTasks);
        write(jobs);
        write(processes);
        write(loadedExtensions);
        write(loginItems);
        write(disabled);
    }
};

HostPicture::HostPicture(std::shared_ptr<State> state) : m_state(std::move(state)) {}

HostPicture::Needs HostPicture::Needs::forScope(LaunchScope scope, bool disabledState) {
    Needs needs;
    needs.jobs = scope != LaunchScope::kernel;
    needs.processes = needs.jobs;
    needs.disabled = disabledState && DisabledServices::appliesTo(scope);
    needs.loadedExtensions = scope == LaunchScope::kernel;
    needs.backgroundTasks = LaunchServiceManager::readsBackgroundTasks(scope);
    needs.loginItems = scope == LaunchScope::user;
    return needs;
}

HostPicture::Needs HostPicture::Needs::forScopes(std::span<const LaunchScope> scopes,
                                                 bool disabledState) {
    Needs all;
    for (const LaunchScope scope : scopes) {
        const Needs one = forScope(scope, disabledState);
        all.jobs = all.jobs || one.jobs;
        all.processes = all.processes || one.processes;
        all.disabled = all.disabled || one.disabled;
        all.loadedExtensions = all.loadedExtensions || one.loadedExtensions;
        all.backgroundTasks = all.backgroundTasks || one.backgroundTasks;
        all.loginItems = all.loginItems || one.loginItems;
    }
    return all;
}

HostPicture HostPicture::take(HostLayout layout, std::shared_ptr<const ProcessSource> processes,
                              Needs needs) {
    if (!processes) {
        processes = std::make_shared<ProcessMonitor>();
    }
    auto state = std::make_shared<State>();
    state->takenAt = std::chrono::system_clock::now();
    // The slowest runs first, so the others overlap them. Each run gets its
    // own copy of what it reads: a part asked for late may outlive the caller.
    state->backgroundTasks = start<BackgroundTaskTable>(
        needs.backgroundTasks, [layout] { return BackgroundTasks(layout).loadTable(); });
    state->jobs = start<LaunchctlTable>(needs.jobs, [layout] { return runLaunchctlList(layout); });
    state->disabled = start<DisabledServices>(needs.disabled, [layout] {
        // Both domains at once: a stuck launchctl costs one time limit.
        auto system = std::async(std::launch::async, [&layout] {
            Part<std::optional<DisabledOverrides>> part;
            Log::Capture capture;
            part.value = runPrintDisabled(layout, "system");
            part.log = capture.take();
            return part;
        });
        DisabledServices disabled;
        disabled.user = runPrintDisabled(layout, ServiceActionManager::domainTarget());
        Part<std::optional<DisabledOverrides>> systemPart = system.get();
        for (const std::string& line : systemPart.log) {
            Log::line(line);
        }
        disabled.system = std::move(systemPart.value);
        return disabled;
    });
    state->loadedExtensions = start<LoadedExtensionMap>(needs.loadedExtensions, [layout] {
        return KernelServiceManager(layout).loadedExtensionIndices();
    });
    state->loginItems = start<std::vector<LaunchItem>>(
        needs.loginItems, [layout] { return LoginItemManager::fetchLoginItems(layout); });
    state->processes =
        start<ProcessSnapshot>(needs.processes, [processes] { return processes->allProcesses(); });
    return HostPicture(std::move(state));
}

HostPicture HostPicture::of(Facts facts) {
    auto state = std::make_shared<State>();
    state->takenAt = std::chrono::system_clock::now();
    state->backgroundTasks = ready(std::move(facts.backgroundTasks));
    state->jobs = ready(std::move(facts.jobs));
    state->processes = ready(std::move(facts.processes));
    state->loadedExtensions = ready(std::move(facts.loadedExtensions));
    state->loginItems = ready(std::move(facts.loginItems));
    state->disabled = ready(std::move(facts.disabled));
    return HostPicture(std::move(state));
}

std::chrono::system_clock::time_point HostPicture::takenAt() const {
    return m_state->takenAt;
}

const LaunchctlTable& HostPicture::jobs() const {
    return m_state->jobs.get().value;
}

const ProcessSnapshot& HostPicture::processes() const {
    return m_state->processes.get().value;
}

const DisabledServices& HostPicture::disabled() const {
    return m_state->disabled.get().value;
}

const LoadedExtensionMap& HostPicture::loadedExtensions() const {
    return m_state->loadedExtensions.get().value;
}

const BackgroundTaskTable& HostPicture::backgroundTasks() const {
    return m_state->backgroundTasks.get().value;
}

const std::vector<LaunchItem>& HostPicture::loginItems() const {
    return m_state->loginItems.get().value;
}

void HostPicture::writeLog() const {
    m_state->writeLines(true);
}

void HostPicture::writeFinishedLog() const {
    m_state->writeLines(false);
}

LaunchctlTable HostPicture::runLaunchctlList(const HostLayout& layout) {
    const ToolResult result =
        runTool(layout.launchctl(), {"list"}, layout.toolOptions(true, false));
    if (result.timedOut) {
        Log::line(timedOutMessage("launchctl list", layout.toolTimeout()));
        return {};
    }
    if (result.launchError) {
        Log::line("Failed to run launchctl: " + result.launchError->description);
        return {};
    }
    const auto text = decodeUtf8(result.standardOutput);
    if (!text) {
        return {};
    }
    return parseLaunchctlList(*text);
}

std::optional<DisabledOverrides>
HostPicture::runPrintDisabled(const HostLayout& layout, const std::string& domain, bool* timedOut) {
    const std::string command = "launchctl print-disabled " + domain;
    const ToolResult result =
        runTool(layout.launchctl(), {"print-disabled", domain}, layout.toolOptions(true, true));
    if (result.timedOut) {
        Log::line(timedOutMessage(command, layout.toolTimeout()));
        if (timedOut != nullptr) {
            *timedOut = true;
        }
        return std::nullopt;
    }
    if (result.launchError) {
        Log::line("Failed to run " + command + ": " + result.launchError->description);
        return std::nullopt;
    }
    if (result.exitStatus != 0) {
        // The tool's own words, on the one line.
        std::string reason;
        if (const auto decoded = decodeUtf8(result.standardError)) {
            for (const std::string_view line : splitLines(*decoded)) {
                const std::string_view trimmed = trimWhitespace(line);
                if (!trimmed.empty()) {
                    reason.append(reason.empty() ? "" : " ").append(trimmed);
                }
            }
        }
        Log::line(command + " failed with status " + std::to_string(result.exitStatus) +
                  (reason.empty() ? std::string() : ": " + reason));
        return std::nullopt;
    }
    const auto text = decodeUtf8(result.standardOutput);
    std::optional<DisabledOverrides> overrides = text ? parsePrintDisabled(*text) : std::nullopt;
    if (!overrides) {
        Log::line(command + " printed no disabled-services list; the disabled state is unknown");
    }
    return overrides;
}

} // namespace daemonary
