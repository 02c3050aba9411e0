#pragma once

#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

namespace daemonary {

// The window's own command-line options. They are answered before the
// application object exists: asking for help must neither need a display nor
// open a window.
class WindowOptions {
public:
    WindowOptions() = delete;

    // For --help / -h and --version: writes the answer to `out` and gives the
    // exit status. Nothing for any other command line, which Qt reads.
    static std::optional<int> answer(const std::vector<std::string>& arguments, std::ostream& out);

    static void printUsage(std::ostream& out);
};

} // namespace daemonary
