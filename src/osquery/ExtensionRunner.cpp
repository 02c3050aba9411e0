#include "ExtensionRunner.h"

#include "ExtensionHandler.h"
#include "ExtensionManager.h"
#include "platform/Log.h"
#include "text/Text.h"

#include <algorithm>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <thrift/TOutput.h>
#include <thrift/protocol/TBinaryProtocol.h>
#include <thrift/server/TThreadedServer.h>
#include <thrift/transport/TBufferTransports.h>
#include <thrift/transport/TServerSocket.h>
#include <thrift/transport/TSocket.h>
#include <unistd.h>

namespace daemonary {

namespace {

using apache::thrift::TException;
using apache::thrift::protocol::TBinaryProtocol;
using apache::thrift::protocol::TBinaryProtocolFactory;
using apache::thrift::server::TServerEventHandler;
using apache::thrift::server::TThreadedServer;
using apache::thrift::transport::TBufferedTransport;
using apache::thrift::transport::TBufferedTransportFactory;
using apache::thrift::transport::TServerSocket;
using apache::thrift::transport::TSocket;

// How long one call to the core may take before it counts as gone.
constexpr int kCallTimeoutMs = 5'000;
constexpr auto kConnectRetry = std::chrono::milliseconds(200);

void say(const std::string& text) {
    Log::line("daemonary.ext: " + text);
}

// One short connection to the core per use, as osquery's own clients make:
// a core that restarts never leaves the extension on a dead connection.
template <typename Call> std::optional<std::string> callCore(const std::string& path, Call&& call) {
    try {
        auto socket = std::make_shared<TSocket>(path);
        socket->setConnTimeout(kCallTimeoutMs);
        socket->setRecvTimeout(kCallTimeoutMs);
        socket->setSendTimeout(kCallTimeoutMs);
        auto transport = std::make_shared<TBufferedTransport>(socket);
        osquery_api::ExtensionManagerClient client(std::make_shared<TBinaryProtocol>(transport));
        transport->open();
        call(client);
        transport->close();
        return std::nullopt;
    } catch (const TException& failure) {
        return std::string(failure.what());
    }
}

// Tells the runner once the server socket listens.
class ListeningSignal : public TServerEventHandler {
public:
    ListeningSignal(std::mutex& mutex, std::condition_variable& changed, bool& listening)
        : m_mutex(mutex), m_changed(changed), m_listening(listening) {}
    void preServe() override {
        const std::lock_guard lock(m_mutex);
        m_listening = true;
        m_changed.notify_all();
    }

private:
    std::mutex& m_mutex;
    std::condition_variable& m_changed;
    bool& m_listening;
};

// A socket left by an earlier run would make the bind fail; anything else at
// the path is not ours to remove.
void removeStaleSocket(const std::string& path) {
    struct stat status {};
    if (::lstat(path.c_str(), &status) == 0 && S_ISSOCK(status.st_mode)) {
        ::unlink(path.c_str());
    }
}

} // namespace

ExtensionRunner::ExtensionRunner(ExtensionOptions options,
                                 std::vector<std::shared_ptr<const ExtensionTable>> tables,
                                 std::string version)
    : m_options(std::move(options)), m_tables(std::move(tables)), m_version(std::move(version)) {}

std::shared_ptr<apache::thrift::protocol::TProtocolFactory>
ExtensionRunner::requestProtocolFactory() {
    return std::make_shared<TBinaryProtocolFactory>(kMaxRequestString, kMaxRequestEntries,
                                                    /*strictRead=*/true, /*strictWrite=*/true);
}

std::size_t ExtensionRunner::maxSocketPathBytes() {
    // The terminating zero takes one byte of sun_path.
    return sizeof(sockaddr_un::sun_path) - 1;
}

std::optional<std::string> ExtensionRunner::socketPathProblem(const std::string& path) {
    if (path.size() > maxSocketPathBytes()) {
        return "the socket path " + displayableText(path) + " is " + std::to_string(path.size()) +
               " bytes long; this system allows at most " + std::to_string(maxSocketPathBytes()) +
               " (give osquery a shorter --extensions_socket)";
    }
    if (path.find('\0') != std::string::npos) {
        return "the socket path holds a zero byte";
    }
    return std::nullopt;
}

void ExtensionRunner::requestStop() {
    const std::lock_guard lock(m_mutex);
    m_stopRequested = true;
    m_changed.notify_all();
}

bool ExtensionRunner::waitForStop(std::chrono::milliseconds duration) {
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, duration, [this] { return m_stopRequested; });
}

