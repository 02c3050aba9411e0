// Signer classes from codesign's real output, the checker through the
// simulated host's codesign, and the signer cache.

#include "insight/Signer.h"

#include "DiscoveryTestSupport.h"
#include "insight/SignerCache.h"
#include "insight/SignerChecker.h"

#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace daemonary {
namespace {

using test::LogCapture;
using test::TemporaryHost;
using test::writeFile;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::SizeIs;

ToolResult ran(int status, std::string standardError) {
    ToolResult result;
    result.exitStatus = status;
    result.standardError = std::move(standardError);
    return result;
}

// Verbatim from codesign on an ad-hoc, linker-signed Mach-O.
constexpr const char* kAdHocReport = R"(Executable=/Users/thomas/git/cohttp/foo
Identifier=foo
Format=Mach-O thin (arm64)
CodeDirectory v=20400 size=3324 flags=0x20002(adhoc,linker-signed) hashes=101+0 location=embedded
VersionPlatform=1
VersionMin=786432
VersionSDK=787200
Hash type=sha256 size=32
CandidateCDHash sha256=9ac8f2b102c6f2b8dafc777574099063f0e209f9
CandidateCDHashFull sha256=9ac8f2b102c6f2b8dafc777574099063f0e209f97f21d7afe4986451a0c30ab3
Hash choices=sha256
CMSDigest=9ac8f2b102c6f2b8dafc777574099063f0e209f97f21d7afe4986451a0c30ab3
CMSDigestType=2
Executable Segment base=0
Executable Segment limit=196608
Executable Segment flags=0x1
Page size=4096
CDHash=9ac8f2b102c6f2b8dafc777574099063f0e209f9
Signature=adhoc
Info.plist=not bound
TeamIdentifier=not set
Sealed Resources=none
Internal requirements=none
)";

// A Developer ID application: its report's head, the chain as -dvv prints it,
// and the lines that follow.
constexpr const char* kDeveloperIdReport =
    R"(Executable=/Volumes/Google Ads Editor/Google Ads Editor.app/Contents/MacOS/Google Ads Editor Launcher
Identifier=com.google.googleadseditorlauncher
Format=app bundle with Mach-O thin (x86_64)
CodeDirectory v=20500 size=558 flags=0x10000(???) hashes=10+3 location=embedded
Signature size=8961
Authority=Developer ID Application: Google, Inc. (EQHXZ8M8AV)
Authority=Developer ID Certification Authority
Authority=Apple Root CA
Timestamp=Jul 22, 2019, 7:58:21 AM
Info.plist entries=12
TeamIdentifier=EQHXZ8M8AV
Sealed Resources version=2 rules=13 files=297
Nested=Frameworks/KeystoneRegistration.framework
Nested=Frameworks/QtCore.framework
)";

// A platform binary: an Apple chain and no team.
constexpr const char* kAppleReport = R"(Executable=/usr/libexec/trustd
Identifier=com.apple.trustd
Format=Mach-O universal (x86_64 arm64e)
CodeDirectory v=20400 size=5811 flags=0x0(none) hashes=171+7 location=embedded
Platform identifier=16
Signature size=4442
Authority=Software Signing
Authority=Apple Code Signing Certification Authority
Authority=Apple Root CA
Info.plist=not bound
TeamIdentifier=not set
Sealed Resources=none
Internal requirements count=1 size=64
)";

// A self-made chain that names itself after Apple's: codesign prints these
// names, and only a requirement can tell it from the real one.
constexpr const char* kForgedAppleReport = R"(Executable=/Users/demo/.agent/agent
Identifier=com.apple.security.agent
Authority=Software Signing
Authority=Apple Code Signing Certification Authority
Authority=Apple Root CA
TeamIdentifier=not set
)";

constexpr const char* kRequirementFailed =
    "/x: test-requirement: code failed to satisfy specified code requirement(s)\n";

