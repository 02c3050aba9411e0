#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace daemonary {

// A login account of the Mac whose disk is read.
struct MacUser {
    std::string name;
    // Nothing when only a folder under /Users named the account.
    std::optional<std::uint32_t> uid;
    // As the Mac names it ("/Users/alice").
    std::string home;

    bool operator==(const MacUser&) const = default;
};

} // namespace daemonary
