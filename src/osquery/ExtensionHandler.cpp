#include "ExtensionHandler.h"

#include "platform/Log.h"
#include "text/Text.h"

#include <chrono>
#include <exception>

namespace daemonary {

namespace {

constexpr int kSuccess = 0;
constexpr int kFailed = 1;

osquery_api::ExtensionStatus status(int code, std::string message) {
    osquery_api::ExtensionStatus result;
    result.code = code;
    result.message = std::move(message);
    return result;
}

void fail(osquery_api::ExtensionResponse& response, std::string message) {
    response.status = status(kFailed, std::move(message));
    response.response.clear();
}

} // namespace

ExtensionHandler::ExtensionHandler(std::vector<std::shared_ptr<const ExtensionTable>> tables,
                                   std::function<void()> onShutdown, bool verbose)
    : m_tables(std::move(tables)), m_onShutdown(std::move(onShutdown)), m_verbose(verbose) {}

void ExtensionHandler::ping(osquery_api::ExtensionStatus& result) {
    result = status(kSuccess, "OK");
}

void ExtensionHandler::call(osquery_api::ExtensionResponse& response, const std::string& registry,
                            const std::string& item,
                            const osquery_api::ExtensionPluginRequest& request) {
    if (registry != "table") {
        fail(response, "unknown registry: " + displayableText(registry));
        return;
    }
    const ExtensionTable* table = find(item);
    if (table == nullptr) {
        fail(response, "unknown table: " + displayableText(item));
        return;
    }
    const auto action = request.find("action");
    if (action == request.end()) {
        fail(response, "the request names no action");
        return;
    }
    if (action->second == "columns") {
        response.status = status(kSuccess, "OK");
        response.response = routes(*table);
        return;
    }
    if (action->second != "generate") {
        fail(response, "unknown action for " + item + ": " + displayableText(action->second));
        return;
    }

    QueryContext context;
    if (const auto text = request.find("context"); text != request.end()) {
        auto parsed = QueryContext::parse(text->second);
        if (const auto* error = std::get_if<QueryContextError>(&parsed)) {
            fail(response, "malformed query context: " + error->message);
            return;
        }
        context = std::move(std::get<QueryContext>(parsed));
    }
    const auto started = std::chrono::steady_clock::now();
    try {
        response.response = table->generate(context);
    } catch (const std::exception& failure) {
        // Memory or a thread that could not be had: the query fails, the
        // extension stays.
        fail(response, std::string("could not generate ") + item + ": " + failure.what());
        return;
    }
    response.status = status(kSuccess, "OK");
    if (m_verbose) {
        const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - started);
        Log::line("daemonary.ext: " + item + ": " + std::to_string(response.response.size()) +
                  " rows in " + std::to_string(elapsed.count()) + " ms");
    }
}

void ExtensionHandler::shutdown() {
    if (m_onShutdown) {
        m_onShutdown();
    }
}

osquery_api::ExtensionRegistry ExtensionHandler::registry() const {
    osquery_api::ExtensionRegistry registry;
    for (const auto& table : m_tables) {
        registry["table"][std::string(table->name())] = routes(*table);
    }
    return registry;
}

osquery_api::ExtensionPluginResponse ExtensionHandler::routes(const ExtensionTable& table) {
    osquery_api::ExtensionPluginResponse routes;
    for (const TableColumn& column : table.columns()) {
        routes.push_back(
            {{"id", "column"}, {"name", column.name}, {"type", column.type}, {"op", "0"}});
    }
    return routes;
}

const ExtensionTable* ExtensionHandler::find(const std::string& name) const {
    for (const auto& table : m_tables) {
        if (table->name() == name) {
            return table.get();
        }
    }
    return nullptr;
}

} // namespace daemonary