TEST(ClassifySignerTest, OnlyARequirementThatHeldRaisesTheClass) {
    struct Case {
        const char* name;
        ToolResult display;
        std::optional<ToolResult> apple;
        std::optional<ToolResult> developerId;
        Signer expected;
    };
    ToolResult launchFailure;
    launchFailure.launchError = LaunchError{ENOENT, "No such file or directory"};
    ToolResult timedOut = ran(137, "Executable=/x\n");
    timedOut.timedOut = true;
    const ToolResult held = ran(0, "");
    const ToolResult failed = ran(3, kRequirementFailed);
    const std::string googleLeaf = "Developer ID Application: Google, Inc. (EQHXZ8M8AV)";
    const std::string forgedLeaf = "Developer ID Application: Apple Inc. (ABCDE12345)";

    const std::vector<Case> cases = {
        {"apple",
         ran(0, kAppleReport),
         held,
         std::nullopt,
         {SignerKind::apple, "", "", "", "Software Signing"}},
        {"developer ID",
         ran(0, kDeveloperIdReport),
         failed,
         held,
         {SignerKind::developerId, "Google, Inc.", "EQHXZ8M8AV", "", googleLeaf}},
        {"ad hoc", ran(0, kAdHocReport), failed, std::nullopt, {SignerKind::adHoc, "", "", "", ""}},
        // Names of Apple's chain, no team: still not Apple without the proof.
        {"forged apple names",
         ran(0, kForgedAppleReport),
         failed,
         failed,
         {SignerKind::unknown, "", "", "not from Apple's authority", "Software Signing"}},
        {"forged developer ID names",
         ran(0,
             "Authority=" + forgedLeaf + "\nAuthority=Apple Root CA\nTeamIdentifier=ABCDE12345\n"),
         failed,
         failed,
         {SignerKind::unknown, "", "", "not from Apple's authority", forgedLeaf}},
        // The report's names do not matter the other way round either.
        {"apple without names",
         ran(0, "Executable=/x\nIdentifier=x\n"),
         held,
         std::nullopt,
         {SignerKind::apple, "", "", "", ""}},
        {"development certificate",
         ran(0, "Authority=Apple Development: Jane Roe (AB12CD34EF)\nAuthority=Apple Root CA\n"),
         failed,
         failed,
         {SignerKind::unknown, "", "", "not from Apple's authority",
          "Apple Development: Jane Roe (AB12CD34EF)"}},
        {"CRLF report",
         ran(0, "Authority=Software Signing\r\nAuthority=Apple Root CA\r\nTeamIdentifier=not "
                "set\r\n"),
         held,
         std::nullopt,
         {SignerKind::apple, "", "", "", "Software Signing"}},
        {"tampered developer ID",
         ran(0, kDeveloperIdReport),
         ran(1, "/Applications/A: B.app: invalid signature (code or signature have been "
                "modified)\nIn architecture: x86_64\n"),
         std::nullopt,
         {SignerKind::invalid, "", "", "invalid signature (code or signature have been modified)",
          googleLeaf}},
        {"tampered ad hoc bundle",
         ran(0, kAdHocReport),
         ran(1, "/Applications/A.app: a sealed resource is missing or invalid\n"
                "file modified: /Applications/A.app/Contents/Info.plist\n"),
         std::nullopt,
         {SignerKind::invalid, "", "", "a sealed resource is missing or invalid", ""}},
        {"replaced between runs",
         ran(0, kDeveloperIdReport),
         failed,
         ran(1, "/x: code object is not signed at all\n"),
         {SignerKind::notSigned, "", "", "", ""}},
        {"unsigned",
         ran(1, "/Applications/Octave-8.4.0_beta3.app: code object is not signed at all\n"
                "In subcomponent: /Applications/Octave-8.4.0_beta3.app/Contents/MacOS/usr/bin/"
                ".keepme\n"),
         std::nullopt,
         std::nullopt,
         {SignerKind::notSigned, "", "", "", ""}},
        {"missing",
         ran(1, "/Applications/Gone.app: No such file or directory\n"),
         std::nullopt,
         std::nullopt,
         {SignerKind::missing, "", "", "", ""}},
        {"tool missing",
         launchFailure,
         std::nullopt,
         std::nullopt,
         {SignerKind::unknown, "", "", "codesign could not be used: No such file or directory",
          ""}},
        {"timed out",
         timedOut,
         std::nullopt,
         std::nullopt,
         {SignerKind::unknown, "", "", "codesign did not answer in time", ""}},
        {"crashed",
         ran(139, ""),
         std::nullopt,
         std::nullopt,
         {SignerKind::unknown, "", "", "codesign failed with status 139", ""}},
        {"other failure",
         ran(1, "/x: invalid or unsupported format for signature\n"),
         std::nullopt,
         std::nullopt,
         {SignerKind::unknown, "", "",
          "codesign failed with status 1: invalid or unsupported format for signature", ""}},
        {"requirement timed out",
         ran(0, kAppleReport),
         timedOut,
         std::nullopt,
         {SignerKind::unknown, "", "", "codesign --verify did not answer in time", ""}},
        {"requirement usage error",
         ran(0, kAppleReport),
         ran(2, "usage"),
         std::nullopt,
         {SignerKind::unknown, "", "", "codesign --verify failed with status 2", ""}},
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        const Signer signer =
            classifySigner(SigningEvidence{testCase.display, testCase.apple, testCase.developerId});
        EXPECT_EQ(signer, testCase.expected) << signer.description();
    }
}

