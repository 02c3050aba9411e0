#pragma once

#include "ExtensionOptions.h"
#include "ExtensionTable.h"

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thrift/protocol/TProtocol.h>
#include <vector>

namespace daemonary {

// An extension's life as osquery runs it: wait for the core's socket,
// register the tables, serve them on "<socket>.<uuid>", ping the core every
// interval, and end when the core is gone or asks for a shutdown.
class ExtensionRunner {
public:
    ExtensionRunner(ExtensionOptions options,
                    std::vector<std::shared_ptr<const ExtensionTable>> tables, std::string version);

    // The process exit status: 0 after a shutdown or once the core has gone,
    // 1 when the extension could not start.
    int run();

    // Ends run() soon, from any thread (a signal's, a shutdown call's).
    void requestStop();

    // How the extension reads requests: osquery's strict binary protocol,
    // with strings and containers far larger than any request refused
    // before memory is set aside for them (the library's default trusts a
    // length prefix of up to 2 GB).
    static std::shared_ptr<apache::thrift::protocol::TProtocolFactory> requestProtocolFactory();
    static constexpr std::int32_t kMaxRequestString = 4 * 1024 * 1024;
    static constexpr std::int32_t kMaxRequestEntries = 10'000;

    // The longest socket path the platform can bind or connect to.
    static std::size_t maxSocketPathBytes();
    // Why the path cannot be a socket here; nothing when it can.
    static std::optional<std::string> socketPathProblem(const std::string& path);

private:
    // Waits up to `duration` or until a stop is requested; true on a stop.
    bool waitForStop(std::chrono::milliseconds duration);

    ExtensionOptions m_options;
    std::vector<std::shared_ptr<const ExtensionTable>> m_tables;
    std::string m_version;

    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_stopRequested = false;
};

} // namespace daemonary
