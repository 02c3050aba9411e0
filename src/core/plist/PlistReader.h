#pragma once

#include "model/DefinitionProblem.h"
#include "model/LaunchItem.h"
#include "plist/PropertyList.h"

#include <optional>
#include <string>
#include <variant>

namespace daemonary {

class HostLayout;

class PlistReader {
public:
    // One launchd definition file into a record, or nothing (logged) when it is
    // not a usable definition. Scope and type come from where the file lies;
    // with a host root the root's own prefix is not part of that test.
    static std::optional<LaunchItem> readLaunchItem(const std::string& path,
                                                    const HostLayout& layout);
    // What the interpreter or launcher a definition names goes on to run
    // (Program, ProgramArguments, WorkingDirectory).
    static std::optional<RunningProgram> runningProgramOf(const PlistDictionary& definition);
    // Whether the program a record runs stays on the host (a relative name,
    // looked up on the Mac's PATH, names no file here and passes).
    static bool programsStayOnHost(const LaunchItem& item, const HostLayout& layout);
    // The same, with the reason when the file gives no record.
    static std::variant<LaunchItem, ProblemReason> readDefinition(const std::string& path,
                                                                  const HostLayout& layout);
};

} // namespace daemonary