TEST(SignerJsonTest, RoundTripsAndRejectsWhatItDidNotWrite) {
    const Signer developer{SignerKind::developerId, "Northwind Traders", "N7W4D2TR8S", "", ""};
    EXPECT_EQ(toJson(developer).dump(),
              R"j({"kind":"developerID","signer":"Developer ID: Northwind Traders (N7W4D2TR8S)",)j"
              R"j("team":"N7W4D2TR8S","organization":"Northwind Traders"})j");
    for (const Signer& signer :
         {developer, Signer{SignerKind::apple, "", "", "", {}},
          Signer{SignerKind::unknown, "", "", "codesign did not answer in time", {}},
          Signer{SignerKind::unknown, "", "", "not from Apple's authority", "Apple Root CA"}}) {
        EXPECT_EQ(signerFromJson(nlohmann::json::parse(toJson(signer).dump())), signer);
    }
    for (const char* bad : {R"([])", R"({})", R"({"kind": "trusted"})", R"({"kind": 3})",
                            R"({"kind": "apple", "team": 5})"}) {
        EXPECT_EQ(signerFromJson(nlohmann::json::parse(bad)), std::nullopt) << bad;
    }
}

TEST(SignerTargetTest, ExecutableElseTheBundleTheRecordIs) {
    const auto item = [](std::optional<std::string> path, std::optional<std::string> executable) {
        LaunchItem record;
        record.label = "x";
        record.path = std::move(path);
        record.executablePath = std::move(executable);
        return record;
    };
    EXPECT_EQ(signerTarget(item("/Library/LaunchDaemons/x.plist", "/usr/libexec/x")),
              "/usr/libexec/x");
    EXPECT_EQ(signerTarget(item("/Applications/Skyline.app", std::nullopt)),
              "/Applications/Skyline.app");
    EXPECT_EQ(signerTarget(item("/Library/Extensions/Driver.kext", std::nullopt)),
              "/Library/Extensions/Driver.kext");
    EXPECT_EQ(signerTarget(item("/Library/LaunchDaemons/x.plist", std::nullopt)), std::nullopt);
    EXPECT_EQ(signerTarget(item("/Applications/A.app/Contents/Info.plist", std::nullopt)),
              std::nullopt);
    EXPECT_EQ(signerTarget(item(std::nullopt, std::nullopt)), std::nullopt);
}

// A small host whose codesign is the simulator, one file per class.
class SignerCheckerTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::create_directories(host / "/usr/bin");
        std::filesystem::create_symlink(DAEMONARY_HOSTSIM_PATH, host / "/usr/bin/codesign");
        for (const char* file : {"/usr/libexec/trustd", "/opt/adhoc", "/opt/developer",
                                 "/opt/tampered", "/opt/unsigned", "/opt/crash", "/opt/hang",
                                 "/opt/forged-apple", "/opt/forged-developer"}) {
            writeFile(host / file, "binary", true);
        }
        writeFile(host / "/Applications/Sealed.app/Contents/Info.plist",
                  "<plist version=\"1.0\"><dict/></plist>");
        writeFile(host / "/.hostsim/state.json", R"j({"signed": {
            "usr/libexec/trustd": {"kind": "apple"},
            "opt/adhoc": {"kind": "adhoc"},
            "opt/developer": {"organization": "Contoso Ltd", "teamIdentifier": "C0N7050L7D"},
            "opt/tampered": {"organization": "Contoso Ltd", "teamIdentifier": "C0N7050L7D",
                             "tampered": true},
            "Applications/Sealed.app": {"kind": "adhoc", "tampered": true},
            "opt/crash": {"kind": "apple", "fault": "crash"},
            "opt/hang": {"kind": "apple", "fault": "hang"},
            "opt/forged-apple": {"kind": "selfSigned", "teamIdentifier": "",
                "authorities": ["Software Signing", "Apple Code Signing Certification Authority",
                                "Apple Root CA"]},
            "opt/forged-developer": {"kind": "selfSigned", "teamIdentifier": "C0N7050L7D",
                "authorities": ["Developer ID Application: Contoso Ltd (C0N7050L7D)",
                                "Developer ID Certification Authority", "Apple Root CA"]}}})j");
    }

    TemporaryHost host;
};