int ExtensionRunner::run() {
    const bool verbose = m_options.verbose;
    // Thrift reports connection trouble on its own channel; the retries
    // below would otherwise fill the log.
    apache::thrift::GlobalOutput.setOutputFunction(
        verbose
            ? +[](const char* text) { Log::line(std::string("daemonary.ext: thrift: ") + text); }
            : +[](const char*) {});
    for (const std::string& flag : m_options.ignored) {
        say("ignoring " + displayableText(flag));
    }
    const std::string& corePath = m_options.socket;
    if (auto problem = socketPathProblem(corePath)) {
        say(*problem);
        return 1;
    }

    // osquery may start the extension before its own socket listens.
    const auto deadline = std::chrono::steady_clock::now() + m_options.timeout;
    for (;;) {
        const auto failure = callCore(corePath, [](osquery_api::ExtensionManagerClient& core) {
            osquery_api::ExtensionStatus status;
            core.ping(status);
        });
        if (!failure) {
            break;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            say("no osquery core answered at " + displayableText(corePath) + " within " +
                std::to_string(m_options.timeout.count()) + " s: " + *failure);
            return 1;
        }
        if (waitForStop(kConnectRetry)) {
            return 0;
        }
    }

    auto handler = std::make_shared<ExtensionHandler>(
        m_tables, [this] { requestStop(); }, verbose);
    osquery_api::InternalExtensionInfo info;
    info.name = "daemonary";
    info.version = m_version;
    osquery_api::ExtensionStatus registration;
    if (auto failure = callCore(corePath, [&](osquery_api::ExtensionManagerClient& core) {
            core.registerExtension(registration, info, handler->registry());
        })) {
        say("could not register with the osquery core: " + *failure);
        return 1;
    }
    if (registration.code != 0) {
        say("the osquery core refused the extension: " + displayableText(registration.message));
        return 1;
    }
    const auto deregister = [&] {
        callCore(corePath, [&](osquery_api::ExtensionManagerClient& core) {
            osquery_api::ExtensionStatus ignored;
            core.deregisterExtension(ignored, registration.uuid);
        });
    };

    const std::string servePath = corePath + "." + std::to_string(registration.uuid);
    if (auto problem = socketPathProblem(servePath)) {
        say(*problem);
        deregister();
        return 1;
    }
    removeStaleSocket(servePath);

    bool listening = false;
    std::optional<std::string> serveFailure;
    bool serverEnded = false;
    TThreadedServer server(std::make_shared<osquery_api::ExtensionProcessor>(handler),
                           std::make_shared<TServerSocket>(servePath),
                           std::make_shared<TBufferedTransportFactory>(), requestProtocolFactory());
    server.setServerEventHandler(std::make_shared<ListeningSignal>(m_mutex, m_changed, listening));
    std::thread serving([&] {
        std::optional<std::string> failure;
        try {
            server.serve();
        } catch (const TException& error) {
            failure = error.what();
        }
        const std::lock_guard lock(m_mutex);
        serveFailure = std::move(failure);
        serverEnded = true;
        m_changed.notify_all();
    });
    {
        std::unique_lock lock(m_mutex);
        m_changed.wait(lock, [&] { return listening || serverEnded; });
    }
    if (serverEnded) {
        serving.join();
        say("could not serve on " + displayableText(servePath) + ": " +
            serveFailure.value_or("the server ended"));
        deregister();
        return 1;
    }
    if (verbose) {
        say("registered as " + std::to_string(registration.uuid) + ", serving on " +
            displayableText(servePath));
    }

    const auto interval = std::max(m_options.interval, std::chrono::seconds(1));
    bool coreGone = false;
    for (;;) {
        const auto failure = callCore(corePath, [](osquery_api::ExtensionManagerClient& core) {
            osquery_api::ExtensionStatus status;
            core.ping(status);
            if (status.code != 0) {
                throw apache::thrift::TException("the core answered status " +
                                                 std::to_string(status.code));
            }
        });
        if (failure) {
            say("the osquery core is gone (" + *failure + "); exiting");
            coreGone = true;
            break;
        }
        if (waitForStop(interval)) {
            break;
        }
    }
    if (!coreGone) {
        deregister();
    }
    server.stop();
    serving.join();
    removeStaleSocket(servePath);
    return 0;
}

} // namespace daemonary
