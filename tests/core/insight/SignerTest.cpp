// Signer classes from codesign's real output, the checker through the
// simulated host's codesign, and the signer cache.

#include "insight/Signer.h"

#include "DiscoveryTestSupport.h"
#include "insight/SignerCache.h"
#include "insight/SignerChecker.h"

#include <filesystem>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

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

TEST(ClassifySignerTest, EachRealReportGivesItsClass) {
    struct Case {
        const char* name;
        ToolResult display;
        std::optional<ToolResult> verify;
        Signer expected;
        std::string text;
    };
    ToolResult launchFailure;
    launchFailure.launchError = LaunchError{ENOENT, "No such file or directory"};
    ToolResult timedOut = ran(137, "Executable=/x\n");
    timedOut.timedOut = true;
    ToolResult tooLarge;
    tooLarge.launchError = LaunchError{EFBIG, "output too large (over 1048576 bytes)"};

    const std::vector<Case> cases = {
        {"ad hoc", ran(0, kAdHocReport), ran(0, ""), {SignerKind::adHoc, "", "", ""}, "Ad hoc"},
        {"developer ID",
         ran(0, kDeveloperIdReport),
         ran(0, ""),
         {SignerKind::developerId, "Google, Inc.", "EQHXZ8M8AV", ""},
         "Developer ID: Google, Inc. (EQHXZ8M8AV)"},
        {"apple", ran(0, kAppleReport), ran(0, ""), {SignerKind::apple, "", "", ""}, "Apple"},
        {"unsigned",
         ran(1, "/Applications/Octave-8.4.0_beta3.app: code object is not signed at all\n"
                "In subcomponent: /Applications/Octave-8.4.0_beta3.app/Contents/MacOS/usr/bin/"
                ".keepme\n"),
         std::nullopt,
         {SignerKind::notSigned, "", "", ""},
         "Unsigned"},
        {"missing",
         ran(1, "/Applications/Gone.app: No such file or directory\n"),
         std::nullopt,
         {SignerKind::missing, "", "", ""},
         "Missing"},
        {"invalid",
         ran(0, kDeveloperIdReport),
         ran(1, "/Applications/A: B.app: invalid signature (code or signature have been "
                "modified)\nIn architecture: x86_64\n"),
         {SignerKind::invalid, "", "", "invalid signature (code or signature have been modified)"},
         "Invalid"},
        {"invalid bundle seal",
         ran(0, kAdHocReport),
         ran(1, "/Applications/A.app: a sealed resource is missing or invalid\n"
                "file modified: /Applications/A.app/Contents/Info.plist\n"),
         {SignerKind::invalid, "", "", "a sealed resource is missing or invalid"},
         "Invalid"},
        {"tool missing",
         launchFailure,
         std::nullopt,
         {SignerKind::unknown, "", "", "codesign could not be used: No such file or directory"},
         "Unknown"},
        {"timed out",
         timedOut,
         std::nullopt,
         {SignerKind::unknown, "", "", "codesign did not answer in time"},
         "Unknown"},
        {"flood",
         tooLarge,
         std::nullopt,
         {SignerKind::unknown, "", "",
          "codesign could not be used: output too large (over "
          "1048576 bytes)"},
         "Unknown"},
        {"crashed",
         ran(139, ""),
         std::nullopt,
         {SignerKind::unknown, "", "", "codesign failed with status 139"},
         "Unknown"},
        {"other failure",
         ran(1, "/x: invalid or unsupported format for signature\n"),
         std::nullopt,
         {SignerKind::unknown, "", "",
          "codesign failed with status 1: invalid or unsupported format for signature"},
         "Unknown"},
        {"verification timed out",
         ran(0, kAppleReport),
         timedOut,
         {SignerKind::unknown, "", "", "codesign --verify did not answer in time"},
         "Unknown"},
        {"verification usage error",
         ran(0, kAppleReport),
         ran(2, "usage"),
         {SignerKind::unknown, "", "", "codesign --verify failed with status 2"},
         "Unknown"},
        {"development certificate",
         ran(0, "Authority=Apple Development: Jane Roe (AB12CD34EF)\nAuthority=Apple "
                "Worldwide Developer Relations Certification Authority\nAuthority=Apple Root "
                "CA\nTeamIdentifier=XY98ZW76VU\n"),
         ran(0, ""),
         {SignerKind::unknown, "", "",
          "signed by \"Apple Development: Jane Roe (AB12CD34EF)\", neither Apple nor a "
          "Developer ID"},
         "Unknown"},
        // An Apple chain that names a team is a third party's, not Apple's.
        {"apple chain with a team",
         ran(0, "Authority=Apple Mac OS Application Signing\nAuthority=Apple Worldwide "
                "Developer Relations Certification Authority\nAuthority=Apple Root "
                "CA\nTeamIdentifier=XY98ZW76VU\n"),
         ran(0, ""),
         {SignerKind::unknown, "", "",
          "signed by \"Apple Mac OS Application Signing\", neither Apple nor a Developer ID"},
         "Unknown"},
        {"no authority",
         ran(0, "Executable=/x\nIdentifier=x\n"),
         std::nullopt,
         {SignerKind::unknown, "", "", "codesign named no signing authority"},
         "Unknown"},
        {"CRLF report",
         ran(0, "Authority=Software Signing\r\nAuthority=Apple Root CA\r\nTeamIdentifier=not "
                "set\r\n"),
         ran(0, ""),
         {SignerKind::apple, "", "", ""},
         "Apple"},
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        const Signer signer = classifySigner(testCase.display, testCase.verify);
        EXPECT_EQ(signer, testCase.expected) << signer.description();
        EXPECT_EQ(signer.text(), testCase.text);
    }
}

