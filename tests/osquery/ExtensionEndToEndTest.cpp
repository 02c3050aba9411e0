// The built extension as osquery runs it: a stand-in core serves the
// manager's side of the interface on a socket in a temporary folder, starts
// daemonary.ext against it on the demo host and calls its tables.

#include "ActionTestSupport.h"
#include "ExtensionManager.h"
#include "platform/ToolRunner.h"

#include <condition_variable>
#include <future>
#include <gtest/gtest.h>
#include <mutex>
#include <nlohmann/json.hpp>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <thrift/protocol/TBinaryProtocol.h>
#include <thrift/server/TThreadedServer.h>
#include <thrift/transport/TBufferTransports.h>
#include <thrift/transport/TServerSocket.h>
#include <thrift/transport/TSocket.h>
#include <unistd.h>

namespace daemonary {
namespace {

namespace api = osquery_api;
using apache::thrift::protocol::TBinaryProtocol;
using apache::thrift::protocol::TBinaryProtocolFactory;
using apache::thrift::server::TThreadedServer;
using apache::thrift::transport::TBufferedTransport;
using apache::thrift::transport::TBufferedTransportFactory;
using apache::thrift::transport::TServerSocket;
using apache::thrift::transport::TSocket;
using test::readLines;
using test::TemporaryFolder;
using test::writeFile;

constexpr auto kBound = std::chrono::seconds(60);
constexpr api::ExtensionRouteUUID kUuid = 4242;

// The manager's side: records what the extension tells it.
class StandInCore : public api::ExtensionManagerIf {
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
    void registerExtension(api::ExtensionStatus& status, const api::InternalExtensionInfo& info,
                           const api::ExtensionRegistry& registry) override {
        const std::lock_guard lock(mutex);
        registered = info;
        routes = registry;
        pingsAtRegistration = pings;
        status.code = 0;
        status.uuid = kUuid;
        changed.notify_all();
    }
    void deregisterExtension(api::ExtensionStatus& status,
                             const api::ExtensionRouteUUID uuid) override {
        const std::lock_guard lock(mutex);
        deregistered.push_back(uuid);
        status.code = 0;
    }
    void query(api::ExtensionResponse&, const std::string&) override {}
    void getQueryColumns(api::ExtensionResponse&, const std::string&) override {}

    // The extension pings once it serves, so a ping after registration means
    // its socket listens.
    bool waitUntilServed() {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, kBound,
                                [&] { return registered && pings > pingsAtRegistration; });
    }

    std::mutex mutex;
    std::condition_variable changed;
    int pings = 0;
    int pingsAtRegistration = 0;
    std::optional<api::InternalExtensionInfo> registered;
    api::ExtensionRegistry routes;
    std::vector<api::ExtensionRouteUUID> deregistered;
};

// A connection to the extension, as the core makes one per call.
struct ExtensionClient {
    explicit ExtensionClient(const std::string& path)
        : socket(std::make_shared<TSocket>(path)),
          transport(std::make_shared<TBufferedTransport>(socket)),
          client(std::make_shared<TBinaryProtocol>(transport)) {
        socket->setRecvTimeout(60'000);
        transport->open();
    }
    std::shared_ptr<TSocket> socket;
    std::shared_ptr<TBufferedTransport> transport;
    api::ExtensionClient client;
};

using Rows = std::vector<std::map<std::string, std::string>>;

class ExtensionEndToEndTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        host = new TemporaryFolder;
        ToolResult made = runTool("/bin/bash",
                                  {std::string(DAEMONARY_SOURCE_DIR) + "/scripts/make-demo-host",
                                   host->path() + "/host", DAEMONARY_HOSTSIM_PATH},
                                  true, true);
        ASSERT_EQ(made.exitStatus, 0) << made.standardError;
        // codesign keeps a record of every run, then answers as before.
        const std::string root = host->path() + "/host";
        ::unlink((root + "/usr/bin/codesign").c_str());
        std::filesystem::create_directories(root + "/.recorded");
        std::filesystem::create_symlink(DAEMONARY_HOSTSIM_PATH, root + "/.recorded/codesign");
        writeFile(root + "/usr/bin/codesign",
                  "#!/bin/sh\necho \"$*\" >> '" + root + "/codesign.log'\nexec '" + root +
                      "/.recorded/codesign' \"$@\"\n",
                  true);
        ::setenv("DAEMONARY_HOST_ROOT", root.c_str(), 1);
        ::setenv("HOME", (root + "/Users/demo").c_str(), 1);
    }
    static void TearDownTestSuite() {
        runTool(DAEMONARY_HOSTSIM_PATH, {"shutdown"}, true, true);
        ::unsetenv("DAEMONARY_HOST_ROOT");
        delete host;
    }

