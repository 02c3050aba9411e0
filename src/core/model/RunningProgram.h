#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace daemonary {

// What an interpreter or a launcher named by a definition goes on to run.
enum class RunningKind {
    script,        // a file an interpreter reads (or a document `open` hands on)
    program,       // a program a launcher (env, nohup, open, ...) starts by its path
    inlineCommand, // code on the command line (-c, -e), standard input, or a name
                   // looked up by the launcher: no file vouches for it
};

// "script", "program", "inline".
std::string_view toText(RunningKind kind);
std::optional<RunningKind> runningKindFromText(std::string_view text);

// The program that really runs when the one a definition names is an
// interpreter (sh, bash, zsh, dash, csh, tcsh, ksh, python*, perl*, ruby,
// osascript, node) or a launcher (env, nohup, nice, arch, caffeinate, open):
// signer and fingerprint are the file's, never the interpreter's.
struct RunningProgram {
    RunningKind kind = RunningKind::inlineCommand;
    // Absolute, as the Mac names it; nothing for inline code.
    std::optional<std::string> path;
    // The interpreter or launcher the definition names.
    std::string through;

    bool operator==(const RunningProgram&) const = default;
};

// Pure. launchd runs `program` when there is one, else the first argument,
// with `arguments` as its argument vector (the first is its name). Nothing
// when that program is neither an interpreter nor a launcher. A relative
// script is taken from the working directory (launchd's default is "/").
std::optional<RunningProgram> runningProgram(const std::optional<std::string>& program,
                                             const std::vector<std::string>& arguments,
                                             std::string_view workingDirectory = "/");

} // namespace daemonary
