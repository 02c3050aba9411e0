#include "signing/CodeSignatureReader.h"

#include "SigningFixtures.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

namespace daemonary {
namespace {

using namespace daemonary::test;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

// Independently computed (SHA-256 of each slice's CodeDirectory blob, first
// 20 bytes) from the published @sentry/cli-darwin 3.8.0.
constexpr const char* kSentryArm64CdHash = "0b061c70be64938c3cefa26bb236f2ef5d6c9425";
constexpr const char* kSentryX8664CdHash = "fcd45ae42c5190bdde8c0709168c2286074aadeb";

class CodeSignatureReaderTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_folder = std::filesystem::temp_directory_path() /
                   ("daemonary-signing-" + std::to_string(::getpid()) + "-" +
                    ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(m_folder);
    }
    void TearDown() override { std::filesystem::remove_all(m_folder); }

    std::string copyWith(const std::string& name, const std::string& bytes) {
        const std::string path = (m_folder / name).string();
        writeBytes(path, bytes);
        return path;
    }

    std::filesystem::path m_folder;
};

TEST_F(CodeSignatureReaderTest, RealDeveloperIdUniversalBinaryIsProvenWithBothSlices) {
    const CodeSignature signature = CodeSignatureReader::readPath(sentryUniversal());
    EXPECT_EQ(signature.signingClass, SigningClass::developerId) << signature.reason;
    EXPECT_EQ(signature.teamIdentifier, "97JCY7859U");
    EXPECT_EQ(signature.organization, "GetSentry LLC");
    EXPECT_THAT(signature.authorities,
                ElementsAre("Developer ID Application: GetSentry LLC (97JCY7859U)",
                            "Developer ID Certification Authority", "Apple Root CA"));
    EXPECT_THAT(signature.architectures, ElementsAre("x86_64", "arm64"));
    EXPECT_EQ(signature.cdHashes.at("arm64"), kSentryArm64CdHash);
    EXPECT_EQ(signature.cdHashes.at("x86_64"), kSentryX8664CdHash);
    EXPECT_EQ(signature.identifier, "sentry-cli-Darwin-universal");
    EXPECT_TRUE(signature.hardenedRuntime);
    ASSERT_TRUE(signature.signingTime.has_value());
    EXPECT_TRUE(signature.intact());
}

TEST_F(CodeSignatureReaderTest, ThinSliceCutFromTheUniversalFileIsStillDeveloperId) {
    const std::string bytes = readBytes(sentryUniversal());
    const auto [offset, size] = fatSlice(bytes, 1);
    const CodeSignature signature =
        CodeSignatureReader::readPath(copyWith("thin", bytes.substr(offset, size)));
    EXPECT_EQ(signature.signingClass, SigningClass::developerId) << signature.reason;
    EXPECT_EQ(signature.teamIdentifier, "97JCY7859U");
    EXPECT_THAT(signature.architectures, ElementsAre("arm64"));
    EXPECT_EQ(signature.cdHashes.at("arm64"), kSentryArm64CdHash);
}

TEST_F(CodeSignatureReaderTest, AdHocAndUnsignedRealBinaries) {
    const CodeSignature adHoc = CodeSignatureReader::readPath(esbuildArm64());
    EXPECT_EQ(adHoc.signingClass, SigningClass::adHoc) << adHoc.reason;
    EXPECT_TRUE(adHoc.teamIdentifier.empty());
    EXPECT_TRUE(adHoc.authorities.empty());
    EXPECT_EQ(adHoc.cdHashes.count("arm64"), 1u);
    EXPECT_TRUE(adHoc.intact());

    const CodeSignature none = CodeSignatureReader::readPath(esbuildX64());
    EXPECT_EQ(none.signingClass, SigningClass::unsignedCode);
    EXPECT_THAT(none.architectures, ElementsAre("x86_64"));
    EXPECT_TRUE(none.cdHashes.empty());
    EXPECT_FALSE(none.intact());
}

TEST_F(CodeSignatureReaderTest, FlippedBitInACodePageNamesTheSliceAndThePage) {
    const std::string original = readBytes(sentryUniversal());
    // Page 5 of the arm64 slice only: x86_64 stays intact, the file does not.
    std::string damaged = original;
    const auto [armOffset, armSize] = fatSlice(original, 1);
    damaged[armOffset + 5 * 4096 + 123] ^= 0x10;
    CodeSignature signature = CodeSignatureReader::readPath(copyWith("arm-page", damaged));
    EXPECT_EQ(signature.signingClass, SigningClass::invalid);
    EXPECT_THAT(signature.reason, HasSubstr("arm64: page 5 "));
    EXPECT_FALSE(signature.intact());

    damaged = original;
    const auto [intelOffset, intelSize] = fatSlice(original, 0);
    damaged[intelOffset + 1000 * 4096] ^= 0x01;
    signature = CodeSignatureReader::readPath(copyWith("intel-page", damaged));
    EXPECT_EQ(signature.signingClass, SigningClass::invalid);
    EXPECT_THAT(signature.reason, HasSubstr("x86_64: page 1000 "));
    (void)armSize;
    (void)intelSize;

    std::string adHoc = readBytes(esbuildArm64());
    adHoc[4096 * 7 + 9] ^= 0x80;
    signature = CodeSignatureReader::readPath(copyWith("adhoc-page", adHoc));
    EXPECT_EQ(signature.signingClass, SigningClass::invalid);
    EXPECT_THAT(signature.reason, HasSubstr("page 7 "));
}

TEST_F(CodeSignatureReaderTest, ChangedSignatureOrCodeDirectoryIsInvalid) {
    const std::string original = readBytes(sentryUniversal());
    const auto [offset, size] = fatSlice(original, 1);
    const std::string thin = original.substr(offset, size);
    const SignatureCommand command = signatureCommand(thin);

    // A byte of the identifier inside the CodeDirectory: the pages still
    // match, the CMS signature over the directory does not.
    std::string renamed = thin;
    const std::size_t directory = blobOffset(thin, command.dataOffset, 0);
    renamed[directory + be32At(thin, directory + 20)] ^= 0x01;
    CodeSignature signature = CodeSignatureReader::readPath(copyWith("renamed", renamed));
    EXPECT_EQ(signature.signingClass, SigningClass::invalid);
    EXPECT_THAT(signature.reason, HasSubstr("CMS signature does not match"));

    // The entitlements blob the directory binds through special slot 5.
    std::string entitled = thin;
    entitled[blobOffset(thin, command.dataOffset, 5) + 20] ^= 0x01;
    signature = CodeSignatureReader::readPath(copyWith("entitled", entitled));
    EXPECT_EQ(signature.signingClass, SigningClass::invalid);
    EXPECT_THAT(signature.reason, HasSubstr("special slot 5 (entitlements)"));

    // A signed attribute: the signing time moved back by a second (the
    // chain is judged at that time, so it must be the signer's own).
    std::string backdated = thin;
    const std::size_t cms = blobOffset(thin, command.dataOffset, 0x10000);
    // The first signingTime attribute (its OID, then SET, UTCTime, 13 digits)
    // is the signer's; the timestamp's own comes later.
    const std::string signingTimeOid("\x06\x09\x2a\x86\x48\x86\xf7\x0d\x01\x09\x05", 11);
    const std::size_t time = thin.find(signingTimeOid, cms);
    ASSERT_NE(time, std::string::npos);
    ASSERT_EQ(thin[time + 13], '\x17');
    backdated[time + 15 + 11] ^= 0x01; // a digit of the seconds
    signature = CodeSignatureReader::readPath(copyWith("backdated", backdated));
    EXPECT_EQ(signature.signingClass, SigningClass::invalid);
    EXPECT_THAT(signature.reason, HasSubstr("arm64: the CMS signature does not match"));
}

TEST_F(CodeSignatureReaderTest, TruncatedFilesAreInvalidNotUnsigned) {
    const std::string original = readBytes(sentryUniversal());
    for (const std::size_t length : {std::size_t{6}, std::size_t{100}, std::size_t{70000},
                                     original.size() / 2, original.size() - 1}) {
        const CodeSignature signature = CodeSignatureReader::readPath(
            copyWith("cut-" + std::to_string(length), original.substr(0, length)));
        EXPECT_EQ(signature.signingClass, SigningClass::invalid) << length;
        EXPECT_FALSE(signature.reason.empty()) << length;
    }
}

TEST_F(CodeSignatureReaderTest, PathsThatAreNotCodeSayWhy) {
    const CodeSignature text = CodeSignatureReader::readPath(copyWith("notes.txt", "hello\n"));
    EXPECT_EQ(text.signingClass, SigningClass::unsignedCode);
    EXPECT_EQ(text.reason, "not Mach-O code");
    const CodeSignature missing = CodeSignatureReader::readPath((m_folder / "absent").string());
    EXPECT_EQ(missing.signingClass, SigningClass::invalid);
    EXPECT_THAT(missing.reason, HasSubstr("cannot read"));
}

} // namespace
} // namespace daemonary
