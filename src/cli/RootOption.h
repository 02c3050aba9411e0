#pragma once

#include "offline/MacDisk.h"

#include <cstddef>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace daemonary {

// "--root DIR" / "--root=DIR", shared by every command that reads a host.
class RootOption {
public:
    struct Error {
        std::string message;
    };

    // Whether arguments[i] is the root option at all.
    static bool isRootOption(const std::string& argument);

    // Takes the root option at arguments[i], moving i past its value.
    std::optional<Error> take(const std::vector<std::string>& arguments, std::size_t& i);

    // The folder given; nothing for the live host.
    const std::optional<std::string>& directory() const { return m_directory; }

private:
    std::optional<std::string> m_directory;
};

// The disk at `directory`, or nothing after the one line that says why not
// ("daemonary-cli: <DIR> does not look like a Mac's disk ..."); the caller
// then exits with kCliUsageError.
std::optional<MacDisk> openMacDisk(const std::string& directory, std::ostream& err);

} // namespace daemonary
