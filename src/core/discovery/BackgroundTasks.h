#pragma once

#include "discovery/BackgroundTaskTable.h"
#include "model/DefinitionProblem.h"
#include "model/LaunchItem.h"
#include "platform/HostLayout.h"
#include "platform/ToolRunner.h"

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace daemonary {

// Background Task Management on one host: the records `sfltool dumpbtm`
// prints, joined with the jobs found inside apps, and the allowed state they
// give records of every category.
class BackgroundTasks {
public:
    // The records that decide the allowed state are those of userUid's
    // block and the system's; by default the user running this.
    explicit BackgroundTasks(HostLayout layout);
    BackgroundTasks(HostLayout layout, std::int64_t userUid);

    // One `sfltool dumpbtm`, without elevated rights. A tool that fails, asks
    // for authorization, runs out of time or prints nothing it can read is
    // one log line and a table that is not known(): the category then comes
    // from the app scan alone, and whether anything is allowed in the
    // background is unknown. A system without the tool keeps no records:
    // an empty table that is known.
    BackgroundTaskTable loadTable() const;
    // The same, from a finished run (logged the same way).
    static BackgroundTaskTable
    tableFromRun(const ToolResult& result, std::int64_t userUid,
                 std::chrono::milliseconds timeLimit = kDefaultToolTimeout);

    // The Background category before status resolution: the jobs inside apps
    // with their records, and the job records no other category lists (those
    // whose files are gone are orphaned). With `problems`, what leads out of
    // the host is added there.
    std::vector<LaunchItem> loadItems(const BackgroundTaskTable& table,
                                      std::vector<DefinitionProblem>* problems = nullptr) const;

    // Gives records of the other categories their record's facts and allowed
    // state (a legacy plist the user switched off is not allowed); with no
    // known table, every record's allowed state is unknown.
    void annotate(std::vector<LaunchItem>& items, const BackgroundTaskTable& table) const;

    std::vector<std::string> directoriesRead() const;

private:
    std::string macPath(std::string_view path) const;
    void apply(LaunchItem& item, const BackgroundTaskTable& table, std::size_t position) const;

    HostLayout m_layout;
    std::int64_t m_userUid;
};

} // namespace daemonary