TEST_F(SignerCheckerTest, EveryClassThroughTheSimulatedCodesign) {
    const SignerChecker checker(host.layout(), std::chrono::milliseconds(500));
    struct Case {
        const char* target;
        std::string description;
    };
    const std::vector<Case> cases = {
        {"/usr/libexec/trustd", "Apple"},
        {"/opt/adhoc", "Ad hoc"},
        {"/opt/developer", "Developer ID: Contoso Ltd (C0N7050L7D)"},
        {"/opt/tampered", "Invalid (invalid signature (code or signature have been modified); "
                          "certificate \"Developer ID Application: Contoso Ltd (C0N7050L7D)\")"},
        {"/Applications/Sealed.app", "Invalid (a sealed resource is missing or invalid)"},
        {"/opt/unsigned", "Unsigned"},
        {"/opt/gone", "Missing"},
        {"/opt/crash", "Unknown (codesign failed with status"},
        {"/opt/hang", "Unknown (codesign did not answer in time)"},
        {"relative/path", "Unknown (not an absolute path)"},
        // Self-made chains named after Apple's and a Developer ID's.
        {"/opt/forged-apple",
         "Unknown (not from Apple's authority; certificate \"Software Signing\")"},
        {"/opt/forged-developer", "Unknown (not from Apple's authority; certificate "
                                  "\"Developer ID Application: Contoso Ltd (C0N7050L7D)\")"},
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.target);
        // A prefix: how a signalled tool's status is worded is the runner's.
        EXPECT_THAT(checker.check(testCase.target).description(),
                    testing::StartsWith(testCase.description));
    }
    // A path already on the host is the same file as its Mac path.
    EXPECT_EQ(checker.check(host / "/opt/adhoc").text(), "Ad hoc");
}

TEST_F(SignerCheckerTest, OneRecordForShowingOnItsOwn) {
    const SignerChecker checker(host.layout());
    LaunchItem item;
    item.label = "com.contoso.agent";
    item.path = "/Library/LaunchAgents/com.contoso.agent.plist";
    EXPECT_EQ(checker.checkRecord(item), std::nullopt);
    EXPECT_EQ(toJson(checker.checkRecord(item)), nullptr);
    EXPECT_EQ(signerLine(checker.checkRecord(item)), "Signed By: -");

    item.executablePath = "/opt/developer";
    const auto signer = checker.checkRecord(item);
    ASSERT_TRUE(signer);
    EXPECT_EQ(toJson(signer).dump(),
              R"j({"kind":"developerID","signer":"Developer ID: Contoso Ltd (C0N7050L7D)",)j"
              R"j("team":"C0N7050L7D","organization":"Contoso Ltd",)j"
              R"j("authority":"Developer ID Application: Contoso Ltd (C0N7050L7D)",)j"
              R"j("path":"/opt/developer"})j");
    EXPECT_EQ(signerLine(signer),
              "Signed By: Developer ID: Contoso Ltd (C0N7050L7D) (/opt/developer)");
}

// Waits until the change-time clock has moved past the file's change time,
// so that a change made now is one stat can see.
void awaitNextChangeTime(const std::string& path) {
    // Beside the host, not in the file's folder, whose own times would change.
    const std::string probe =
        (std::filesystem::temp_directory_path() / ("daemonary-probe-" + std::to_string(::getpid())))
            .string();
    writeFile(probe, "");
    const auto before = fileIdentity(path);
    ASSERT_TRUE(before);
    for (int attempt = 0; attempt < 10'000'000; ++attempt) {
        ASSERT_EQ(::chmod(probe.c_str(), attempt % 2 == 0 ? 0600 : 0644), 0);
        if (fileIdentity(probe)->changed > before->changed) {
            std::filesystem::remove(probe);
            return;
        }
    }
    FAIL() << "the change-time clock never moved";
}

// New contents of the same size under the old modification time.
void rewriteInPlace(const std::string& path, const std::string& contents) {
    struct stat before {};
    ASSERT_EQ(::stat(path.c_str(), &before), 0);
    awaitNextChangeTime(path);
    writeFile(path, contents, true);
    const timespec times[2] = {before.st_atim, before.st_mtim};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    ASSERT_EQ(std::filesystem::file_size(path), static_cast<std::uintmax_t>(before.st_size));
}

