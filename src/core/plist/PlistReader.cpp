#include "plist/PlistReader.h"

#include "platform/FileSystem.h"
#include "platform/HostLayout.h"
#include "platform/Log.h"
#include "plist/PropertyList.h"

#include <string_view>

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
    const std::optional<std::string> bytes = readFile(path);
    if (!bytes) {
        return std::nullopt;
    }
    const std::optional<PlistValue> root = parsePropertyList(*bytes);
    const PlistDictionary* definition = root ? root->dictionary() : nullptr;
    if (!definition) {
        Log::line("PlistReader: Failed to parse plist at " + path);
        return std::nullopt;
    }
    const auto label = definition->find("Label");
    if (label == definition->end() || !label->second.string()) {
        Log::line("PlistReader: Missing Label in plist at " + path);
        return std::nullopt;
    }

    const std::string_view locationText = hostRelative(path, layout.hostRoot());
    LaunchItem item;
    item.label = *label->second.string();
    item.path = path;
    item.executablePath = executableFrom(*definition);
    item.status = ServiceStatus::unknown;
    item.scope = scopeFor(locationText);
    item.type = typeFor(locationText);
    return item;
}

} // namespace daemonary
