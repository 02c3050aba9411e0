#include "platform/HostLayout.h"

#include "platform/FileSystem.h"
#include "platform/Log.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <mutex>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace daemonary {
namespace {

namespace fs = std::filesystem;

class EnvironmentGuard {
public:
    explicit EnvironmentGuard(const char* name) : m_name(name) {
        if (const char* value = std::getenv(name)) {
            m_saved = value;
        }
    }
    ~EnvironmentGuard() {
        if (m_saved) {
            ::setenv(m_name, m_saved->c_str(), 1);
        } else {
            ::unsetenv(m_name);
        }
    }

private:
    const char* m_name;
    std::optional<std::string> m_saved;
};

TEST(HostLayoutTest, PathsWithoutAHostRoot) {
    const HostLayout layout("", "/Users/me");
    EXPECT_EQ(layout.launchctl(), "/bin/launchctl");
    EXPECT_EQ(layout.systemDaemons(), "/System/Library/LaunchDaemons");
    EXPECT_EQ(layout.userAgents(), "/Users/me/Library/LaunchAgents");
    EXPECT_EQ(layout.libraryExtensions(), "/Library/Extensions");
}

TEST(HostLayoutTest, HostRootPrefixesFixedPathsButNotHome) {
    const HostLayout layout("/tmp/host/", "/home/me/");
    EXPECT_EQ(layout.hostRoot(), "/tmp/host");
    EXPECT_EQ(layout.kmutil(), "/tmp/host/usr/bin/kmutil");
    EXPECT_EQ(layout.globalAgents(), "/tmp/host/Library/LaunchAgents");
    EXPECT_EQ(layout.system("relative"), "/tmp/host/relative");
    EXPECT_EQ(layout.userAgents(), "/home/me/Library/LaunchAgents");
    EXPECT_EQ(layout.home("/Library/X"), "/home/me/Library/X");
}

TEST(HostLayoutTest, OnHostTakesMacPathsUnderTheRootOnce) {
    struct Case {
        const char* path;
        const char* expected;
    };
    const HostLayout hosted("/tmp/host", "/tmp/host/Users/demo");
    for (const Case& c : std::initializer_list<Case>{
             {"/Applications/A.app", "/tmp/host/Applications/A.app"},
             {"/Users/demo/bin/tool", "/tmp/host/Users/demo/bin/tool"},
             // Found by discovery: already on the host, or in the home folder.
             {"/tmp/host/Library/LaunchAgents/a.plist", "/tmp/host/Library/LaunchAgents/a.plist"},
             {"/tmp/host", "/tmp/host"},
             {"/tmp/host/Users/demo/Library/x", "/tmp/host/Users/demo/Library/x"},
             // Only a whole folder name counts as being under the root.
             {"/tmp/hostile/x", "/tmp/host/tmp/hostile/x"},
             {"relative/x", "relative/x"},
             {"", ""}}) {
        EXPECT_EQ(hosted.onHost(c.path), c.expected) << c.path;
    }
    const HostLayout separateHome("/srv/mac", "/home/me");
    EXPECT_EQ(separateHome.onHost("/home/me/Library/LaunchAgents/a.plist"),
              "/home/me/Library/LaunchAgents/a.plist");
    // The real system: nothing changes.
    const HostLayout real("", "/Users/me");
    EXPECT_EQ(real.onHost("/Applications/A.app"), "/Applications/A.app");
}

// A path from a definition or a tool may climb with ".." or pass through a
// link; neither may lead a read out of the host.
TEST(HostLayoutTest, InsideHostKeepsEveryPathOnTheHost) {
    char pattern[] = "/tmp/daemonary-inside-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    const std::string top = pattern;
    const std::string root = top + "/host";
    const std::string home = top + "/home"; // outside the root, as HOME may be
    fs::create_directories(root + "/Library/LaunchAgents");
    fs::create_directories(root + "/Users/demo");
    fs::create_directories(home + "/Applications/A.app");
    fs::create_directories(top + "/outside/H.app/Contents");
    std::ofstream(top + "/secret") << "secret";
    fs::create_directory_symlink(top + "/outside/H.app", root + "/Library/H.app");
    fs::create_directory_symlink("../../../outside", root + "/Users/demo/up");
    fs::create_directory_symlink(root + "/Library", root + "/Users/demo/lib");
    fs::create_symlink(top + "/secret", home + "/secret-link");
    const HostLayout layout(root, home);

    struct Case {
        std::string path;
        std::optional<std::string> expected;
    };
    for (const Case& c : std::initializer_list<Case>{
             {"/Library/LaunchAgents/a.plist", root + "/Library/LaunchAgents/a.plist"},
             // ".." at the top stays there, as on the Mac.
             {"/../../../secret", root + "/secret"},
             {root + "/../secret", root + "/secret"},
             {root + "/Library/./LaunchAgents/../x", root + "/Library/x"},
             {"/Users/demo/lib/LaunchAgents", root + "/Users/demo/lib/LaunchAgents"},
             // Links out of the root, however reached.
             {"/Library/H.app/Contents/Info.plist", std::nullopt},
             {root + "/Library/H.app", std::nullopt},
             {"/Users/demo/up/H.app", std::nullopt},
             // The home folder is the user's, wherever it lies; not beyond.
             {home + "/Applications/A.app", home + "/Applications/A.app"},
             {home + "/../secret", home + "/secret"},
             {home + "/secret-link", std::nullopt},
             {"relative/x", std::nullopt},
             {"", std::nullopt}}) {
        EXPECT_EQ(layout.insideHost(c.path), c.expected) << c.path;
        // Within a load, folders are resolved once and reused; asked twice
        // in any order, the answers stay the same.
        const HostLayout::CheckMemo load;
        EXPECT_EQ(layout.insideHost(c.path), c.expected) << c.path << " (one load)";
        EXPECT_EQ(layout.insideHost(c.path), c.expected) << c.path << " (again)";
    }
    {
        const HostLayout::CheckMemo load;
        for (const char* path : {"/Users/demo/lib/H.app", "/Library/H.app/Contents/Info.plist",
                                 "/Users/demo/up/H.app/Contents", "/Library/H.app"}) {
            EXPECT_EQ(layout.insideHost(path), std::nullopt) << path;
        }
    }
    // The real system: every absolute path is the Mac's own.
    EXPECT_EQ(HostLayout("", home).insideHost("/../x"), "/../x");
    fs::remove_all(top);
}

// A load remembers where paths lead; the next load must see a folder that
// has since been replaced by a link out of the host.
TEST(HostLayoutTest, APathCheckedInOneLoadIsCheckedAgainInTheNext) {
    char pattern[] = "/tmp/daemonary-memo-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    const std::string top = pattern;
    const std::string root = top + "/host";
    fs::create_directories(root + "/usr/libexec");
    fs::create_directories(top + "/outside");
    const HostLayout layout(root, root + "/Users/demo");
    const std::string program = "/usr/libexec/missingd";
    {
        const HostLayout::CheckMemo load;
        EXPECT_EQ(layout.insideHost(program), root + program);
        EXPECT_EQ(HostLayout(layout).insideHost(program), root + program);
    }
    fs::remove_all(root + "/usr/libexec");
    fs::create_directory_symlink(top + "/outside", root + "/usr/libexec");
    {
        const HostLayout::CheckMemo load;
        EXPECT_EQ(layout.insideHost(program), std::nullopt);
    }
    EXPECT_EQ(layout.insideHost(program), std::nullopt);
    fs::remove_all(top);
}

TEST(HostLayoutTest, FromEnvironment) {
    EnvironmentGuard root("DAEMONARY_HOST_ROOT");
    EnvironmentGuard home("HOME");
    ::setenv("DAEMONARY_HOST_ROOT", "/srv/mac", 1);
    ::setenv("HOME", "/home/someone", 1);
    HostLayout layout = HostLayout::fromEnvironment();
    EXPECT_EQ(layout.osascript(), "/srv/mac/usr/bin/osascript");
    EXPECT_EQ(layout.homeDirectory(), "/home/someone");

    ::setenv("DAEMONARY_HOST_ROOT", "", 1);
    ::unsetenv("HOME");
    layout = HostLayout::fromEnvironment();
    EXPECT_EQ(layout.codesign(), "/usr/bin/codesign");
    EXPECT_FALSE(layout.homeDirectory().empty()); // from the password database
}

TEST(FileSystemTest, ListsSortedWithHiddenEntries) {
    std::string pattern = (fs::temp_directory_path() / "daemonary-fs-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    const fs::path dir = pattern;
    for (const char* name : {"b", ".hidden", "a", "B", "\xff-raw", "z.plist"}) {
        std::ofstream(dir / name) << "x";
    }
    const auto names = listDirectory(dir.string());
    ASSERT_TRUE(names);
    const std::vector<std::string> expected = {".hidden", "B", "a", "b", "z.plist", "\xff-raw"};
    EXPECT_EQ(*names, expected);
    EXPECT_FALSE(listDirectory((dir / "missing").string()));
    EXPECT_FALSE(listDirectory((dir / "a").string()));

    EXPECT_EQ(readFile((dir / "a").string()), "x");
    std::ofstream(dir / "big") << std::string(100, 'x');
    EXPECT_FALSE(readFile((dir / "big").string(), 99));
    EXPECT_EQ(readFile((dir / "big").string(), 100)->size(), 100u);
    EXPECT_FALSE(readFile(dir.string()));
    EXPECT_TRUE(isDirectory(dir.string()));
    EXPECT_FALSE(isDirectory((dir / "a").string()));
    fs::create_symlink(dir / "a", dir / "link");
    EXPECT_TRUE(pathExists((dir / "link").string()));
    fs::create_symlink(dir / "gone", dir / "dangling");
    EXPECT_FALSE(pathExists((dir / "dangling").string()));
    fs::remove_all(dir);
}

TEST(FileSystemTest, PathTextHelpers) {
    EXPECT_EQ(appendPathComponent("/a", "b"), "/a/b");
    EXPECT_EQ(appendPathComponent("/a/", "b"), "/a/b");
    EXPECT_EQ(appendPathComponent("/", "b"), "/b");
    EXPECT_EQ(lastPathComponent("/a/b.plist"), "b.plist");
    EXPECT_EQ(lastPathComponent("/a/b.app/"), "b.app");
    EXPECT_EQ(lastPathComponent("name"), "name");
    EXPECT_EQ(pathExtension("/a/b.tar.gz"), "gz");
    EXPECT_EQ(pathExtension("/a.d/b"), "");
    EXPECT_EQ(pathExtension("/a/.profile"), "");
    EXPECT_EQ(deletingPathExtension("com.example.plist"), "com.example");
    EXPECT_EQ(deletingPathExtension("/x.d/name"), "/x.d/name");
}

std::string readAll(int fd) {
    std::string bytes;
    char buffer[65536];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got <= 0) {
            return bytes;
        }
        bytes.append(buffer, static_cast<std::size_t>(got));
    }
}