// Another file of the same size and modification time, moved over the old one.
void swapByRename(const std::string& path, const std::string& contents) {
    struct stat before {};
    ASSERT_EQ(::stat(path.c_str(), &before), 0);
    writeFile(path + ".new", contents, true);
    const timespec times[2] = {before.st_atim, before.st_mtim};
    ASSERT_EQ(::utimensat(AT_FDCWD, (path + ".new").c_str(), times, 0), 0);
    std::filesystem::rename(path + ".new", path);
}

TEST_F(SignerCheckerTest, AnyChangeToWhatTheSignatureCoversMissesTheCache) {
    writeFile(host / "/Applications/Tool.app/Contents/Info.plist",
              "<plist version=\"1.0\"><dict><key>CFBundleExecutable</key>"
              "<string>ToolMain</string></dict></plist>");
    writeFile(host / "/Applications/Tool.app/Contents/MacOS/ToolMain", "program", true);
    const SignerChecker checker(host.layout());
    EXPECT_EQ(checker.stamp("/opt/gone"), std::nullopt);
    EXPECT_EQ(checker.stamp("/Applications/Tool.app"), checker.stamp("/Applications/Tool.app"));

    struct Case {
        const char* name;
        const char* target;
        std::function<void()> change;
    };
    const std::vector<Case> cases = {
        {"rewritten in place, same size and time", "/opt/adhoc",
         [&] { rewriteInPlace(host / "/opt/adhoc", "BINARY"); }},
        {"swapped by a rename, same size and time", "/opt/developer",
         [&] { swapByRename(host / "/opt/developer", "BINARY"); }},
        {"main executable rewritten in place", "/Applications/Tool.app",
         [&] {
             rewriteInPlace(host / "/Applications/Tool.app/Contents/MacOS/ToolMain", "PROGRAM");
         }},
        {"seal written", "/Applications/Sealed.app",
         [&] {
             writeFile(host / "/Applications/Sealed.app/Contents/_CodeSignature/CodeResources",
                       "<plist version=\"1.0\"><dict/></plist>");
         }},
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        SignerCache cache;
        const auto before = checker.stamp(testCase.target);
        ASSERT_TRUE(before);
        cache.store(testCase.target, *before, Signer{SignerKind::adHoc, "", "", "", ""});
        testCase.change();
        const auto after = checker.stamp(testCase.target);
        ASSERT_TRUE(after);
        EXPECT_EQ(cache.lookup(testCase.target, *after), std::nullopt);
    }
}

class SignerCacheTest : public ::testing::Test {
protected:
    std::string file() const { return host / "/signers.json"; }
    TemporaryHost host;
};

SignerStamp stampOf(std::int64_t size, std::int64_t modified, std::int64_t inode = 1,
                    std::int64_t changed = 1) {
    return SignerStamp{{size, modified, inode, changed}, {}};
}

