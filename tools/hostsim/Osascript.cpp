#include "Osascript.h"

#include "StateStore.h"

#include <algorithm>
#include <ostream>

namespace daemonary::hostsim {

namespace {

constexpr std::string_view kLaunchScript = "launch application \"System Events\"";
constexpr std::string_view kListScript =
    "tell application \"System Events\" to get {name, path} of every login item";
constexpr std::string_view kDeletePrefix =
    "tell application \"System Events\" to delete (every login item whose path is \"";

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

ScriptError syntaxError(std::size_t from, std::size_t to, const std::string& message) {
    return ScriptError{std::to_string(from) + ":" + std::to_string(to) +
                       ": syntax error: " + message + " (-2741)"};
}

} // namespace

LoginItemScript parseLoginItemScript(std::string_view script) {
    std::size_t begin = 0;
    std::size_t end = script.size();
    while (begin < end && isBlank(script[begin]))
        ++begin;
    while (end > begin && isBlank(script[end - 1]))
        --end;
    const std::string_view body = script.substr(begin, end - begin);

    if (body == kLaunchScript)
        return LaunchSystemEvents{};
    if (body == kListScript)
        return ListLoginItems{};
    if (!body.starts_with(kDeletePrefix)) {
        return syntaxError(begin, end,
                           "The simulated System Events does not understand this script.");
    }

    // AppleScript string literal: \" and \\ stand for themselves, \n \r \t for
    // the control characters; any other escape is an error.
    std::string path;
    std::size_t i = kDeletePrefix.size();
    for (;; ++i) {
        if (i >= body.size())
            return syntaxError(begin + i, begin + i, "Expected “\"” but found end of script.");
        const char c = body[i];
        if (c == '"')
            break;
        if (c != '\\') {
            path += c;
            continue;
        }
        if (i + 1 >= body.size())
            return syntaxError(begin + i, begin + i + 1, "Expected “\"” but found end of script.");
        switch (body[++i]) {
        case '"':
            path += '"';
            break;
        case '\\':
            path += '\\';
            break;
        case 'n':
            path += '\n';
            break;
        case 'r':
            path += '\r';
            break;
        case 't':
            path += '\t';
            break;
        default:
            return syntaxError(begin + i - 1, begin + i + 1, "Unknown escape sequence.");
        }
    }
    ++i; // past the closing quote
    if (i >= body.size() || body[i] != ')')
        return syntaxError(begin + i, end, "Expected “)” but found something else.");
    ++i;
    if (i != body.size()) {
        return syntaxError(begin + i, end,
                           "Expected end of line but found “" + std::string(body.substr(i, 20)) +
                               "”.");
    }
    return DeleteLoginItems{std::move(path)};
}

int runOsascript(const HostContext& host, const std::vector<std::string>& arguments) {
    std::string script;
    bool haveScript = false;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument == "-e" && i + 1 < arguments.size()) {
            if (haveScript)
                script += '\n';
            script += arguments[++i];
            haveScript = true;
        } else if (argument == "-l" && i + 1 < arguments.size()) {
            if (arguments[++i] != "AppleScript") {
                host.err() << "osascript: unsupported language " << arguments[i] << "\n";
                return 1;
            }
        } else if (argument == "-s" && i + 1 < arguments.size()) {
            ++i; // output flags change nothing for these scripts
        } else {
            host.err() << "osascript: " << argument << ": scripts are only taken through -e here\n";
            return 1;
        }
    }
    if (!haveScript) {
        host.err() << "usage: osascript [-l language] [-e script] [-s flags]\n";
        return 1;
    }

    LoginItemScript parsed = parseLoginItemScript(script);
    if (const auto* error = std::get_if<ScriptError>(&parsed)) {
        host.err() << error->message << "\n";
        return 1;
    }
    if (std::holds_alternative<LaunchSystemEvents>(parsed))
        return 0;

    const bool deletes = std::holds_alternative<DeleteLoginItems>(parsed);
    auto opened = StateStore::open(host, deletes ? StateStore::Access::exclusive
                                                 : StateStore::Access::shared);
    if (!opened.store) {
        host.err() << "osascript: " << opened.error << "\n";
        return 1;
    }
    auto& items = opened.store->state().loginItems;

    if (const auto* deletion = std::get_if<DeleteLoginItems>(&parsed)) {
        std::erase_if(items, [&](const LoginItem& item) {
            return deletion->path == host.realPath(item.path) || deletion->path == "/" + item.path;
        });
        std::string error;
        if (!opened.store->save(error)) {
            host.err() << "osascript: " << error << "\n";
            return 1;
        }
        return 0;
    }

    std::vector<std::string> parts;
    for (const LoginItem& item : items)
        parts.push_back(item.name);
    for (const LoginItem& item : items)
        parts.push_back(host.realPath(item.path));
    std::string line;
    for (std::size_t i = 0; i < parts.size(); ++i)
        line += (i == 0 ? "" : ", ") + parts[i];
    host.out() << line << '\n';
    host.out().flush();
    return 0;
}

} // namespace daemonary::hostsim
