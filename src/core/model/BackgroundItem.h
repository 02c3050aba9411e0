#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace daemonary {

// What Background Task Management keeps about one login item, agent or daemon
// (the records `sfltool dumpbtm` prints). Texts are as the tool printed them,
// except `url` and `executablePath`, which are resolved paths on the Mac
// (nothing when the tool's path could not be resolved or was refused).
struct BackgroundItem {
    // Type flags.
    static constexpr std::uint64_t kApp = 0x2;
    static constexpr std::uint64_t kLoginItem = 0x4;
    static constexpr std::uint64_t kAgent = 0x8;
    static constexpr std::uint64_t kDaemon = 0x10;
    static constexpr std::uint64_t kDeveloper = 0x20;
    static constexpr std::uint64_t kLegacy = 0x10000;
    // Disposition flags.
    static constexpr std::uint64_t kEnabled = 0x1;
    static constexpr std::uint64_t kAllowed = 0x2;
    static constexpr std::uint64_t kHidden = 0x4;
    static constexpr std::uint64_t kNotified = 0x8;

    // The `Records for UID n` block the record was printed in; nothing when
    // the output had no such header. Negative UIDs are the system's.
    std::optional<std::int64_t> uid;
    std::optional<std::string> uuid;
    std::optional<std::string> name;
    std::optional<std::string> developerName;
    std::optional<std::string> teamIdentifier;
    // "curated legacy daemon (0x90010)": the words, then the flags in hex.
    std::optional<std::string> type;
    std::uint64_t typeFlags = 0;
    // Nothing when the record named no disposition: allowed, as launchd
    // would not be told otherwise. The printed words decide the enabled,
    // allowed and hidden bits: the printed value has been seen to disagree.
    std::optional<std::uint64_t> dispositionFlags;
    std::optional<std::string> identifier;
    std::optional<std::string> url;
    std::optional<std::string> executablePath;
    std::optional<std::string> bundleIdentifier;
    std::optional<std::string> parentIdentifier;

    bool allowed() const { return !dispositionFlags || (*dispositionFlags & kAllowed) != 0; }
    bool isJob() const { return (typeFlags & (kLoginItem | kAgent | kDaemon)) != 0; }
    bool isLegacy() const { return (typeFlags & kLegacy) != 0; }
    // "enabled", "allowed", "visible", "notified" or their clear forms.
    std::vector<std::string> dispositionWords() const;

    bool operator==(const BackgroundItem&) const = default;
};

} // namespace daemonary
