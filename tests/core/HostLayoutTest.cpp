#include "HostLayout.h"

#include "FileSystem.h"
#include "Log.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <thread>

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
