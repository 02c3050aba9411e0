#pragma once

#include "discovery/BackgroundTaskTable.h"
#include "model/DefinitionProblem.h"
#include "model/LaunchItem.h"
#include "platform/HostLayout.h"
#include "platform/ToolRunner.h"

#include <chrono>
#include <string>
#include <vector>

namespace daemonary {

// Background Task Management on one host: the records `sfltool dumpbtm`
// prints, joined with the jobs found inside apps, and the allowed state they
// give records of every category.
class BackgroundTasks {
public:
    explicit BackgroundTasks(HostLayout layout);

    // One `sfltool dumpbtm`, without elevated rights. A tool that is missing,
    // fails, asks for authorization or runs out of time is one log line and
    // an empty table: the category then comes from the app scan alone.
    BackgroundTaskTable loadTable() const;
    // The same, from a finished run (logged the same way).
    static BackgroundTaskTable
    tableFromRun(const ToolResult& result,
                 std::chrono::milliseconds timeLimit = kDefaultToolTimeout);

    // The Background category before status resolution: the jobs inside apps
    // with their records, and the job records no other category lists (those
    // whose files are gone are orphaned). With `problems`, what leads out of
    // the host is added there.
    std::vector<LaunchItem> loadItems(const BackgroundTaskTable& table,
                                      std::vector<DefinitionProblem>* problems = nullptr) const;

    // Gives records of the other categories their record's facts and allowed
    // state (a legacy plist the user switched off is not allowed).
    void annotate(std::vector<LaunchItem>& items, const BackgroundTaskTable& table) const;

    std::vector<std::string> directoriesRead() const;

private:
    std::string macPath(std::string_view path) const;
    void apply(LaunchItem& item, const BackgroundTaskTable& table, std::size_t position) const;

    HostLayout m_layout;
};

} // namespace daemonary
