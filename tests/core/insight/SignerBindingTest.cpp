// Signer verdicts bound to the code they judged, and signers read from the
// file where codesign cannot run: on the real programs scripts/setup fetches.

#include "../signing/SigningFixtures.h"
#include "DiscoveryTestSupport.h"
#include "ShowCommand.h"
#include "baseline/FingerprintReader.h"
#include "baseline/SnapshotDiff.h"
#include "insight/SignerCache.h"
#include "listing/ListRecordJson.h"
#include "signing/CodeSignatureReader.h"

#include <filesystem>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sstream>

namespace daemonary {
namespace {

using namespace daemonary::test;
using ::testing::HasSubstr;

constexpr const char* kSentryArm64 = "0b061c70be64938c3cefa26bb236f2ef5d6c9425";

void copyInto(const TemporaryHost& host, const std::string& from, const std::string& to) {
    std::filesystem::create_directories(std::filesystem::path(host / to).parent_path());
    std::filesystem::copy_file(from, host / to, std::filesystem::copy_options::overwrite_existing);
}

LaunchItem jobRunning(const std::string& program) {
    LaunchItem item;
    item.label = "com.example.job";
    item.path = "/Library/LaunchDaemons/com.example.job.plist";
    item.executablePath = program;
    item.scope = LaunchScope::system;
    item.type = ServiceType::launchDaemon;
    item.status = ServiceStatus::inactive;
    return item;
}

TEST(SignerBindingTest, CodeSwappedWhileCodesignJudgesItIsNeverItsVerdict) {
    // A codesign that says "Apple" to everything, and on the run named first
    // moves the staged file over the one it was asked about.
    const std::vector<std::pair<std::string, std::string>> cases = {{"", ""},
                                                                    {"-dvvv", sentryUniversal()},
                                                                    {"--verify", sentryUniversal()},
                                                                    {"-dvvv", esbuildX64()}};
    for (const auto& [swapOn, replacement] : cases) {
        SCOPED_TRACE(swapOn + " " + replacement);
        TemporaryHost host;
        copyInto(host, esbuildArm64(), "/opt/tool");
        if (!replacement.empty()) {
            copyInto(host, replacement, "/opt/staged");
        }
        writeFile(host / "/usr/bin/codesign",
                  "#!/bin/sh\nfor last; do :; done\n"
                  "if [ \"$1\" = '" +
                      std::string(swapOn) + "' ] && [ -f '" + (host / "/opt/staged") +
                      "' ]; then mv '" + (host / "/opt/staged") +
                      "' \"$last\"; fi\n"
                      "[ \"$1\" = -dvvv ] && echo 'Authority=Software Signing' >&2\nexit 0\n",
                  true);
        const SignerChecker checker(host.layout());
        // As the window's store does it: stamp, check, keep.
        const auto stamp = checker.stamp("/opt/tool");
        ASSERT_TRUE(stamp);
        const Signer signer = checker.check("/opt/tool");
        SignerCache cache;
        cache.store("/opt/tool", *stamp, signer);
        if (replacement.empty()) {
            EXPECT_EQ(signer.text(), "Apple");
            EXPECT_EQ(signer.cdHashes, CodeSignatureReader::readCdHashes(esbuildArm64()));
            EXPECT_EQ(cache.size(), 1u);
        } else {
            EXPECT_EQ(signer.description(), "Unknown (changed during the check)");
            EXPECT_EQ(cache.size(), 0u);
        }
    }
}

TEST(SignerBindingTest, ACachedClassIsKeptOnlyForTheCodeItWasDecidedFor) {
    TemporaryHost host;
    copyInto(host, esbuildArm64(), "/opt/tool");
    writeFile(host / "/Applications/Tool.app/Contents/Info.plist",
              "<plist><dict><key>CFBundleExecutable</key><string>Tool</string></dict></plist>");
    copyInto(host, esbuildArm64(), "/Applications/Tool.app/Contents/MacOS/Tool");
    const SignerChecker checker(host.layout());
    const auto cacheFor = [&](SignerCache& cache, const std::string& target) {
        Signer adHoc{SignerKind::adHoc, "", "", "", ""};
        adHoc.cdHashes = checker.stamp(target)->cdHashes;
        cache.store(target, *checker.stamp(target), adHoc);
        EXPECT_EQ(cache.size(), 1u);
    };

    // Other code, validly signed, of the same size: one byte of its
    // identifier. An entry matching the new file in size, times and inode
    // but decided for the old code, as a cache file can hold it.
    SignerCache cache;
    cacheFor(cache, "/opt/tool");
    const CdHashes old = checker.stamp("/opt/tool")->cdHashes;
    std::string renamed = readBytes(esbuildArm64());
    const std::size_t directory = blobOffset(renamed, signatureCommand(renamed).dataOffset, 0);
    renamed[directory + be32At(renamed, directory + 20)] ^= 0x20;
    writeBytes(host / "/opt/tool", renamed);
    EXPECT_EQ(CodeSignatureReader::readPath(host / "/opt/tool").signingClass, SigningClass::adHoc);
    SignerStamp forged = *checker.stamp("/opt/tool");
    ASSERT_NE(forged.cdHashes, old);
    forged.cdHashes = old;
    Signer adHoc{SignerKind::adHoc, "", "", "", ""};
    adHoc.cdHashes = old;
    cache.store("/opt/tool", forged, adHoc);
    ASSERT_TRUE(cache.save(host / "/signers.json"));
    ASSERT_TRUE(cache.load(host / "/signers.json"));
    EXPECT_TRUE(cache.lookup("/opt/tool", forged));
    EXPECT_EQ(cache.lookup("/opt/tool", *checker.stamp("/opt/tool")), std::nullopt);

    // A bundle's seal covers every file in it: one added is another stamp.
    SignerCache bundle;
    cacheFor(bundle, "/Applications/Tool.app");
    writeFile(host / "/Applications/Tool.app/Contents/Resources/evil.dylib", "x");
    EXPECT_EQ(bundle.lookup("/Applications/Tool.app", *checker.stamp("/Applications/Tool.app")),
              std::nullopt);
}

TEST(SignerBindingTest, WithoutCodesignTheSignersAreReadFromTheFile) {
    TemporaryHost host;
    copyInto(host, sentryUniversal(), "/opt/sentry-cli");
    copyInto(host, esbuildX64(), "/opt/esbuild");
    std::string damaged = readBytes(sentryUniversal());
    damaged[fatSlice(damaged, 1).first + 3 * 4096 + 17] ^= 0x04;
    writeBytes(host / "/opt/damaged", damaged);
    const SignerChecker checker(host.layout());

    const Signer sentry = checker.check("/opt/sentry-cli");
    EXPECT_EQ(sentry.description(),
              "Developer ID: GetSentry LLC (97JCY7859U) (read from the file)");
    EXPECT_EQ(sentry.cdHashes, CodeSignatureReader::readPath(sentryUniversal()).cdHashes);
    EXPECT_EQ(checker.check("/opt/esbuild").description(), "Unsigned (read from the file)");
    EXPECT_THAT(checker.check("/opt/damaged").description(),
                testing::StartsWith("Invalid (arm64: page 3 does not match"));
    SignerCache cache;
    cache.store("/opt/sentry-cli", *checker.stamp("/opt/sentry-cli"), sentry);
    EXPECT_EQ(cache.size(), 0u);

    const LaunchItem job = jobRunning("/opt/sentry-cli");
    const std::map<std::string, Signer> signers = checker.checkAll({"/opt/sentry-cli"});
    const auto record = listRecordJson(job, ListFacts{nullptr, nullptr, &signers});
    EXPECT_EQ(record["signerSource"], "file");
    EXPECT_EQ(record["cdhashes"]["arm64"], kSentryArm64);
    const ShowReport report = makeShowReport(job, host.layout());
    std::ostringstream text;
    writeShowText(text, report);
    EXPECT_THAT(text.str(), HasSubstr("(read from the file)\n  CDHash:      arm64=" +
                                      std::string(kSentryArm64) + ",x86_64="));
    EXPECT_EQ(signerFromJson(showJson(report)["signer"]), sentry);
    EXPECT_EQ(signerFromJson(nlohmann::json::parse(R"({"kind": "adhoc", "cdhashes": {"arm64":)"
                                                   R"( "\u001b[2J"}})")),
              std::nullopt);
}

TEST(SignerBindingTest, SnapshotsRecordTheProgramsCdHashesAndCompareThem) {
    TemporaryHost host;
    copyInto(host, sentryUniversal(), "/opt/sentry-cli");
    writeFile(host / "/Library/LaunchDaemons/com.example.job.plist", "<plist/>");
    // Over the hashing limit: the CDHashes are read all the same.
    FingerprintReader reader(host.layout(), 1024);
    Snapshot snapshot;
    snapshot.takenAt = "2026-12-08T00:00:00Z";
    snapshot.programHashLimit = 1024;
    snapshot.scopes = {LaunchScope::system};
    snapshot.records.push_back({jobRunning("/opt/sentry-cli"), {}});
    snapshot.records[0].fingerprint = reader.read(snapshot.records[0].item);
    EXPECT_EQ(snapshot.records[0].fingerprint.cdHashes.at("arm64"), kSentryArm64);
    const auto parsed = Snapshot::fromJsonText(snapshot.toJsonText());
    ASSERT_TRUE(std::holds_alternative<Snapshot>(parsed));
    EXPECT_EQ(std::get<Snapshot>(parsed).records[0].fingerprint, snapshot.records[0].fingerprint);

    // A snapshot that did not record them compares by stamp alone; other
    // code under the very same stamp is a changed program.
    Snapshot older = snapshot;
    older.records[0].fingerprint.cdHashes.clear();
    EXPECT_TRUE(SnapshotDiff::between(older, snapshot, snapshot.scopes).empty());
    Snapshot swapped = snapshot;
    swapped.records[0].fingerprint.cdHashes["arm64"] = std::string(40, 'a');
    const SnapshotDiff diff = SnapshotDiff::between(snapshot, swapped, snapshot.scopes);
    ASSERT_EQ(diff.modified.size(), 1u);
    EXPECT_EQ(diff.modified[0].changes.at(0).key, "program");
}

} // namespace
} // namespace daemonary
