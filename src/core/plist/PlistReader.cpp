#include "plist/PlistReader.h"

#include "platform/FileSystem.h"
#include "platform/HostLayout.h"
#include "platform/Log.h"
#include "plist/PropertyList.h"

#include <string_view>
#include <sys/stat.h>
#include <utility>

namespace daemonary {

namespace {

std::optional<std::string> executableFrom(const PlistDictionary& definition) {
    if (const auto program = definition.find("Program"); program != definition.end()) {
        if (const std::string* text = program->second.string()) {
            return *text;
        }
    }
    const auto arguments = definition.find("ProgramArguments");
    if (arguments == definition.end()) {
        return std::nullopt;
    }
    const PlistArray* list = arguments->second.array();
    if (!list || list->empty()) {
        return std::nullopt;
    }
    for (const PlistValue& element : *list) {
        if (!element.string()) {
            return std::nullopt;
        }
    }
    return *list->front().string();
}

} // namespace

std::optional<RunningProgram> PlistReader::runningProgramOf(const PlistDictionary& definition) {
    std::optional<std::string> program;
    if (const auto found = definition.find("Program"); found != definition.end()) {
        if (const std::string* text = found->second.string()) {
            program = *text;
        }
    }
    std::vector<std::string> arguments;
    if (const auto found = definition.find("ProgramArguments"); found != definition.end()) {
        if (const PlistArray* list = found->second.array()) {
            for (const PlistValue& element : *list) {
                if (!element.string()) {
                    return std::nullopt;
                }
                arguments.push_back(*element.string());
            }
        }
    }
    std::string workingDirectory = "/";
    if (const auto found = definition.find("WorkingDirectory"); found != definition.end()) {
        if (const std::string* text = found->second.string(); text && text->starts_with('/')) {
            workingDirectory = *text;
        }
    }
    return runningProgram(program, arguments, workingDirectory);
}

bool PlistReader::programsStayOnHost(const LaunchItem& item, const HostLayout& layout) {
    for (const std::optional<std::string>* path :
         {&item.executablePath, item.runs ? &item.runs->path : nullptr}) {
        if (path != nullptr && *path && (*path)->starts_with('/') && !layout.insideHost(**path)) {
            return false;
        }
    }
    return true;
}

namespace {

// With a host root, the root's own folders must not decide the category: a
// root under /Users/ would otherwise turn every definition into a user one.
std::string_view hostRelative(std::string_view path, const std::string& hostRoot) {
    if (!hostRoot.empty() && path.starts_with(hostRoot) &&
        (path.size() == hostRoot.size() || path[hostRoot.size()] == '/')) {
        path.remove_prefix(hostRoot.size());
    }
    return path;
}

LaunchScope scopeFor(std::string_view path) {
    if (path.find("/Users/") != std::string_view::npos) {
        return LaunchScope::user;
    }
    if (path.find("/System/Library") != std::string_view::npos) {
        return LaunchScope::macos;
    }
    return LaunchScope::system;
}

ServiceType typeFor(std::string_view path) {
    if (path.find("LaunchAgents") != std::string_view::npos) {
        return ServiceType::launchAgent;
    }
    if (path.find("LaunchDaemons") != std::string_view::npos) {
        return ServiceType::launchDaemon;
    }
    return ServiceType::launchService;
}

} // namespace

std::optional<LaunchItem> PlistReader::readLaunchItem(const std::string& path,
                                                      const HostLayout& layout) {
    auto read = readDefinition(path, layout);
    if (auto* item = std::get_if<LaunchItem>(&read)) {
        return std::move(*item);
    }
    return std::nullopt;
}

std::variant<LaunchItem, ProblemReason> PlistReader::readDefinition(const std::string& path,
                                                                    const HostLayout& layout) {
    // Through a link, a definition may lie anywhere; only the host's are
    // read. A device or a FIFO is no definition wherever it lies.
    if (struct stat info{};
        !layout.insideHost(path) && (::stat(path.c_str(), &info) != 0 || S_ISREG(info.st_mode))) {
        Log::line("PlistReader: Definition leads out of the host: " + path);
        return ProblemReason::outsideHost;
    }
    const auto bytes = readRegularFile(path);
    if (const auto* error = std::get_if<FileReadError>(&bytes)) {
        switch (*error) {
        case FileReadError::missing:
            return ProblemReason::missing;
        case FileReadError::notRegularFile:
            return ProblemReason::notRegularFile;
        case FileReadError::tooLarge:
            return ProblemReason::overSizeLimit;
        case FileReadError::unreadable:
            break;
        }
        return ProblemReason::unreadable;
    }
    const std::optional<PlistValue> root = parsePropertyList(std::get<std::string>(bytes));
    if (!root) {
        Log::line("PlistReader: Failed to parse plist at " + path);
        return ProblemReason::doesNotParse;
    }
    const PlistDictionary* definition = root->dictionary();
    if (!definition) {
        Log::line("PlistReader: Failed to parse plist at " + path);
        return ProblemReason::notDictionary;
    }
    const auto label = definition->find("Label");
    if (label == definition->end() || !label->second.string()) {
        Log::line("PlistReader: Missing Label in plist at " + path);
        return label == definition->end() ? ProblemReason::noLabel : ProblemReason::labelNotString;
    }

    const std::string_view locationText = hostRelative(path, layout.hostRoot());
    LaunchItem item;
    item.label = *label->second.string();
    item.path = path;
    item.executablePath = executableFrom(*definition);
    if (item.executablePath) {
        item.runs = runningProgramOf(*definition);
    }
    item.status = ServiceStatus::unknown;
    item.scope = scopeFor(locationText);
    item.type = typeFor(locationText);
    if (!programsStayOnHost(item, layout)) {
        Log::line("PlistReader: Program leads out of the host in " + path);
        return ProblemReason::outsideHost;
    }
    return item;
}

} // namespace daemonary
