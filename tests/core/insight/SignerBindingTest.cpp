// Signer verdicts bound to the code they judged (CDHashes read before and
// after codesign, and in the cache's stamp), the listing's signers read from
// the file where codesign cannot run, and the CDHash where signer facts are
// written: on the real signed programs scripts/setup fetches.

#include "../signing/SigningFixtures.h"
#include "DiscoveryTestSupport.h"
#include "ShowCommand.h"
#include "baseline/FingerprintReader.h"
#include "baseline/Snapshot.h"
#include "baseline/SnapshotDiff.h"
#include "insight/SignerCache.h"
#include "insight/SignerChecker.h"
#include "listing/ListRecordJson.h"
#include "signing/CodeSignatureReader.h"

#include <filesystem>
#include <functional>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sstream>
#include <sys/stat.h>

namespace daemonary {
namespace {

using test::TemporaryHost;
using test::writeFile;
using ::testing::HasSubstr;
using ::testing::StartsWith;

constexpr const char* kSentryArm64 = "0b061c70be64938c3cefa26bb236f2ef5d6c9425";
constexpr const char* kSentryX86 = "fcd45ae42c5190bdde8c0709168c2286074aadeb";

void copyInto(const TemporaryHost& host, const std::string& from, const std::string& to) {
    std::filesystem::create_directories(std::filesystem::path(host / to).parent_path());
    std::filesystem::copy_file(from, host / to, std::filesystem::copy_options::overwrite_existing);
}

LaunchItem jobRunning(const std::string& program) {
    LaunchItem item;
    item.label = "com.example" + program;
    item.path = "/Library/LaunchDaemons/com.example.plist";
    item.executablePath = program;
    item.scope = LaunchScope::system;
    item.type = ServiceType::launchDaemon;
    return item;
}

// The real ad hoc esbuild with one byte of its identifier changed: still a
// valid ad hoc signature, of the same size, naming other code.
std::string renamedAdHoc() {
    std::string bytes = test::readBytes(test::esbuildArm64());
    const test::SignatureCommand command = test::signatureCommand(bytes);
    const std::size_t directory = test::blobOffset(bytes, command.dataOffset, 0);
    bytes[directory + test::be32At(bytes, directory + 20)] ^= 0x20;
    return bytes;
}

// A codesign that says "Apple" to everything, and on the run named by
// `swapOn` first moves `replacement` over the file it was asked about.
void writeSwappingCodesign(const TemporaryHost& host, const std::string& swapOn,
                           const std::string& replacement) {
    writeFile(host / "/usr/bin/codesign",
              "#!/bin/sh\n"
              "for last; do :; done\n"
              "if [ \"$1\" = '" +
                  swapOn + "' ] && [ -f '" + replacement +
                  "' ]; then\n"
                  "  mv '" +
                  replacement +
                  "' \"$last\"\n"
                  "fi\n"
                  "if [ \"$1\" = -dvvv ]; then\n"
                  "  printf 'Executable=%s\\nAuthority=Software Signing\\n"
                  "Authority=Apple Root CA\\nTeamIdentifier=not set\\n' \"$last\" >&2\n"
                  "fi\n"
                  "exit 0\n",
              true);
}

TEST(SignerBindingTest, CodeSwappedWhileCodesignJudgesItIsNeverItsVerdict) {
    struct Case {
        const char* name;
        const char* swapOn; // the codesign run that swaps, or none
        std::string replacement;
    };
    const std::vector<Case> cases = {
        {"untouched", "", ""},
        {"signed code swapped during the report", "-dvvv", test::sentryUniversal()},
        {"signed code swapped during the requirement check", "--verify", test::sentryUniversal()},
        {"unsigned code swapped in", "-dvvv", test::esbuildX64()},
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        TemporaryHost host;
        copyInto(host, test::esbuildArm64(), "/opt/tool");
        const std::string staged = host / "/opt/.staged";
        if (!testCase.replacement.empty()) {
            std::filesystem::copy_file(testCase.replacement, staged);
        }
        writeSwappingCodesign(host, testCase.swapOn, staged);
        const SignerChecker checker(host.layout());
        const CdHashes original = CodeSignatureReader::readCdHashes(test::esbuildArm64());
        ASSERT_FALSE(original.empty());

        // As the window's store does it: stamp, check, keep.
        const auto stamp = checker.stamp("/opt/tool");
        ASSERT_TRUE(stamp);
        EXPECT_EQ(stamp->cdHashes, original);
        const Signer signer = checker.check("/opt/tool");
        SignerCache cache;
        cache.store("/opt/tool", *stamp, signer);
        if (testCase.replacement.empty()) {
            EXPECT_EQ(signer.kind, SignerKind::apple);
            EXPECT_EQ(signer.cdHashes, original);
            EXPECT_EQ(cache.size(), 1u);
        } else {
            EXPECT_EQ(signer.kind, SignerKind::unknown);
            EXPECT_EQ(signer.description(), "Unknown (changed during the check)");
            EXPECT_TRUE(signer.cdHashes.empty());
            EXPECT_EQ(cache.size(), 0u);
        }
    }
}

TEST(SignerBindingTest, ACachedClassIsKeptOnlyForTheCodeItWasDecidedFor) {
    TemporaryHost host;
    copyInto(host, test::esbuildArm64(), "/opt/tool");
    const SignerChecker checker(host.layout());
    const auto before = checker.stamp("/opt/tool");
    ASSERT_TRUE(before);

    // Other code, still validly signed, of the same size.
    const std::string renamed = renamedAdHoc();
    test::writeBytes(host / "/opt/tool", renamed);
    EXPECT_EQ(CodeSignatureReader::readPath(host / "/opt/tool").signingClass, SigningClass::adHoc);
    const auto now = checker.stamp("/opt/tool");
    ASSERT_TRUE(now);
    ASSERT_NE(now->cdHashes, before->cdHashes);
    ASSERT_EQ(now->target.size, before->target.size);

    // An entry that matches the file now in size, times and inode, but was
    // decided for the code that was there before.
    SignerStamp forged = *now;
    forged.cdHashes = before->cdHashes;
    Signer adHoc{SignerKind::adHoc, "", "", "", ""};
    adHoc.cdHashes = before->cdHashes;
    SignerCache cache;
    cache.store("/opt/tool", forged, adHoc);
    ASSERT_EQ(cache.size(), 1u);
    EXPECT_TRUE(cache.lookup("/opt/tool", forged));
    EXPECT_EQ(cache.lookup("/opt/tool", *now), std::nullopt);

    // The same through the cache file, which anyone of the user can write.
    const std::string file = host / "/signers.json";
    ASSERT_TRUE(cache.save(file));
    SignerCache loaded;
    ASSERT_TRUE(loaded.load(file));
    EXPECT_EQ(loaded.lookup("/opt/tool", *now), std::nullopt);

    // A verdict is never stored under a stamp of other code.
    SignerCache strict;
    strict.store("/opt/tool", *now, adHoc);
    EXPECT_EQ(strict.size(), 0u);
}

TEST(SignerBindingTest, ABundlesStampCoversEveryFileItsSealCovers) {
    TemporaryHost host;
    const std::string bundle = "/Applications/Tool.app";
    writeFile(host / (bundle + "/Contents/Info.plist"),
              "<plist version=\"1.0\"><dict><key>CFBundleExecutable</key>"
              "<string>Tool</string></dict></plist>");
    copyInto(host, test::esbuildArm64(), bundle + "/Contents/MacOS/Tool");
    writeFile(host / (bundle + "/Contents/Resources/en.lproj/strings"), "hello");
    writeFile(host / (bundle + "/Contents/Frameworks/Kit.dylib"), "library");
    const SignerChecker checker(host.layout());
    const std::vector<std::pair<const char*, std::function<void()>>> changes = {
        {"resource rewritten",
         [&] { writeFile(host / (bundle + "/Contents/Resources/en.lproj/strings"), "HELLO!"); }},
        {"framework removed",
         [&] { std::filesystem::remove(host / (bundle + "/Contents/Frameworks/Kit.dylib")); }},
        {"file added", [&] { writeFile(host / (bundle + "/Contents/Resources/evil.dylib"), "x"); }},
    };
    for (const auto& [name, change] : changes) {
        SCOPED_TRACE(name);
        const auto before = checker.stamp(bundle);
        ASSERT_TRUE(before);
        EXPECT_FALSE(before->contents.empty());
        EXPECT_EQ(before->cdHashes, CodeSignatureReader::readCdHashes(test::esbuildArm64()));
        Signer adHoc{SignerKind::adHoc, "", "", "", ""};
        adHoc.cdHashes = before->cdHashes;
        SignerCache cache;
        cache.store(bundle, *before, adHoc);
        ASSERT_TRUE(cache.lookup(bundle, *checker.stamp(bundle)));
        change();
        // The main executable, its CDHash and the bound files are unchanged.
        EXPECT_EQ(cache.lookup(bundle, *checker.stamp(bundle)), std::nullopt);
        // Kept in the cache file too.
        const std::string file = host / "/signers.json";
        ASSERT_TRUE(cache.save(file));
        SignerCache loaded;
        ASSERT_TRUE(loaded.load(file));
        EXPECT_TRUE(loaded.lookup(bundle, *before));
        EXPECT_EQ(loaded.lookup(bundle, *checker.stamp(bundle)), std::nullopt);
    }
}

TEST(SignerBindingTest, WithoutCodesignTheSignersAreReadFromTheFile) {
    TemporaryHost host;
    copyInto(host, test::sentryUniversal(), "/opt/sentry-cli");
    copyInto(host, test::esbuildX64(), "/opt/esbuild-x64");
    copyInto(host, test::esbuildArm64(), "/opt/esbuild-arm64");
    std::string damaged = test::readBytes(test::sentryUniversal());
    damaged[test::fatSlice(damaged, 1).first + 3 * 4096 + 17] ^= 0x04;
    test::writeBytes(host / "/opt/damaged", damaged);
    ASSERT_EQ(::mkfifo((host / "/opt/fifo").c_str(), 0600), 0);
    ASSERT_FALSE(std::filesystem::exists(host / "/usr/bin/codesign"));
    const SignerChecker checker(host.layout());

    const Signer sentry = checker.check("/opt/sentry-cli");
    EXPECT_EQ(sentry.description(),
              "Developer ID: GetSentry LLC (97JCY7859U) (read from the file)");
    EXPECT_EQ(sentry.cdHashes, (CdHashes{{"arm64", kSentryArm64}, {"x86_64", kSentryX86}}));
    EXPECT_EQ(checker.check("/opt/esbuild-x64").description(), "Unsigned (read from the file)");
    EXPECT_EQ(checker.check("/opt/esbuild-arm64").description(), "Ad hoc (read from the file)");
    EXPECT_THAT(checker.check("/opt/damaged").description(),
                StartsWith("Invalid (arm64: page 3 does not match"));
    // Not being able to read is no verdict on the code.
    EXPECT_THAT(checker.check("/opt/fifo").description(),
                StartsWith("Unknown (cannot read the file"));
    EXPECT_EQ(checker.check("/opt/gone").text(), "Missing");
    // Read again on every load, never kept: codesign may be back next time.
    SignerCache cache;
    cache.store("/opt/sentry-cli", *checker.stamp("/opt/sentry-cli"), sentry);
    EXPECT_EQ(cache.size(), 0u);

    // Where the listing and show write it.
    const LaunchItem job = jobRunning("/opt/sentry-cli");
    const std::map<std::string, Signer> signers = checker.checkAll({"/opt/sentry-cli"});
    const nlohmann::ordered_json record =
        listRecordJson(job, ListFacts{nullptr, nullptr, &signers});
    EXPECT_EQ(record["signer"], "Developer ID: GetSentry LLC (97JCY7859U)");
    EXPECT_EQ(record["signerSource"], "file");
    EXPECT_EQ(record["cdhashes"]["arm64"], kSentryArm64);

    const ShowReport report = makeShowReport(job, host.layout());
    std::ostringstream text;
    writeShowText(text, report);
    EXPECT_THAT(text.str(), HasSubstr("  Signed By:   Developer ID: GetSentry LLC (97JCY7859U) "
                                      "(read from the file)\n  CDHash:      arm64=" +
                                      std::string(kSentryArm64) + ",x86_64=" + kSentryX86 + "\n"));
    const nlohmann::ordered_json shown = showJson(report);
    EXPECT_EQ(shown["signer"]["source"], "file");
    EXPECT_EQ(shown["signer"]["cdhashes"]["x86_64"], kSentryX86);
}

TEST(SignerBindingTest, SignerJsonCarriesTheCdHashesAndRefusesForgedOnes) {
    Signer signer{SignerKind::developerId, "GetSentry LLC", "97JCY7859U", "", ""};
    signer.cdHashes = {{"arm64", kSentryArm64}, {"x86_64", kSentryX86}};
    signer.readFromFile = true;
    EXPECT_EQ(signerFromJson(nlohmann::json::parse(toJson(signer).dump())), signer);
    EXPECT_EQ(cdHashText({{"arm64", kSentryArm64}}), kSentryArm64);
    for (
        const char* bad :
        {R"({"kind": "adhoc", "cdhashes": ["0b061c70be64938c3cefa26bb236f2ef5d6c9425"]})",
         R"({"kind": "adhoc", "cdhashes": {"arm64": "0B061C70BE64938C3CEFA26BB236F2EF5D6C9425"}})",
         R"({"kind": "adhoc", "cdhashes": {"arm64": "0b06"}})",
         R"({"kind": "adhoc", "cdhashes": {"arm64\u001b[2J": "0b061c70be64938c3cefa26bb236f2ef5d6c9425"}})",
         R"({"kind": "adhoc", "source": "codesign"})"}) {
        EXPECT_EQ(signerFromJson(nlohmann::json::parse(bad)), std::nullopt) << bad;
    }
}

TEST(SignerBindingTest, SnapshotsRecordTheProgramsCdHashesAndCompareThem) {
    TemporaryHost host;
    copyInto(host, test::sentryUniversal(), "/opt/sentry-cli");
    writeFile(host / "/Library/LaunchDaemons/com.example.plist", "<plist/>");
    // Over the hashing limit: the CDHashes are still read (headers only).
    FingerprintReader reader(host.layout(), 1024);
    LaunchItem job = jobRunning("/opt/sentry-cli");
    job.status = ServiceStatus::inactive;
    Snapshot snapshot;
    snapshot.takenAt = "2026-12-08T00:00:00Z";
    snapshot.programHashLimit = 1024;
    snapshot.scopes = {LaunchScope::system};
    snapshot.records.push_back({job, reader.read(job)});
    const Fingerprint& fingerprint = snapshot.records[0].fingerprint;
    EXPECT_FALSE(fingerprint.programSha256);
    EXPECT_EQ(fingerprint.cdHashes, (CdHashes{{"arm64", kSentryArm64}, {"x86_64", kSentryX86}}));

    // Read back, and readable both ways: without the key it is an older
    // snapshot, which compares by stamp alone.
    const std::string text = snapshot.toJsonText();
    const auto parsed = Snapshot::fromJsonText(text);
    ASSERT_TRUE(std::holds_alternative<Snapshot>(parsed));
    EXPECT_EQ(std::get<Snapshot>(parsed), snapshot);
    nlohmann::json older = nlohmann::json::parse(text);
    older["categories"]["System"][0]["fingerprint"].erase("cdhashes");
    const auto olderParsed = Snapshot::fromJsonText(older.dump());
    ASSERT_TRUE(std::holds_alternative<Snapshot>(olderParsed));
    EXPECT_TRUE(
        SnapshotDiff::between(std::get<Snapshot>(olderParsed), snapshot, {LaunchScope::system})
            .empty());
    nlohmann::json forged = nlohmann::json::parse(text);
    forged["categories"]["System"][0]["fingerprint"]["cdhashes"] = {{"arm64", "evil"}};
    const auto refused = Snapshot::fromJsonText(forged.dump());
    ASSERT_TRUE(std::holds_alternative<SnapshotError>(refused));
    EXPECT_THAT(std::get<SnapshotError>(refused).message, HasSubstr("cdhashes"));

    // Other code under the very same stamp is a changed program.
    Snapshot swapped = snapshot;
    swapped.records[0].fingerprint.cdHashes["arm64"] = std::string(40, 'a');
    const SnapshotDiff diff = SnapshotDiff::between(snapshot, swapped, {LaunchScope::system});
    ASSERT_EQ(diff.modified.size(), 1u);
    ASSERT_EQ(diff.modified[0].changes.size(), 1u);
    EXPECT_EQ(diff.modified[0].changes[0].key, "program");
}

} // namespace
} // namespace daemonary