TEST(ClassifySignerTest, OnlySignedCodeIsVerified) {
    EXPECT_TRUE(needsVerification(classifySigner(ran(0, kAppleReport), std::nullopt)));
    EXPECT_TRUE(needsVerification(classifySigner(ran(0, kAdHocReport), std::nullopt)));
    EXPECT_FALSE(needsVerification(
        classifySigner(ran(1, "/x: code object is not signed at all\n"), std::nullopt)));
    EXPECT_FALSE(needsVerification(classifySigner(ran(3, ""), std::nullopt)));
}

TEST(SignerJsonTest, RoundTripsAndRejectsWhatItDidNotWrite) {
    const Signer developer{SignerKind::developerId, "Northwind Traders", "N7W4D2TR8S", ""};
    EXPECT_EQ(toJson(developer).dump(),
              R"j({"kind":"developerID","signer":"Developer ID: Northwind Traders (N7W4D2TR8S)",)j"
              R"j("team":"N7W4D2TR8S","organization":"Northwind Traders"})j");
    for (const Signer& signer :
         {developer, Signer{SignerKind::apple, "", "", "", {}},
          Signer{SignerKind::unknown, "", "", "codesign did not answer in time", {}}}) {
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
                                 "/opt/tampered", "/opt/unsigned", "/opt/crash", "/opt/hang"}) {
            writeFile(host / file, "binary", true);
        }
        writeFile(host / "/Applications/Sealed.app/Contents/Info.plist",
                  "<plist version=\"1.0\"><dict/></plist>");
        writeFile(host / "/.hostsim/state.json", R"({"signed": {
            "usr/libexec/trustd": {"kind": "apple"},
            "opt/adhoc": {"kind": "adhoc"},
            "opt/developer": {"organization": "Contoso Ltd", "teamIdentifier": "C0N7050L7D"},
            "opt/tampered": {"organization": "Contoso Ltd", "teamIdentifier": "C0N7050L7D",
                             "tampered": true},
            "Applications/Sealed.app": {"kind": "adhoc", "tampered": true},
            "opt/crash": {"kind": "apple", "fault": "crash"},
            "opt/hang": {"kind": "apple", "fault": "hang"}}})");
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
        {"/opt/tampered", "Invalid (invalid signature (code or signature have been modified))"},
        {"/Applications/Sealed.app", "Invalid (a sealed resource is missing or invalid)"},
        {"/opt/unsigned", "Unsigned"},
        {"/opt/gone", "Missing"},
        {"/opt/crash", "Unknown (codesign failed with status"},
        {"/opt/hang", "Unknown (codesign did not answer in time)"},
        {"relative/path", "Unknown (not an absolute path)"},
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
              R"j("team":"C0N7050L7D","organization":"Contoso Ltd","path":"/opt/developer"})j");
    EXPECT_EQ(signerLine(signer),
              "Signed By: Developer ID: Contoso Ltd (C0N7050L7D) (/opt/developer)");
}

