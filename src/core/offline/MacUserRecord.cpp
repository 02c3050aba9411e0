#include "offline/MacUserRecord.h"

#include "plist/PropertyList.h"

#include <charconv>

namespace daemonary {

namespace {

// A user name or a path component longer than this is not one a Mac makes.
constexpr std::size_t kMaxNameBytes = 255;

const std::string* firstString(const PlistDictionary& record, const std::string& key) {
    const auto found = record.find(key);
    if (found == record.end()) {
        return nullptr;
    }
    const PlistArray* values = found->second.array();
    if (values == nullptr || values->empty()) {
        return nullptr;
    }
    return values->front().string();
}

bool isPlainComponent(std::string_view name) {
    if (name.empty() || name.size() > kMaxNameBytes || name == "." || name == "..") {
        return false;
    }
    for (const char ch : name) {
        if (ch == '/' || ch == '\0') {
            return false;
        }
    }
    return true;
}

} // namespace

std::optional<MacUser> parseMacUserRecord(std::string_view bytes) {
    const std::optional<PlistValue> value = parsePropertyList(bytes);
    const PlistDictionary* record = value ? value->dictionary() : nullptr;
    if (record == nullptr) {
        return std::nullopt;
    }
    const std::string* name = firstString(*record, "name");
    const std::string* home = firstString(*record, "home");
    if (name == nullptr || home == nullptr) {
        return std::nullopt;
    }
    MacUser result{*name, std::nullopt, *home};
    if (const std::string* uid = firstString(*record, "uid"); uid && !uid->empty()) {
        std::uint32_t number = 0;
        const char* end = uid->data() + uid->size();
        const auto [stop, error] = std::from_chars(uid->data(), end, number);
        if (error == std::errc() && stop == end) {
            result.uid = number;
        }
    }
    return result;
}

bool isLoginAccount(const MacUser& record) {
    if (!isPlainComponent(record.name) || record.name.front() == '_' || record.name == "root") {
        return false;
    }
    if (record.uid && *record.uid < kFirstLoginUid) {
        return false;
    }
    constexpr std::string_view kUsers = "/Users/";
    std::string_view home = record.home;
    if (!home.starts_with(kUsers)) {
        return false;
    }
    home.remove_prefix(kUsers.size());
    while (home.ends_with('/')) {
        home.remove_suffix(1);
    }
    if (home.empty() || home == "Shared" || home.starts_with("Shared/")) {
        return false;
    }
    // Every component plain: "/Users/../private/var/root" is not under /Users.
    while (!home.empty()) {
        const std::size_t slash = home.find('/');
        if (!isPlainComponent(home.substr(0, slash))) {
            return false;
        }
        home = slash == std::string_view::npos ? std::string_view() : home.substr(slash + 1);
    }
    return true;
}

std::optional<std::string> homeFromUsersFolder(std::string_view name) {
    if (!isPlainComponent(name) || name.front() == '.' || name == "Shared") {
        return std::nullopt;
    }
    return "/Users/" + std::string(name);
}

} // namespace daemonary
