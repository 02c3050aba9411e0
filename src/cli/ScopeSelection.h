#pragma once

#include "model/LaunchItem.h"

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <tuple>
#include <type_traits>
#include <vector>

namespace daemonary {

// The categories named by repeated "--scope NAME" / "--scope=NAME" options,
// shared by every command that takes them.
class ScopeSelection {
public:
    struct Error {
        std::string message;
    };

    // Whether arguments[i] is a scope option at all.
    static bool isScopeOption(const std::string& argument);

    // Takes the scope option at arguments[i], moving i past its value.
    std::optional<Error> take(const std::vector<std::string>& arguments, std::size_t& i);

    // The named categories in sidebar order; all of them when none was named.
    std::vector<LaunchScope> scopes() const;
    // Whether any category was named at all.
    bool any() const { return m_any; }

    // "Privileged, System, ..., all"
    static std::string validNames();

private:
    std::array<bool, std::tuple_size_v<std::remove_cvref_t<decltype(allScopes())>>> m_requested{};
    bool m_any = false;
};

} // namespace daemonary
