#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace daemonary {

// One plain line per event, written whole. Standard output by default; the
// command-line tool switches to standard error so its output stays parseable.
class Log {
public:
    enum class Destination { standardOutput, standardError };

    // A warning or an error: always written, as singleLine(text). Text from
    // tools and file names may hold line breaks and terminal controls, and a
    // line per event that cannot rewrite the terminal is what readers and
    // log tools rely on.
    static void line(std::string_view text);

    // What the program is doing ("Scanning directory ..."): written like
    // line() only while verbose.
    static void info(std::string_view text);

    // On by default (the window logs everything); the command-line tool is
    // quiet unless asked.
    static void setVerbose(bool verbose);
    static bool isVerbose();

    // The text without its trailing line breaks, with the others written as
    // the two characters \n or \r, and the rest made displayable
    // (displayableText).
    static std::string singleLine(std::string_view text);

    static void setDestination(Destination destination);

    // Tests capture lines instead of writing them; an empty function restores
    // the stream.
    using Sink = std::function<void(std::string_view)>;
    static void setSink(Sink sink);

    // While one lives on a thread, the lines that thread logs are kept in it
    // instead of written, so that work spread over several threads can write
    // each part's lines together and in a fixed order (through line()).
    class Capture {
    public:
        Capture();
        ~Capture();
        Capture(const Capture&) = delete;
        Capture& operator=(const Capture&) = delete;

        std::vector<std::string> take() { return std::move(m_lines); }

    private:
        friend class Log;
        Capture* m_previous;
        std::vector<std::string> m_lines;
    };
};

} // namespace daemonary
