#include "discovery/MetadataManager.h"

#include "platform/FileSystem.h"
#include "platform/Log.h"
#include "platform/ResourceLocator.h"
#include "plist/PropertyList.h"

#include <array>
#include <utility>

namespace daemonary {

namespace {

constexpr std::array<std::string_view, 8> kBundleSuffixes = {
    ".app", ".kext", ".bundle", ".plugin", ".xpc", ".prefPane", ".mdimporter", ".webplugin",
};

std::unordered_set<std::string> toSet(std::vector<std::string> strings) {
    return {std::make_move_iterator(strings.begin()), std::make_move_iterator(strings.end())};
}

std::string_view withoutTrailingSeparators(std::string_view path) {
    while (path.size() > 1 && path.back() == '/') {
        path.remove_suffix(1);
    }
    return path;
}

// The parent as the platform's path APIs give it: "/a/b" -> "/a", "/a" -> "/",
// "a" -> "".
std::string_view deletingLastPathComponent(std::string_view path) {
    path = withoutTrailingSeparators(path);
    const std::size_t slash = path.rfind('/');
    if (slash == std::string_view::npos) {
        return {};
    }
    if (slash == 0) {
        return path.substr(0, 1);
    }
    return withoutTrailingSeparators(path.substr(0, slash));
}

} // namespace

const MetadataManager& MetadataManager::shared() {
    static const MetadataManager instance(ResourceLocator::resourceDirectory().value_or(""));
    return instance;
}

MetadataManager::MetadataManager(std::string resourceDirectory)
    : m_resourceDirectory(std::move(resourceDirectory)) {
    m_launchdDefaults = toSet(loadDefaultList(kLaunchdListName));
    m_machDefaults = toSet(loadDefaultList(kMachListName));
    m_otherDefaults = toSet(loadDefaultList(kOtherListName));
}

std::vector<std::string> MetadataManager::loadDefaultList(std::string_view name) const {
    const auto fail = [&] {
        Log::line("MetadataManager: Failed to load default plist: " + std::string(name));
        return std::vector<std::string>{};
    };
    // Without a resource folder a bare name would be looked up in the
    // working directory; that is never the right file.
    if (m_resourceDirectory.empty()) {
        return fail();
    }
    const auto bytes =
        readFile(appendPathComponent(m_resourceDirectory, std::string(name) + ".plist"));
    if (!bytes) {
        return fail();
    }
    const auto value = parsePropertyList(*bytes);
    const PlistArray* array = value ? value->array() : nullptr;
    if (!array) {
        return fail();
    }
    std::vector<std::string> strings;
    strings.reserve(array->size());
    for (const PlistValue& element : *array) {
        const std::string* text = element.string();
        if (!text) {
            return fail();
        }
        strings.push_back(*text);
    }
    return strings;
}

bool MetadataManager::isSystemDefault(const LaunchItem& item) const {
    switch (item.scope) {
    case LaunchScope::system:
    case LaunchScope::macos:
        return m_launchdDefaults.contains(item.label) ||
               m_launchdDefaults.contains(item.label + ".plist");
    case LaunchScope::mach:
        return m_machDefaults.contains(item.label);
    case LaunchScope::kernel:
        return item.path && item.path->find("/System/Library/Extensions") != std::string::npos;
    case LaunchScope::others: {
        const std::size_t remark = item.label.find(" (");
        return m_otherDefaults.contains(item.label.substr(0, remark));
    }
    case LaunchScope::privilegedHelperTools:
    case LaunchScope::user:
    case LaunchScope::background:
        return false;
    }
    return false;
}

std::optional<std::string> MetadataManager::enclosingBundlePath(std::string_view path) {
    // "Name.app/" names the bundle itself, so a trailing separator must not
    // hide the suffix.
    path = withoutTrailingSeparators(path);
    if (path == "/") {
        return std::nullopt;
    }
    while (!path.empty()) {
        for (const std::string_view suffix : kBundleSuffixes) {
            if (path.ends_with(suffix)) {
                return std::string(path);
            }
        }
        path = deletingLastPathComponent(path);
        if (path == "/") {
            return std::nullopt;
        }
    }
    return std::nullopt;
}

std::optional<std::string> MetadataManager::iconFilePath(const LaunchItem& item,
                                                         const HostLayout& layout) {
    std::optional<std::string> chosen;
    for (const std::optional<std::string>* candidate : {&item.executablePath, &item.path}) {
        if (*candidate) {
            std::optional<std::string> onHost = layout.insideHost(**candidate);
            if (onHost && pathExists(*onHost)) {
                chosen = std::move(onHost);
                break;
            }
        }
    }
    if (!chosen) {
        return std::nullopt;
    }
    if (auto bundle = enclosingBundlePath(*chosen)) {
        return bundle;
    }
    return chosen;
}

} // namespace daemonary
