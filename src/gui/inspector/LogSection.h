#pragma once

#include "actions/ServiceActionManager.h"
#include "insight/LogTail.h"
#include "platform/HostLayout.h"
#include "plist/PropertyList.h"

#include <QThreadPool>
#include <QWidget>
#include <cstdint>
#include <optional>
#include <vector>

class QVBoxLayout;

namespace daemonary {

// "Logs": each log file a definition names, with its size, modification
// time, last lines in a read-only monospaced view and a Reveal button.
// Files are read on this section's own pool; of several reads in flight the
// one started last decides what is shown. Hidden while nothing is named.
class LogSection : public QWidget {
    Q_OBJECT

public:
    // The manager (and its workspace) must outlive the section.
    LogSection(const ServiceActionManager& actions, HostLayout layout, QWidget* parent = nullptr);
    ~LogSection() override;

    // Starts reading the logs the definition names; "~" counts for a user's
    // agents only.
    void setDefinition(const std::optional<PlistDictionary>& definition, bool userAgent);
    // Forgets the shown logs and any read still running.
    void clear();

    const std::vector<LogReport>& reports() const { return m_reports; }
    bool isLoading() const { return m_loading; }

signals:
    // The logs of the latest definition are read and shown.
    void logsLoaded();

private:
    void showReports(std::vector<LogReport> reports);
    QWidget* makeLogView(const LogReport& report, int index);

    ServiceActionManager m_actions;
    HostLayout m_layout;
    QThreadPool m_pool;
    std::uint64_t m_request = 0;
    bool m_loading = false;
    std::vector<LogReport> m_reports;
    QWidget* m_logs = nullptr;
    QVBoxLayout* m_logsLayout = nullptr;
};

} // namespace daemonary
