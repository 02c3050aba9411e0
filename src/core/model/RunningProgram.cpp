#include "model/RunningProgram.h"

#include <algorithm>
#include <array>
#include <initializer_list>
#include <utility>

namespace daemonary {

namespace {

// Launchers inside launchers beyond this are not followed: what they run is
// not attributed to any file.
constexpr int kMaxDepth = 8;

constexpr std::array<std::pair<RunningKind, std::string_view>, 3> kKindTexts = {{
    {RunningKind::script, "script"},
    {RunningKind::program, "program"},
    {RunningKind::inlineCommand, "inline"},
}};

using Words = std::vector<std::string>;

// How an interpreter's command line names the code it runs: options before
// the first operand, which is the script.
struct Syntax {
    std::string_view inlineLetters;   // in a "-xyz" cluster: code on the command line
    std::string_view valueLetters;    // take the rest of the cluster, else the next word
    std::string_view attachedLetters; // take the rest of the cluster only
    std::initializer_list<std::string_view> longWithValue;
    std::initializer_list<std::string_view> longInline;
    bool plusOptions = false; // shells also take "+o name"
};

constexpr std::string_view kShells[] = {"sh", "bash", "zsh", "dash", "csh", "tcsh", "ksh"};

enum class Family { none, interpreter, env, nohup, nice, arch, caffeinate, open };

std::string_view baseName(std::string_view path) {
    const auto slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// "python3.12", "perl5.34", "ruby3.3": a versioned name of the family.
bool isVersioned(std::string_view name, std::string_view family) {
    if (!name.starts_with(family)) {
        return false;
    }
    name.remove_prefix(family.size());
    return std::all_of(name.begin(), name.end(),
                       [](char c) { return (c >= '0' && c <= '9') || c == '.'; });
}

const Syntax* syntaxOf(std::string_view name) {
    static const Syntax shell{"cs", "oO", "", {"--rcfile", "--init-file"}, {}, true};
    static const Syntax python{"cm", "WXQ", "", {"--check-hash-based-pycs"}, {}, false};
    static const Syntax perl{"eE", "ImM", "0CdDFilx", {}, {}, false};
    static const Syntax ruby{"e", "IrCE", "0FKTWx", {}, {}, false};
    static const Syntax node{"ep",
                             "rC",
                             "",
                             {"--require", "--import", "--loader", "--experimental-loader",
                              "--input-type", "--conditions", "--title"},
                             {"--eval", "--print"},
                             false};
    static const Syntax osascript{"e", "ls", "", {}, {}, false};
    if (std::find(std::begin(kShells), std::end(kShells), name) != std::end(kShells)) {
        return &shell;
    }
    if (isVersioned(name, "python") || name == "pythonw") {
        return &python;
    }
    if (isVersioned(name, "perl")) {
        return &perl;
    }
    if (isVersioned(name, "ruby")) {
        return &ruby;
    }
    if (name == "node" || name == "nodejs") {
        return &node;
    }
    if (name == "osascript") {
        return &osascript;
    }
    return nullptr;
}

Family familyOf(std::string_view name) {
    if (syntaxOf(name) != nullptr) {
        return Family::interpreter;
    }
    constexpr std::pair<std::string_view, Family> kLaunchers[] = {
        {"env", Family::env},   {"nohup", Family::nohup},           {"nice", Family::nice},
        {"arch", Family::arch}, {"caffeinate", Family::caffeinate}, {"open", Family::open},
    };
    for (const auto& [launcher, family] : kLaunchers) {
        if (name == launcher) {
            return family;
        }
    }
    return Family::none;
}

std::string absolute(std::string_view word, std::string_view workingDirectory) {
    if (word.starts_with('/')) {
        return std::string(word);
    }
    std::string path = workingDirectory.starts_with('/') ? std::string(workingDirectory) : "/";
    if (!path.ends_with('/')) {
        path.push_back('/');
    }
    return path + std::string(word);
}

bool contains(std::initializer_list<std::string_view> list, std::string_view word) {
    return std::find(list.begin(), list.end(), word) != list.end();
}

// The script operand of an interpreter's arguments (after its name), or
// nothing when the code comes from the command line or standard input.
std::optional<std::string> scriptOperand(const Syntax& syntax, const Words& words,
                                         std::size_t from) {
    for (std::size_t i = from; i < words.size(); ++i) {
        const std::string_view word = words[i];
        if (word == "--") {
            return i + 1 < words.size() && words[i + 1] != "-" ? std::optional(words[i + 1])
                                                               : std::nullopt;
        }
        if (word == "-") {
            return std::nullopt; // standard input
        }
        if (word.starts_with("--")) {
            const std::string_view name = word.substr(0, word.find('='));
            if (contains(syntax.longInline, name)) {
                return std::nullopt;
            }
            if (name.size() == word.size() && contains(syntax.longWithValue, name)) {
                ++i;
            }
            continue;
        }
        if (word.size() > 1 && (word[0] == '-' || (syntax.plusOptions && word[0] == '+'))) {
            for (std::size_t at = 1; at < word.size(); ++at) {
                const char letter = word[at];
                if (syntax.inlineLetters.find(letter) != std::string_view::npos) {
                    return std::nullopt;
                }
                if (syntax.attachedLetters.find(letter) != std::string_view::npos) {
                    break;
                }
                if (syntax.valueLetters.find(letter) != std::string_view::npos) {
                    if (at + 1 == word.size()) {
                        ++i;
                    }
                    break;
                }
            }
            continue;
        }
        return std::string(word);
    }
    return std::nullopt;
}

// Splits env -S's string on blanks; its quoting is not followed, so a
// quoted word with blanks is taken apart (it still cannot name a file).
Words splitBlanks(std::string_view text) {
    Words words;
    std::string current;
    for (const char c : text) {
        if (c == ' ' || c == '\t') {
            if (!current.empty()) {
                words.push_back(std::move(current));
                current.clear();
            }
        } else {
            current.push_back(c);
        }
    }
    if (!current.empty()) {
        words.push_back(std::move(current));
    }
    return words;
}

// Where the command a launcher starts begins in words (after its name);
// words.size() when it starts none. env -S may rewrite the words.
std::size_t commandStart(Family family, Words& words, std::size_t from) {
    std::size_t i = from;
    const auto takesValue = [&](std::string_view word, std::string_view letters) {
        return word.size() == 2 && word[0] == '-' &&
               letters.find(word[1]) != std::string_view::npos;
    };
    for (; i < words.size(); ++i) {
        const std::string word = words[i];
        if (word == "--") {
            return i + 1;
        }
        switch (family) {
        case Family::env:
            if (word == "-S" || word == "--split-string" || word.starts_with("-S") ||
                word.starts_with("--split-string=")) {
                std::string value;
                std::size_t consumed = 1;
                if (word == "-S" || word == "--split-string") {
                    if (i + 1 < words.size()) {
                        value = words[i + 1];
                        consumed = 2;
                    }
                } else {
                    value = word.substr(word.starts_with("-S") ? 2 : word.find('=') + 1);
                }
                Words split = splitBlanks(value);
                words.erase(words.begin() + static_cast<std::ptrdiff_t>(i),
                            words.begin() + static_cast<std::ptrdiff_t>(i + consumed));
                words.insert(words.begin() + static_cast<std::ptrdiff_t>(i), split.begin(),
                             split.end());
                --i;
                continue;
            }
            if (takesValue(word, "uPC") || word == "--unset" || word == "--chdir") {
                ++i;
                continue;
            }
            if (word.starts_with('-') || word.find('=') != std::string::npos) {
                continue; // options and NAME=value
            }
            return i;
        case Family::nice:
            if (takesValue(word, "n")) {
                ++i;
                continue;
            }
            if (word.starts_with('-')) {
                continue;
            }
            return i;
        case Family::arch:
            if (word == "-arch" || takesValue(word, "ed")) {
                ++i;
                continue;
            }
            if (word.starts_with('-')) {
                continue;
            }
            return i;
        case Family::caffeinate:
            if (takesValue(word, "tw")) {
                ++i;
                continue;
            }
            if (word.starts_with('-')) {
                continue;
            }
            return i;
        case Family::nohup:
        case Family::none:
        case Family::interpreter:
        case Family::open:
            return i;
        }
    }
    return words.size();
}

std::optional<RunningProgram> opened(const Words& words, std::string_view through,
                                     std::string_view workingDirectory) {
    std::optional<std::string> application;
    bool named = false; // an application found by name or bundle identifier
    std::optional<std::string> document;
    for (std::size_t i = 1; i < words.size(); ++i) {
        const std::string& word = words[i];
        if (word == "--args") {
            break;
        }
        if (word == "-a" || word == "-b") {
            if (i + 1 < words.size()) {
                if (word == "-a" && words[i + 1].find('/') != std::string::npos) {
                    application = absolute(words[i + 1], workingDirectory);
                } else {
                    named = true;
                }
            }
            ++i;
            continue;
        }
        if (word == "-s" || word == "--env" || word == "--stdin" || word == "--stdout" ||
            word == "--stderr" || word == "-o") {
            ++i;
            continue;
        }
        if (word.starts_with('-')) {
            continue;
        }
        if (!document) {
            document = absolute(word, workingDirectory);
        }
    }
    RunningProgram result{RunningKind::inlineCommand, std::nullopt, std::string(through)};
    if (application && !named) {
        result.kind = RunningKind::program;
        result.path = application;
    } else if (!named && document) {
        result.kind =
            baseName(*document).ends_with(".app") ? RunningKind::program : RunningKind::script;
        result.path = document;
    }
    return result;
}

std::optional<RunningProgram> resolve(std::string_view executable, Words words,
                                      std::string_view through, std::string_view workingDirectory,
                                      int depth) {
    const Family family = familyOf(baseName(executable));
    if (family == Family::none) {
        return std::nullopt;
    }
    RunningProgram inlineCode{RunningKind::inlineCommand, std::nullopt, std::string(through)};
    if (depth > kMaxDepth) {
        return inlineCode;
    }
    if (family == Family::interpreter) {
        const auto script = scriptOperand(*syntaxOf(baseName(executable)), words, 1);
        if (!script) {
            return inlineCode;
        }
        return RunningProgram{RunningKind::script, absolute(*script, workingDirectory),
                              std::string(through)};
    }
    if (family == Family::open) {
        return opened(words, through, workingDirectory);
    }
    const std::size_t start = commandStart(family, words, 1);
    if (start >= words.size()) {
        // caffeinate alone holds an assertion; env alone prints; neither runs code.
        return depth == 0 ? std::nullopt : std::optional(inlineCode);
    }
    const std::string next = words[start];
    Words rest(words.begin() + static_cast<std::ptrdiff_t>(start), words.end());
    if (familyOf(baseName(next)) != Family::none) {
        return resolve(next, std::move(rest), through, workingDirectory, depth + 1);
    }
    if (next.find('/') == std::string::npos) {
        return inlineCode; // found through PATH: no path names it
    }
    return RunningProgram{RunningKind::program, absolute(next, workingDirectory),
                          std::string(through)};
}

} // namespace

std::string_view toText(RunningKind kind) {
    for (const auto& [value, text] : kKindTexts) {
        if (value == kind) {
            return text;
        }
    }
    return "inline";
}

std::optional<RunningKind> runningKindFromText(std::string_view text) {
    for (const auto& [value, name] : kKindTexts) {
        if (name == text) {
            return value;
        }
    }
    return std::nullopt;
}

std::optional<RunningProgram> runningProgram(const std::optional<std::string>& program,
                                             const std::vector<std::string>& arguments,
                                             std::string_view workingDirectory) {
    const std::string executable =
        program ? *program : (arguments.empty() ? std::string() : arguments.front());
    if (executable.empty()) {
        return std::nullopt;
    }
    Words words = arguments;
    if (words.empty()) {
        words.push_back(executable);
    }
    return resolve(executable, std::move(words), executable, workingDirectory, 0);
}

} // namespace daemonary
