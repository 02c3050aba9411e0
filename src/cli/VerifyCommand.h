#pragma once

#include <iosfwd>
#include <string>
#include <string_view>
#include <vector>

namespace daemonary {

inline constexpr std::string_view kVerifyCommandUsage = "verify [--json] [--root DIR] PATH...";
inline constexpr std::string_view kVerifyCommandSummary =
    "Read the code signatures of files or bundles and say what they prove.";
inline constexpr std::string_view kVerifyCommandDetails =
    "verify options:\n"
    "  --json  an array, one object per path: path, class, reason, identifier,\n"
    "          teamIdentifier, organization, authorities (leaf first), cdhashes\n"
    "          (per architecture), architectures, signingTime, hardenedRuntime\n"
    "  --root DIR  each PATH is the Mac's own path (\"/Applications/X.app\"), read on\n"
    "          the disk mounted or copied at DIR; a path that leads out of DIR (by\n"
    "          \"..\" or a link) is refused in one line and counts as not intact\n"
    "  The signature is read from the file itself; no tool runs. Exit status 0 when\n"
    "  every path is intact (not Invalid, Untrusted or Unsigned), 1 otherwise.\n";

int runVerifyCommand(const std::vector<std::string>& arguments, std::ostream& out,
                     std::ostream& err);

} // namespace daemonary