TEST_F(SignerCheckerTest, StampFollowsTheFileAndABundlesSeal) {
    const SignerChecker checker(host.layout());
    EXPECT_EQ(checker.stamp("/opt/gone"), std::nullopt);
    const auto before = checker.stamp("/opt/adhoc");
    ASSERT_TRUE(before);
    writeFile(host / "/opt/adhoc", "a different binary");
    EXPECT_NE(checker.stamp("/opt/adhoc"), before);

    const auto bundle = checker.stamp("/Applications/Sealed.app");
    ASSERT_TRUE(bundle);
    writeFile(host / "/Applications/Sealed.app/Contents/_CodeSignature/CodeResources",
              "<plist version=\"1.0\"><dict><key>files</key><dict/></dict></plist>");
    EXPECT_NE(checker.stamp("/Applications/Sealed.app"), bundle);
}

class SignerCacheTest : public ::testing::Test {
protected:
    std::string file() const { return host / "/signers.json"; }
    TemporaryHost host;
};

TEST_F(SignerCacheTest, KeepsWhatDescribesTheFileAcrossASaveAndLoad) {
    const Signer apple{SignerKind::apple, "", "", ""};
    const Signer developer{SignerKind::developerId, "Contoso Ltd", "C0N7050L7D", ""};
    SignerCache cache;
    cache.store("/usr/libexec/trustd", {100, 5}, apple);
    cache.store("/opt/developer", {7, 9}, developer);
    cache.store("/opt/gone", {0, 0}, Signer{SignerKind::missing, "", "", "", {}});
    cache.store("/opt/hang", {1, 1}, Signer{SignerKind::unknown, "", "", "timed out", {}});
    EXPECT_EQ(cache.size(), 2u);
    ASSERT_TRUE(cache.save(file()));

    SignerCache loaded;
    ASSERT_TRUE(loaded.load(file()));
    EXPECT_EQ(loaded.lookup("/usr/libexec/trustd", {100, 5}), apple);
    EXPECT_EQ(loaded.lookup("/opt/developer", {7, 9}), developer);
    // Another size or modification time is another file.
    EXPECT_EQ(loaded.lookup("/usr/libexec/trustd", {101, 5}), std::nullopt);
    EXPECT_EQ(loaded.lookup("/usr/libexec/trustd", {100, 6}), std::nullopt);
    EXPECT_EQ(loaded.lookup("/opt/hang", {1, 1}), std::nullopt);

    // Entries nobody asked for since the load drop out of the next save.
    SignerCache again;
    ASSERT_TRUE(again.load(file()));
    EXPECT_TRUE(again.lookup("/opt/developer", {7, 9}));
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
}

TEST_F(SignerCacheTest, DamagedOrHostileFilesAreIgnoredWithOneLine) {
    const std::vector<std::pair<const char*, std::string>> cases = {
        {"not JSON", "{\"version\": 1, \"entries\": ["},
        {"binary", std::string("\0\xff\xfe garbage", 11)},
        {"wrong version", R"({"version": 99, "entries": []})"},
        {"no entries", R"({"version": 1})"},
        {"entry of the wrong type",
         R"({"version": 1, "entries": [{"path": 5, "size": 1, "modified": 1,)"
         R"( "signer": {"kind": "apple"}}]})"},
        {"unknown signer kind",
         R"({"version": 1, "entries": [{"path": "/x", "size": 1, "modified": 1,)"
         R"( "signer": {"kind": "trusted"}}]})"},
        {"deep nesting", std::string(100000, '[') + std::string(100000, ']')},
    };
    for (const auto& [name, contents] : cases) {
        SCOPED_TRACE(name);
        SignerCache cache;
        cache.store("/kept", {1, 1}, Signer{SignerKind::apple, "", "", "", {}});
        writeFile(file(), contents);
        const LogCapture log;
        EXPECT_FALSE(cache.load(file()));
        EXPECT_EQ(cache.size(), 0u);
        ASSERT_THAT(log.lines(), SizeIs(1));
        EXPECT_THAT(log.lines()[0], HasSubstr("SignerCache: ignoring " + file()));
        // The next save replaces it with a good one.
        cache.store("/x", {1, 1}, Signer{SignerKind::notSigned, "", "", "", {}});
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
