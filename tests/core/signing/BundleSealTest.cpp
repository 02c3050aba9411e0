#include "SigningFixtures.h"
#include "signing/CodeSignatureReader.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <unistd.h>

namespace daemonary {
namespace {

using namespace daemonary::test;
using ::testing::HasSubstr;

std::string sha256(const std::string& bytes) {
    unsigned char out[32];
    unsigned int length = 0;
    EVP_Digest(bytes.data(), bytes.size(), out, &length, EVP_sha256(), nullptr);
    return std::string(reinterpret_cast<const char*>(out), length);
}

std::string base64(const std::string& bytes) {
    std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    const int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                       reinterpret_cast<const unsigned char*>(bytes.data()),
                                       static_cast<int>(bytes.size()));
    out.resize(static_cast<std::size_t>(length));
    return out;
}

// The real ad hoc esbuild, signed again ad hoc the way codesign signs a
// bundle's main executable: a CodeDirectory whose special slots bind the
// bundle's Info.plist and CodeResources.
std::string adHocSignedFor(const std::string& infoPlist, const std::string& codeResources) {
    std::string binary = readBytes(esbuildArm64());
    const SignatureCommand command = signatureCommand(binary);
    const std::size_t old = blobOffset(binary, command.dataOffset, 0);
    const std::uint32_t pages = be32At(binary, old + 28);
    const std::string identifier = "com.example.tool";
    const std::uint32_t header = 88; // version 0x20400
    const std::uint32_t special = 3;
    const std::uint32_t hashOffset =
        header + static_cast<std::uint32_t>(identifier.size()) + 1 + special * 32;
    std::string directory = binary.substr(old, header);
    directory += identifier + '\0';
    directory += sha256(codeResources) + std::string(32, '\0') + sha256(infoPlist); // slots 3, 2, 1
    const std::uint32_t length = hashOffset + pages * 32;
    putBe32(directory, 4, length);
    putBe32(directory, 16, hashOffset);
    putBe32(directory, 20, header);
    putBe32(directory, 24, special);
    std::string superBlob(20, '\0');
    putBe32(superBlob, 0, 0xfade0cc0);
    putBe32(superBlob, 4, 20 + length);
    putBe32(superBlob, 8, 1);
    putBe32(superBlob, 16, 20);
    binary.resize(command.dataOffset);
    putLe32(binary, command.commandOffset + 12, 20 + length);
    for (std::uint32_t page = 0; page < pages; ++page) {
        directory += sha256(binary.substr(std::size_t{page} * 4096, 4096));
    }
    return binary + superBlob + directory;
}

class BundleSealTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_bundle = std::filesystem::temp_directory_path() /
                   ("daemonary-bundle-" + std::to_string(::getpid()) + "-" +
                    ::testing::UnitTest::GetInstance()->current_test_info()->name()) /
                   "Tool.app";
        const auto contents = m_bundle / "Contents";
        std::filesystem::create_directories(contents / "MacOS");
        std::filesystem::create_directories(contents / "Resources");
        std::filesystem::create_directories(contents / "_CodeSignature");
        const std::string info =
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
            "<key>CFBundleExecutable</key><string>tool</string>"
            "<key>CFBundleIdentifier</key><string>com.example.tool</string></dict></plist>\n";
        writeBytes((contents / "Info.plist").string(), info);
        writeBytes((contents / "Resources" / "a.txt").string(), "first resource\n");
        writeBytes((contents / "Resources" / "b.txt").string(), "second resource\n");
        const auto entry = [](const std::string& path, const std::string& bytes) {
            return "<key>" + path + "</key><dict><key>hash2</key><data>" + base64(sha256(bytes)) +
                   "</data></dict>";
        };
        const std::string seal =
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
            "<key>files2</key><dict>" +
            entry("Resources/a.txt", "first resource\n") +
            entry("Resources/b.txt", "second resource\n") +
            "</dict><key>rules2</key><dict>"
            "<key>^.*</key><true/>"
            "<key>^(.*/)?\\.DS_Store$</key><dict><key>omit</key><true/>"
            "<key>weight</key><real>2000</real></dict>"
            "</dict></dict></plist>\n";
        writeBytes((contents / "_CodeSignature" / "CodeResources").string(), seal);
        writeBytes((contents / "MacOS" / "tool").string(), adHocSignedFor(info, seal));
    }
    void TearDown() override { std::filesystem::remove_all(m_bundle.parent_path()); }

    CodeSignature read() const { return CodeSignatureReader::readPath(m_bundle.string()); }
    std::string file(const std::string& relative) const {
        return (m_bundle / "Contents" / relative).string();
    }

    std::filesystem::path m_bundle;
};

TEST_F(BundleSealTest, IntactBundleIsItsExecutablesClass) {
    const CodeSignature signature = read();
    EXPECT_EQ(signature.signingClass, SigningClass::adHoc) << signature.reason;
    EXPECT_EQ(signature.identifier, "com.example.tool");
    // A file the rules omit is not an addition.
    writeBytes(file("Resources/.DS_Store"), "x");
    EXPECT_EQ(read().signingClass, SigningClass::adHoc) << read().reason;
}

TEST_F(BundleSealTest, ChangedMissingAndAddedSealedFilesAreInvalid) {
    writeBytes(file("Resources/a.txt"), "first resourcE\n");
    CodeSignature signature = read();
    EXPECT_EQ(signature.signingClass, SigningClass::invalid);
    EXPECT_THAT(signature.reason, HasSubstr("Resources/a.txt was changed"));

    writeBytes(file("Resources/a.txt"), "first resource\n");
    std::filesystem::remove(file("Resources/b.txt"));
    signature = read();
    EXPECT_EQ(signature.signingClass, SigningClass::invalid);
    EXPECT_THAT(signature.reason, HasSubstr("Resources/b.txt is missing"));

    writeBytes(file("Resources/b.txt"), "second resource\n");
    EXPECT_EQ(read().signingClass, SigningClass::adHoc) << read().reason;
    writeBytes(file("Resources/payload.dylib"), "added later");
    signature = read();
    EXPECT_EQ(signature.signingClass, SigningClass::invalid);
    EXPECT_THAT(signature.reason, HasSubstr("Resources/payload.dylib was added"));
}

TEST_F(BundleSealTest, InfoPlistAndSealAreBoundByTheSpecialSlots) {
    const std::string info = readBytes(file("Info.plist"));
    writeBytes(file("Info.plist"), info + " ");
    CodeSignature signature = read();
    EXPECT_EQ(signature.signingClass, SigningClass::invalid);
    EXPECT_THAT(signature.reason, HasSubstr("special slot 1 (Info.plist) does not match"));
    writeBytes(file("Info.plist"), info);

    // A seal rewritten to leave a changed file out no longer matches slot 3.
    std::string seal = readBytes(file("_CodeSignature/CodeResources"));
    seal.replace(seal.find("Resources/b.txt"), 15, "Resources/c.txt");
    writeBytes(file("_CodeSignature/CodeResources"), seal);
    signature = read();
    EXPECT_EQ(signature.signingClass, SigningClass::invalid);
    EXPECT_THAT(signature.reason, HasSubstr("special slot 3 (CodeResources) does not match"));
}

} // namespace
} // namespace daemonary
