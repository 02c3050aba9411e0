#pragma once

#include "Extension.h"
#include "ExtensionTable.h"

#include <functional>
#include <memory>
#include <vector>

namespace daemonary {

// Answers osquery's calls on the extension's socket: ping, the table
// plug-ins' "columns" and "generate", and shutdown. Every request gets an
// answer; what cannot be answered gets a failure status with the reason.
class ExtensionHandler : public osquery_api::ExtensionIf {
public:
    ExtensionHandler(std::vector<std::shared_ptr<const ExtensionTable>> tables,
                     std::function<void()> onShutdown, bool verbose = false);

    void ping(osquery_api::ExtensionStatus& status) override;
    void call(osquery_api::ExtensionResponse& response, const std::string& registry,
              const std::string& item, const osquery_api::ExtensionPluginRequest& request) override;
    void shutdown() override;

    // What registration announces: every table with its columns.
    osquery_api::ExtensionRegistry registry() const;

    static osquery_api::ExtensionPluginResponse routes(const ExtensionTable& table);

private:
    const ExtensionTable* find(const std::string& name) const;

    std::vector<std::shared_ptr<const ExtensionTable>> m_tables;
    std::function<void()> m_onShutdown;
    bool m_verbose;
};

} // namespace daemonary