TEST_F(SignerCacheTest, KeepsWhatDescribesTheFileAcrossASaveAndLoad) {
    const Signer apple{SignerKind::apple, "", "", "", "Software Signing"};
    const Signer developer{SignerKind::developerId, "Contoso Ltd", "C0N7050L7D", "", ""};
    const SignerStamp bundle{{96, 5, 7, 8}, {{1, 2, 3, 4}, {}, {5, 6, 7, 8}}};
    SignerCache cache;
    cache.store("/usr/libexec/trustd", stampOf(100, 5), apple);
    cache.store("/opt/developer", stampOf(7, 9), developer);
    cache.store("/Applications/A.app", bundle, developer);
    cache.store("/opt/gone", stampOf(0, 0), Signer{SignerKind::missing, "", "", "", ""});
    cache.store("/opt/hang", stampOf(1, 1), Signer{SignerKind::unknown, "", "", "timed out", ""});
    EXPECT_EQ(cache.size(), 3u);
    EXPECT_EQ(cache.lookup("/usr/libexec/trustd", stampOf(100, 5)), (CachedSigner{apple, true}));
    ASSERT_TRUE(cache.save(file()));

    // What comes back from the file is shown, but proves nothing.
    SignerCache loaded;
    ASSERT_TRUE(loaded.load(file()));
    EXPECT_EQ(loaded.lookup("/usr/libexec/trustd", stampOf(100, 5)), (CachedSigner{apple, false}));
    EXPECT_EQ(loaded.lookup("/opt/developer", stampOf(7, 9)), (CachedSigner{developer, false}));
    EXPECT_EQ(loaded.lookup("/Applications/A.app", bundle), (CachedSigner{developer, false}));
    // Any other size, time, inode or change time is another file.
    for (const SignerStamp& other : {stampOf(101, 5), stampOf(100, 6), stampOf(100, 5, 2, 1),
                                     stampOf(100, 5, 1, 2), SignerStamp{{100, 5, 1, 1}, {{}}}}) {
        EXPECT_EQ(loaded.lookup("/usr/libexec/trustd", other), std::nullopt);
    }
    EXPECT_EQ(loaded.lookup("/opt/hang", stampOf(1, 1)), std::nullopt);

    // Entries nobody asked for since the load drop out of the next save.
    SignerCache again;
    ASSERT_TRUE(again.load(file()));
    EXPECT_TRUE(again.lookup("/opt/developer", stampOf(7, 9)));
    ASSERT_TRUE(again.save(file()));
    SignerCache pruned;
    ASSERT_TRUE(pruned.load(file()));
    EXPECT_EQ(pruned.size(), 1u);
    // Nothing but the cache file is left in its folder.
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(host.root())) {
        names.push_back(entry.path().filename().string());
    }
    EXPECT_THAT(names, testing::UnorderedElementsAre("signers.json", "Users"));

    // An older release's cache, stamped by size and time only, starts afresh.
    writeFile(file(), R"({"version": 1, "entries": [{"path": "/x", "size": 1, "modified": 1,)"
                      R"( "signer": {"kind": "apple"}}]})");
    const LogCapture log;
    EXPECT_TRUE(loaded.load(file()));
    EXPECT_EQ(loaded.size(), 0u);
    EXPECT_THAT(log.lines(), IsEmpty());
}

TEST_F(SignerCacheTest, DamagedOrHostileFilesAreIgnoredWithOneLine) {
    const std::vector<std::pair<const char*, std::string>> cases = {
        {"not JSON", "{\"version\": 2, \"entries\": ["},
        {"binary", std::string("\0\xff\xfe garbage", 11)},
        {"wrong version", R"({"version": 99, "entries": []})"},
        {"no entries", R"({"version": 2})"},
        {"entry of the wrong type",
         R"({"version": 2, "entries": [{"path": 5, "stamp": [[1, 1, 1, 1]],)"
         R"( "signer": {"kind": "apple"}}]})"},
        {"stamp of size and time only",
         R"({"version": 2, "entries": [{"path": "/x", "stamp": [[1, 1]],)"
         R"( "signer": {"kind": "apple"}}]})"},
        {"unknown signer kind",
         R"({"version": 2, "entries": [{"path": "/x", "stamp": [[1, 1, 1, 1]],)"
         R"( "signer": {"kind": "trusted"}}]})"},
        {"deep nesting", std::string(100000, '[') + std::string(100000, ']')},
    };
    for (const auto& [name, contents] : cases) {
        SCOPED_TRACE(name);
        SignerCache cache;
        cache.store("/kept", stampOf(1, 1), Signer{SignerKind::apple, "", "", "", {}});
        writeFile(file(), contents);
        const LogCapture log;
        EXPECT_FALSE(cache.load(file()));
        EXPECT_EQ(cache.size(), 0u);
        ASSERT_THAT(log.lines(), SizeIs(1));
        EXPECT_THAT(log.lines()[0], HasSubstr("SignerCache: ignoring " + file()));
        // The next save replaces it with a good one.
        cache.store("/x", stampOf(1, 1), Signer{SignerKind::notSigned, "", "", "", {}});
        ASSERT_TRUE(cache.save(file()));
        SignerCache rebuilt;
        EXPECT_TRUE(rebuilt.load(file()));
        EXPECT_EQ(rebuilt.size(), 1u);
    }

    // A FIFO in its place is never opened for reading (that would block).
    std::filesystem::remove(file());
    ASSERT_EQ(::mkfifo(file().c_str(), 0600), 0);
    SignerCache cache;
    const LogCapture log;
    EXPECT_FALSE(cache.load(file()));
    EXPECT_THAT(log.lines(), SizeIs(1));

    // No file yet is an empty cache, not an error.
    std::filesystem::remove(file());
    const LogCapture quiet;
    EXPECT_TRUE(cache.load(file()));
    EXPECT_THAT(quiet.lines(), IsEmpty());
}

} // namespace
} // namespace daemonary