    void SetUp() override {
        corePath = folder.path() + "/osquery.em";
        server = std::make_unique<TThreadedServer>(
            std::make_shared<api::ExtensionManagerProcessor>(core),
            std::make_shared<TServerSocket>(corePath),
            std::make_shared<TBufferedTransportFactory>(),
            std::make_shared<TBinaryProtocolFactory>());
        serving = std::thread([this] { server->serve(); });
    }

    void TearDown() override {
        stopCore();
        if (extension.valid()) {
            extension.wait();
        }
    }

    void stopCore() {
        if (serving.joinable()) {
            server->stop();
            serving.join();
        }
    }

    void startExtension(std::vector<std::string> extra = {}) {
        std::vector<std::string> arguments{"--socket", corePath,     "--timeout",
                                           "60",       "--interval", "1"};
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        extension = std::async(std::launch::async, [arguments] {
            ToolOptions options;
            options.captureError = true;
            options.timeLimit = std::chrono::milliseconds(120'000);
            return runTool(DAEMONARY_EXTENSION_PATH, arguments, options);
        });
        ASSERT_TRUE(core->waitUntilServed()) << "the extension never served";
    }

    std::string servePath() const { return corePath + "." + std::to_string(kUuid); }

    api::ExtensionResponse call(const std::string& item, const api::ExtensionPluginRequest& request,
                                const std::string& registry = "table") {
        ExtensionClient connection(servePath());
        api::ExtensionResponse response;
        connection.client.call(response, registry, item, request);
        return response;
    }

    Rows generate(const std::string& table, const std::string& context) {
        const auto response = call(table, {{"action", "generate"}, {"context", context}});
        EXPECT_EQ(response.status.code, 0) << response.status.message;
        return response.response;
    }

    ToolResult finished() {
        EXPECT_EQ(extension.wait_for(kBound * 2), std::future_status::ready);
        return extension.get();
    }

    std::vector<std::string> codesignRuns() const {
        return readLines(host->path() + "/host/codesign.log");
    }

    static TemporaryFolder* host;
    TemporaryFolder folder;
    std::string corePath;
    std::shared_ptr<StandInCore> core = std::make_shared<StandInCore>();
    std::unique_ptr<TThreadedServer> server;
    std::thread serving;
    std::future<ToolResult> extension;
};

TemporaryFolder* ExtensionEndToEndTest::host = nullptr;

// The listing's records as rows, by the column rules the README gives.
Rows expectedRows(const nlohmann::ordered_json& listing, const std::set<std::string>& columns) {
    Rows rows;
    for (const auto& [category, records] : listing.items()) {
        for (const auto& record : records) {
            std::map<std::string, std::string> row{
                {"category", category},
                {"label", record["label"]},
                {"type", record["type"]},
                {"status", record["status"]},
                {"disabled", record.value("disabled", false) ? "1" : "0"},
                {"system_default", record.value("systemDefault", false) ? "1" : "0"}};
            // null: unknown, a NULL cell.
            const auto allowed = record.find("allowedInBackground");
            if (allowed == record.end() || !allowed->is_null()) {
                row["allowed_in_background"] =
                    allowed == record.end() || allowed->get<bool>() ? "1" : "0";
            }
            for (const auto& [column, key] : {std::pair{"path", "path"},
                                              {"program", "executablePath"},
                                              {"signer", "signer"},
                                              {"team", "team"}}) {
                if (record.contains(key)) {
                    row[column] = record[key];
                }
            }
            if (record.contains("pid")) {
                row["pid"] = std::to_string(record["pid"].get<int>());
            }
            std::erase_if(row, [&](const auto& cell) { return !columns.count(cell.first); });
            rows.push_back(std::move(row));
        }
    }
    return rows;
}

// The table's rows and the listing's, read while the listing stays the same
// before and after: tests running at the same time start and stop processes
// that the status pass may find by their names.
template <typename Generate, typename List>
std::pair<Rows, Rows> readWhileStable(Generate generateRows, List listRows) {
    Rows rows;
    Rows listed;
    for (int attempt = 0; attempt < 5; ++attempt) {
        const Rows before = listRows();
        rows = generateRows();
        listed = listRows();
        if (before == listed) {
            break;
        }
    }
    return {std::move(rows), std::move(listed)};
}

// Row by row, so a failure names the record that differs.
void expectSameRows(const Rows& actual, const Rows& expected) {
    ASSERT_EQ(actual.size(), expected.size());
    for (std::size_t i = 0; i < actual.size(); ++i) {
        ASSERT_EQ(actual[i], expected[i]) << "row " << i;
    }
}

nlohmann::ordered_json cliJson(const std::vector<std::string>& arguments) {
    ToolResult run = runTool(DAEMONARY_CLI_PATH, arguments, true, true);
    EXPECT_EQ(run.exitStatus, 0) << run.standardError;
    return nlohmann::ordered_json::parse(run.standardOutput, nullptr, false);
}

TEST_F(ExtensionEndToEndTest, RegistersServesTheListingAndShutsDownWhenTold) {
    startExtension({"--verbose", "--logger_plugin=tls"});
    {
        const std::lock_guard lock(core->mutex);
        EXPECT_EQ(core->registered->name, "daemonary");
        ASSERT_EQ(core->routes["table"].size(), 2U);
    }
    // The columns registration announced are those the table answers with.
    const auto columns = call("daemonary_items", {{"action", "columns"}});
    EXPECT_EQ(columns.response, core->routes["table"]["daemonary_items"]);
    std::set<std::string> names;
    for (const auto& column : columns.response) {
        names.insert(column.at("name"));
    }
    EXPECT_EQ(names.size(), 15U);

    // Only what the query reads: no signer column, no codesign at all.
    std::set<std::string> cheap = names;
    for (const char* costly : {"signer", "team", "sha256", "program_sha256", "cdhash"}) {
        cheap.erase(costly);
    }
    nlohmann::json used = nlohmann::json::array();
    for (const auto& name : cheap) {
        used.push_back(name);
    }
    const nlohmann::json context = {{"constraints", nlohmann::json::array()}, {"colsUsed", used}};
    const auto [rows, listed] =
        readWhileStable([&] { return generate("daemonary_items", context.dump()); },
                        [&] {
                            return expectedRows(cliJson({"list", "--json", "--defaults"}), cheap);
                        });
    expectSameRows(rows, listed);
    EXPECT_TRUE(codesignRuns().empty()) << codesignRuns().front();

    // Every column of one category (codesign runs for every program, which
    // takes minutes for the whole host), as `list --signers` has them.
    const auto [user, userListed] = readWhileStable(
        [&] {
            return generate("daemonary_items",
                            R"({"constraints":[{"name":"category","list":[{"op":2,"expr":"User"}],)"
                            R"("affinity":"TEXT"}]})");
        },
        [&] {
            return expectedRows(
                cliJson({"list", "--json", "--defaults", "--signers", "--scope", "User"}), names);
        });
    EXPECT_FALSE(codesignRuns().empty());
    Rows withoutHashes = user;
    for (auto& row : withoutHashes) {
        row.erase("sha256");
        row.erase("program_sha256");
        row.erase("cdhash");
    }
    expectSameRows(withoutHashes, userListed);

    // The definition and program hashes are the snapshot's fingerprints.
    TemporaryFolder snapshotFolder;
    ToolResult snapshot =
        runTool(DAEMONARY_CLI_PATH,
                {"snapshot", "--scope", "User", "-o", snapshotFolder / "s.json"}, true, true);
    ASSERT_EQ(snapshot.exitStatus, 0) << snapshot.standardError;
    const auto taken = nlohmann::json::parse(*test::readWholeFile(snapshotFolder / "s.json"));
    const auto& records = taken["categories"]["User"];
    ASSERT_EQ(records.size(), user.size());
    std::size_t hashed = 0;
    std::size_t hashedPrograms = 0;
    for (std::size_t i = 0; i < user.size(); ++i) {
        ASSERT_EQ(user[i].at("label"), records[i]["label"]);
        const auto& fingerprint = records[i]["fingerprint"];
        if (fingerprint.contains("sha256")) {
            EXPECT_EQ(user[i].at("sha256"), fingerprint["sha256"]) << user[i].at("label");
            ++hashed;
        } else {
            EXPECT_EQ(user[i].count("sha256"), 0U) << user[i].at("label");
        }
        if (fingerprint.contains("programSha256")) {
            EXPECT_EQ(user[i].at("program_sha256"), fingerprint["programSha256"])
                << user[i].at("label");
            ++hashedPrograms;
        } else {
            EXPECT_EQ(user[i].count("program_sha256"), 0U) << user[i].at("label");
        }
        // The simulated host's programs are not Mach-O: no CDHash, no value.
        EXPECT_FALSE(fingerprint.contains("cdhashes")) << user[i].at("label");
        EXPECT_EQ(user[i].count("cdhash"), 0U) << user[i].at("label");
    }
    EXPECT_GT(hashed, 2U);
    EXPECT_GT(hashedPrograms, 0U);

    // Why each job runs.
    const Rows triggers =
        generate("daemonary_triggers",
                 R"({"constraints":[{"name":"category","list":[{"op":2,"expr":"System"}]}]})");
    ASSERT_FALSE(triggers.empty());
    bool sawCommand = false;
    for (const auto& row : triggers) {
        EXPECT_EQ(row.at("category"), "System");
        sawCommand = sawCommand ||
                     (row.at("kind") == "Command" && row.at("label") == "com.contoso.vpn.daemon");
    }
    EXPECT_TRUE(sawCommand);

    ExtensionClient(servePath()).client.shutdown();
    const ToolResult ended = finished();
    EXPECT_EQ(ended.exitStatus, 0) << ended.standardError;
    EXPECT_FALSE(ended.timedOut);
    EXPECT_NE(ended.standardError.find("ignoring --logger_plugin=tls"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(servePath())) << "the socket is left behind";
    const std::lock_guard lock(core->mutex);
    EXPECT_EQ(core->deregistered, std::vector<api::ExtensionRouteUUID>{kUuid});
}

TEST_F(ExtensionEndToEndTest, AnswersMalformedRequestsAndKeepsServing) {
    startExtension();
    struct Case {
        const char* registry;
        const char* item;
        api::ExtensionPluginRequest request;
    };
    const Case cases[] = {
        {"config", "daemonary_items", {{"action", "generate"}}},
        {"table", "processes", {{"action", "generate"}}},
        {"table", "daemonary_items", {}},
        {"table", "daemonary_items", {{"action", "delete"}}},
        {"table", "daemonary_items", {{"action", "generate"}, {"context", "{\"constraints\":"}}},
        {"table", "daemonary_items", {{"action", "generate"}, {"context", "\xff\xfe"}}},
        {"table",
         "daemonary_triggers",
         {{"action", "generate"}, {"context", std::string(100'000, '[')}}},
    };
    for (const Case& c : cases) {
        const auto response = call(c.item, c.request, c.registry);
        EXPECT_EQ(response.status.code, 1) << c.registry << "/" << c.item;
        EXPECT_FALSE(response.status.message.empty());
        EXPECT_TRUE(response.response.empty());
    }

    // Bytes that are no Thrift message at all, and a message announcing a
    // 2 GB string: the connection is dropped, the extension stays.
    for (const std::string& junk :
         {std::string("GET / HTTP/1.0\r\n\r\n"), std::string("\x80\x01\x00\x01\x00\x00\x00\x04"
                                                             "call\x00\x00\x00\x01"
                                                             "\x0b\x00\x01\x7f\xff\xff\xff",
                                                             23)}) {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, servePath().c_str(), sizeof(address.sun_path) - 1);
        ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
        ASSERT_EQ(::write(fd, junk.data(), junk.size()), static_cast<ssize_t>(junk.size()));
        ::shutdown(fd, SHUT_WR);
        char byte = 0;
        EXPECT_LE(::read(fd, &byte, 1), 0) << "the extension answered junk";
        ::close(fd);
    }
    api::ExtensionStatus status;
    ExtensionClient(servePath()).client.ping(status);
    EXPECT_EQ(status.code, 0);
    EXPECT_FALSE(generate("daemonary_items", R"({"constraints":[],"colsUsed":["label"]})").empty());
}

TEST_F(ExtensionEndToEndTest, ExitsWhenTheCoreGoesAway) {
    startExtension();
    stopCore();
    std::filesystem::remove(corePath);
    const ToolResult ended = finished();
    EXPECT_FALSE(ended.timedOut) << "still running without its core";
    EXPECT_EQ(ended.exitStatus, 0) << ended.standardError;
    EXPECT_NE(ended.standardError.find("core is gone"), std::string::npos) << ended.standardError;
}

TEST_F(ExtensionEndToEndTest, RefusesToStartWithoutAUsableSocket) {
    const std::size_t limit = sizeof(sockaddr_un::sun_path) - 1;
    struct Case {
        std::vector<std::string> arguments;
        int status;
    };
    const Case cases[] = {
        {{"--socket", "/" + std::string(limit, 'a')}, 1},
        {{"--socket", folder / "nobody-listens", "--timeout", "0"}, 1},
        {{"--timeout", "3"}, 2},
        {{"--socket", corePath, "--interval", "soon"}, 2},
    };
    for (const Case& c : cases) {
        ToolOptions options;
        options.captureError = true;
        options.timeLimit = std::chrono::milliseconds(60'000);
        const ToolResult run = runTool(DAEMONARY_EXTENSION_PATH, c.arguments, options);
        EXPECT_EQ(run.exitStatus, c.status) << c.arguments.back() << ": " << run.standardError;
        EXPECT_FALSE(run.standardError.empty());
    }
    const std::lock_guard lock(core->mutex);
    EXPECT_FALSE(core->registered) << "registered although it could not serve";
}

} // namespace
} // namespace daemonary
