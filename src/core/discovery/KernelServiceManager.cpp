#include "discovery/KernelServiceManager.h"

#include "platform/FileSystem.h"
#include "platform/Log.h"
#include "platform/ToolRunner.h"
#include "plist/PropertyList.h"
#include "text/Text.h"
#include "text/TextParsing.h"

#include <array>

namespace daemonary {

KernelServiceManager::KernelServiceManager(HostLayout layout) : m_layout(std::move(layout)) {}

std::optional<std::pair<std::string, std::int32_t>>
KernelServiceManager::parseLoadedExtensionLine(std::string_view line) {
    // Only the first six columns matter; the rest of a long line is not split.
    const std::vector<std::string_view> pieces = splitAtWhitespace(trimWhitespace(line), 6);
    if (pieces.size() < 6) {
        return std::nullopt;
    }
    const auto index = parseDecimalInt32(pieces[0]);
    if (!index) {
        return std::nullopt;
    }
    return std::pair{std::string(pieces[5]), *index};
}

LoadedExtensionMap KernelServiceManager::parseLoadedExtensions(std::string_view text) {
    LoadedExtensionMap loaded;
    std::string_view line;
    while (nextLine(text, line)) {
        if (auto entry = parseLoadedExtensionLine(line)) {
            loaded.insert_or_assign(std::move(entry->first), entry->second);
        }
    }
    return loaded;
}

LoadedExtensionMap KernelServiceManager::loadedExtensionIndices() const {
    std::lock_guard lock(m_mutex);
    return loadedExtensionIndicesLocked();
}

LoadedExtensionMap KernelServiceManager::loadedExtensionIndicesLocked() const {
    // kmutil's standard error ("No variant specified, ...") is no part of the
    // listing: it is chatter for the verbose log.
    const ToolResult result =
        runTool(m_layout.kmutil(), {"showloaded", "--list-only"}, m_layout.toolOptions(true, true));
    if (result.timedOut) {
        Log::line(timedOutMessage("kmutil showloaded", m_layout.toolTimeout()));
        return {};
    }
    if (const auto note = decodeUtf8(result.standardError)) {
        for (const std::string_view line : splitLines(*note)) {
            if (!trimWhitespace(line).empty()) {
                Log::info("kmutil: " + std::string(line));
            }
        }
    }
    if (result.launchError) {
        Log::line("KernelServiceManager: Failed to run kmutil: " + result.launchError->description);
        return {};
    }
    const auto text = decodeUtf8(result.standardOutput);
    if (!text) {
        return {};
    }
    return parseLoadedExtensions(*text);
}

std::optional<std::int32_t>
KernelServiceManager::matchBundle(const std::string& bundlePath,
                                  const LoadedExtensionMap& loaded) const {
    if (loaded.empty()) {
        return std::nullopt;
    }
    const std::string baseName(deletingPathExtension(lastPathComponent(bundlePath)));
    for (const std::string_view prefix :
         {std::string_view(), std::string_view("com.apple.driver."),
          std::string_view("com.apple.iokit."), std::string_view("com.apple.kext.")}) {
        if (const auto found = loaded.find(std::string(prefix) + baseName); found != loaded.end()) {
            return found->second;
        }
    }
    // Only when the name says nothing: the identifier from the bundle itself.
    const auto bytes = readFile(appendPathComponent(bundlePath, "Contents/Info.plist"));
    if (!bytes) {
        return std::nullopt;
    }
    const auto info = parsePropertyList(*bytes);
    const PlistDictionary* dictionary = info ? info->dictionary() : nullptr;
    if (!dictionary) {
        return std::nullopt;
    }
    const auto identifier = dictionary->find("CFBundleIdentifier");
    if (identifier == dictionary->end() || !identifier->second.string()) {
        return std::nullopt;
    }
    if (const auto found = loaded.find(*identifier->second.string()); found != loaded.end()) {
        return found->second;
    }
    return std::nullopt;
}

std::vector<LaunchItem> KernelServiceManager::loadKernelExtensions() const {
    return loadKernelExtensions(loadedExtensionIndices());
}

std::vector<LaunchItem>
KernelServiceManager::loadKernelExtensions(const LoadedExtensionMap& loaded) const {
    std::vector<LaunchItem> items;
    for (const std::string& folder : {m_layout.systemExtensions(), m_layout.libraryExtensions()}) {
        const auto names =
            folderStaysOnHost(folder, m_layout) ? listDirectory(folder) : std::nullopt;
        if (!names) {
            continue;
        }
        for (const std::string& name : *names) {
            if (pathExtension(name) != "kext") {
                continue;
            }
            LaunchItem item;
            item.label = name;
            item.path = appendPathComponent(folder, name);
            item.index = matchBundle(*item.path, loaded);
            item.status = item.index ? ServiceStatus::active : ServiceStatus::inactive;
            item.scope = LaunchScope::kernel;
            item.type = ServiceType::kernelExtension;
            items.push_back(std::move(item));
        }
    }
    return items;
}

} // namespace daemonary