TEST(LogTest, WritesWholeLinesToTheChosenStream) {
    // In a child whose standard streams are pipes: lines longer than a pipe's
    // atomic write, from several threads at once, must arrive whole.
    int out[2];
    int err[2];
    ASSERT_EQ(::pipe(out), 0);
    ASSERT_EQ(::pipe(err), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::dup2(out[1], STDOUT_FILENO);
        ::dup2(err[1], STDERR_FILENO);
        ::close(out[0]);
        ::close(err[0]);
        ::close(out[1]);
        ::close(err[1]);
        Log::setDestination(Log::Destination::standardError);
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back([t] {
                for (int i = 0; i < 50; ++i) {
                    Log::line(std::to_string(t) + ":" +
                              std::string(10000, static_cast<char>('a' + t)));
                }
            });
        }
        for (auto& thread : threads) {
            thread.join();
        }
        Log::setDestination(Log::Destination::standardOutput);
        Log::line("back on standard output");
        ::_exit(0);
    }
    ::close(out[1]);
    ::close(err[1]);
    const std::string errors = readAll(err[0]);
    const std::string output = readAll(out[0]);
    ::close(out[0]);
    ::close(err[0]);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);

    EXPECT_EQ(output, "back on standard output\n");
    std::istringstream lines(errors);
    int count = 0;
    for (std::string line; std::getline(lines, line); ++count) {
        ASSERT_EQ(line.size(), 10002u);
        const int t = line[0] - '0';
        ASSERT_TRUE(t >= 0 && t < 4);
        EXPECT_EQ(line.substr(2), std::string(10000, static_cast<char>('a' + t)));
    }
    EXPECT_EQ(count, 200);
}

TEST(LogTest, SinkReceivesWholeLines) {
    std::vector<std::string> lines;
    std::mutex mutex;
    Log::setSink([&](std::string_view line) {
        std::lock_guard lock(mutex);
        lines.emplace_back(line);
    });
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < 100; ++i) {
                Log::line("thread " + std::to_string(t) + " line " + std::to_string(i));
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    Log::setSink({});
    ASSERT_EQ(lines.size(), 400u);
    for (const auto& line : lines) {
        EXPECT_TRUE(line.starts_with("thread ")) << line;
    }
}

} // namespace
} // namespace daemonary
