#include "plist/PlistReader.h"

#include "PlistTestSupport.h"
#include "platform/HostLayout.h"
#include "platform/Log.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <plist/plist.h>
#include <sys/stat.h>

namespace daemonary {
namespace {

namespace fs = std::filesystem;

class PlistReaderTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "daemonary-reader-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        m_root = pattern;
        Log::setSink([this](std::string_view line) { m_lines.emplace_back(line); });
    }
    void TearDown() override {
        Log::setSink({});
        std::error_code ignored;
        fs::remove_all(m_root, ignored);
    }

    // Places bytes at `relative` under the temporary root.
    std::string place(const std::string& relative, const std::string& bytes) {
        const fs::path path = m_root / relative;
        fs::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << bytes;
        return path.string();
    }
    std::string placeFixture(const std::string& relative, const std::string& name) {
        std::ifstream in(std::string(DAEMONARY_TEST_DATA_DIR) + "/plist/" + name, std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        EXPECT_FALSE(bytes.empty()) << name;
        return place(relative, bytes);
    }
    std::optional<LaunchItem> read(const std::string& path) {
        return PlistReader::readLaunchItem(path, m_layout);
    }
    std::optional<ProblemReason> reasonFor(const std::string& path) {
        const auto read = PlistReader::readDefinition(path, m_layout);
        const auto* reason = std::get_if<ProblemReason>(&read);
        return reason ? std::optional(*reason) : std::nullopt;
    }

    fs::path m_root;
    HostLayout m_layout{"", "/Users/tester"};
    std::vector<std::string> m_lines;
};

TEST_F(PlistReaderTest, ReadsADefinition) {
    const auto path = placeFixture("Library/LaunchAgents/a.plist", "launch-agent.plist");
    const auto item = read(path);
    ASSERT_TRUE(item);
    EXPECT_EQ(item->label, "com.example.agent");
    EXPECT_EQ(item->path, path);
    // "Program" wins over "ProgramArguments".
    EXPECT_EQ(item->executablePath, "/Applications/Example.app/Contents/MacOS/agent");
    EXPECT_EQ(item->pid, std::nullopt);
    EXPECT_EQ(item->index, std::nullopt);
    EXPECT_EQ(item->status, ServiceStatus::unknown);
    EXPECT_TRUE(m_lines.empty());
}

TEST_F(PlistReaderTest, ExecutableFallsBackToFirstArgument) {
    // "Program" that is not text counts as absent.
    auto item = read(placeFixture("a.plist", "arguments-only.plist"));
    ASSERT_TRUE(item);
    EXPECT_EQ(item->executablePath, "/usr/libexec/helper");

    item = read(placeFixture("b.plist", "empty-arguments.plist"));
    ASSERT_TRUE(item);
    EXPECT_EQ(item->executablePath, std::nullopt);

    item = read(placeFixture("c.plist", "numeric-argument.plist"));
    ASSERT_TRUE(item);
    EXPECT_EQ(item->executablePath, std::nullopt);
    EXPECT_TRUE(m_lines.empty());
}

TEST_F(PlistReaderTest, ScopeAndTypeComeFromThePath) {
    struct Case {
        std::string relative;
        LaunchScope scope;
        ServiceType type;
    };
    const Case cases[] = {
        {"Users/name/Library/LaunchAgents/x.plist", LaunchScope::user, ServiceType::launchAgent},
        {"System/Library/LaunchDaemons/x.plist", LaunchScope::macos, ServiceType::launchDaemon},
        {"Library/LaunchAgents/x.plist", LaunchScope::system, ServiceType::launchAgent},
        {"Library/LaunchDaemons/x.plist", LaunchScope::system, ServiceType::launchDaemon},
        {"Users/name/System/Library/LaunchDaemons/x.plist", LaunchScope::user,
         ServiceType::launchDaemon},
        {"Library/Other/x.plist", LaunchScope::system, ServiceType::launchService},
    };
    // The tests' own temporary folder is the host root, so its prefix is not
    // part of the test either.
    const HostLayout layout(m_root.string(), "/Users/tester");
    for (const auto& c : cases) {
        const auto path = placeFixture(c.relative, "launch-agent.plist");
        const auto item = PlistReader::readLaunchItem(path, layout);
        ASSERT_TRUE(item) << c.relative;
        EXPECT_EQ(item->scope, c.scope) << c.relative;
        EXPECT_EQ(item->type, c.type) << c.relative;
        EXPECT_EQ(item->path, path);
    }
}

TEST_F(PlistReaderTest, HostRootPrefixDoesNotDecideTheScope) {
    // A host root that itself lies under /Users/ and in a LaunchDaemons folder.
    const fs::path root = m_root / "Users/dev/LaunchDaemons/host";
    const HostLayout layout(root.string(), "/Users/tester");
    const auto path = placeFixture("Users/dev/LaunchDaemons/host/Library/LaunchAgents/x.plist",
                                   "launch-agent.plist");
    const auto item = PlistReader::readLaunchItem(path, layout);
    ASSERT_TRUE(item);
    EXPECT_EQ(item->scope, LaunchScope::system);
    EXPECT_EQ(item->type, ServiceType::launchAgent);
    EXPECT_EQ(item->path, path);
}

TEST_F(PlistReaderTest, BinaryDefinitionReadsLikeXml) {
    std::ifstream in(std::string(DAEMONARY_TEST_DATA_DIR) + "/plist/launch-agent.plist");
    const std::string xml((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    plist_t root = nullptr;
    plist_from_xml(xml.data(), static_cast<std::uint32_t>(xml.size()), &root);
    ASSERT_NE(root, nullptr);
    char* bytes = nullptr;
    std::uint32_t length = 0;
    plist_to_bin(root, &bytes, &length);
    plist_free(root);
    const std::string binary(bytes, length);
    std::free(bytes);

    const auto fromXml = read(place("Library/LaunchDaemons/xml.plist", xml));
    const auto fromBinary = read(place("Library/LaunchDaemons/bin.plist", binary));
    ASSERT_TRUE(fromXml);
    ASSERT_TRUE(fromBinary);
    EXPECT_EQ(fromBinary->label, fromXml->label);
    EXPECT_EQ(fromBinary->executablePath, fromXml->executablePath);
    EXPECT_EQ(fromBinary->type, ServiceType::launchDaemon);
}

TEST_F(PlistReaderTest, ByteOrderMarkedDefinitionsAreRead) {
    std::ifstream in(std::string(DAEMONARY_TEST_DATA_DIR) + "/plist/launch-agent.plist");
    const std::string xml((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    struct Case {
        const char* name;
        std::string bytes;
    };
    const Case cases[] = {
        {"utf8-mark.plist", "\xEF\xBB\xBF" + xml},
        {"utf16le.plist", test::encodeUnicode(xml, 2, false)},
        {"utf16be.plist", test::encodeUnicode(xml, 2, true)},
        {"utf32le.plist", test::encodeUnicode(xml, 4, false)},
    };
    for (const Case& c : cases) {
        const auto item = read(place(std::string("Library/LaunchAgents/") + c.name, c.bytes));
        ASSERT_TRUE(item) << c.name;
        EXPECT_EQ(item->label, "com.example.agent") << c.name;
        EXPECT_EQ(item->executablePath, "/Applications/Example.app/Contents/MacOS/agent") << c.name;
    }
    EXPECT_TRUE(m_lines.empty());

    // An odd byte count cannot be UTF-16: a parse failure like any other.
    const auto odd =
        place("Library/LaunchAgents/odd.plist", test::encodeUnicode(xml, 2, false) + "\n");
    EXPECT_FALSE(read(odd));
    ASSERT_EQ(m_lines.size(), 1u);
    EXPECT_EQ(m_lines[0], "PlistReader: " + odd + ": does not parse");
}

TEST_F(PlistReaderTest, RejectionsLogTheirExactLineAndGiveTheirReason) {
    struct Case {
        const char* fixture;
        const char* message;
        ProblemReason reason;
    };
    const Case cases[] = {
        // The words of list --problems, not a second vocabulary.
        {"numeric-label.plist", ": Label is not a string", ProblemReason::labelNotString},
        {"empty-dict.plist", ": no Label", ProblemReason::noLabel},
        {"top-level-array.plist", ": not a dictionary", ProblemReason::notDictionary},
        {"not-a-plist.plist", ": does not parse", ProblemReason::doesNotParse},
        {"truncated.plist", ": does not parse", ProblemReason::doesNotParse},
    };
    for (const auto& c : cases) {
        m_lines.clear();
        const auto path = placeFixture(c.fixture, c.fixture);
        EXPECT_FALSE(read(path)) << c.fixture;
        ASSERT_EQ(m_lines.size(), 1u) << c.fixture;
        EXPECT_EQ(m_lines[0], "PlistReader: " + path + c.message);
        EXPECT_EQ(reasonFor(path), c.reason) << c.fixture;
    }
}

TEST_F(PlistReaderTest, UnreadableFilesYieldNothingSilently) {
    const auto missing = (m_root / "missing.plist").string();
    EXPECT_FALSE(read(missing));
    fs::create_directories(m_root / "folder.plist");
    EXPECT_FALSE(read((m_root / "folder.plist").string()));
    // A FIFO without a writer must not block the reader.
    const auto fifo = m_root / "fifo.plist";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_FALSE(read(fifo.string()));
    EXPECT_TRUE(m_lines.empty());
    EXPECT_EQ(reasonFor(missing), ProblemReason::missing);
    EXPECT_EQ(reasonFor((m_root / "folder.plist").string()), ProblemReason::notRegularFile);
    EXPECT_EQ(reasonFor(fifo.string()), ProblemReason::notRegularFile);
}

TEST_F(PlistReaderTest, HostileNestingIsAParseFailureNotACrash) {
    const auto xmlPath = place("LaunchAgents/deep.plist", test::nestedXmlArrays(200'000));
    EXPECT_FALSE(read(xmlPath));
    const auto binaryPath =
        place("LaunchAgents/deep-binary.plist", test::nestedBinaryArrays(200'000));
    EXPECT_EQ(reasonFor(binaryPath), ProblemReason::doesNotParse);
    ASSERT_EQ(m_lines.size(), 2u);
    EXPECT_EQ(m_lines[0], "PlistReader: " + xmlPath + ": does not parse");
    EXPECT_EQ(m_lines[1], "PlistReader: " + binaryPath + ": does not parse");
}

} // namespace
} // namespace daemonary
