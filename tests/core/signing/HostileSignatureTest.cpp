#include "SigningFixtures.h"
#include "signing/ByteSource.h"
#include "signing/CodeSignatureReader.h"

#include <functional>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace daemonary {
namespace {

using namespace daemonary::test;
using ::testing::HasSubstr;

CodeSignature readBytesAsMachO(const std::string& bytes) {
    const MemoryByteSource source(bytes);
    return CodeSignatureReader::readMachO(source);
}

// Each case changes one field of the real ad hoc esbuild (one slice, one
// CodeDirectory) the way a hostile file would; every one must come out
// Invalid with a reason, without reading outside the bytes (the sanitizer
// build checks that) and without hashing millions of phantom pages.
struct Mutation {
    const char* name;
    std::function<void(std::string&, const SignatureCommand&, std::size_t codeDirectory)> apply;
    const char* reason;
};

TEST(HostileSignatureTest, DamagedHeadersAreInvalidWithTheirReason) {
    const std::string original = readBytes(esbuildArm64());
    ASSERT_GT(original.size(), 100000u);
    const SignatureCommand command = signatureCommand(original);
    const std::size_t directory = blobOffset(original, command.dataOffset, 0);
    const Mutation mutations[] = {
        {"4 GB signature size",
         [](std::string& b, const SignatureCommand& c, std::size_t) {
             putLe32(b, c.commandOffset + 12, 0xffffffff);
         },
         "past the end of the slice"},
        {"signature offset past the end",
         [](std::string& b, const SignatureCommand& c, std::size_t) {
             putLe32(b, c.commandOffset + 8, 0xfffffff0);
         },
         "past the end of the slice"},
        {"a billion load commands",
         [](std::string& b, const SignatureCommand&, std::size_t) { putLe32(b, 16, 1000000000); },
         "load commands"},
        {"a load command of size zero",
         [](std::string& b, const SignatureCommand&, std::size_t) { putLe32(b, 32 + 4, 0); },
         "load command 0 is malformed"},
        {"SuperBlob count of two billion",
         [](std::string& b, const SignatureCommand& c, std::size_t) {
             putBe32(b, c.dataOffset + 8, 0x7fffffff);
         },
         "index lies past its end"},
        {"SuperBlob entry pointing back at the index",
         [](std::string& b, const SignatureCommand& c, std::size_t) {
             putBe32(b, c.dataOffset + 16, 0);
         },
         "lies outside the SuperBlob"},
        {"SuperBlob length of 4 GB",
         [](std::string& b, const SignatureCommand& c, std::size_t) {
             putBe32(b, c.dataOffset + 4, 0xffffffff);
         },
         "length lies past the signature"},
        {"a million code slots",
         [](std::string& b, const SignatureCommand&, std::size_t cd) {
             putBe32(b, cd + 28, 1000000);
         },
         "code slots"},
        {"hash offset past the directory",
         [](std::string& b, const SignatureCommand&, std::size_t cd) {
             putBe32(b, cd + 16, 0xfffffff0);
         },
         "hash slots lie outside"},
        {"code limit of 4 GB",
         [](std::string& b, const SignatureCommand&, std::size_t cd) {
             putBe32(b, cd + 32, 0xffffffff);
         },
         "code limit"},
        {"identifier without its end",
         [](std::string& b, const SignatureCommand&, std::size_t cd) {
             putBe32(b, cd + 20, be32At(b, cd + 4) - 1);
             b[cd + be32At(b, cd + 4) - 1] = 'x';
         },
         "identifier"},
        {"unknown CodeDirectory version",
         [](std::string& b, const SignatureCommand&, std::size_t cd) {
             putBe32(b, cd + 8, 0x30000);
         },
         "version"},
        {"unknown hash type",
         [](std::string& b, const SignatureCommand&, std::size_t cd) { b[cd + 37] = 9; },
         "hash type"},
    };
    for (const Mutation& mutation : mutations) {
        std::string bytes = original;
        mutation.apply(bytes, command, directory);
        const CodeSignature signature = readBytesAsMachO(bytes);
        EXPECT_EQ(signature.signingClass, SigningClass::invalid) << mutation.name;
        EXPECT_THAT(signature.reason, HasSubstr(mutation.reason)) << mutation.name;
    }
}

TEST(HostileSignatureTest, UniversalHeadersThatLieAreInvalid) {
    const std::string original = readBytes(sentryUniversal());
    std::string bytes = original;
    putBe32(bytes, 4, 0xffffffff);
    EXPECT_THAT(readBytesAsMachO(bytes).reason, HasSubstr("lists 4294967295 architectures"));

    bytes = original;
    putBe32(bytes, 8 + 20 + 12, 0xffffffff); // arm64 slice size
    CodeSignature signature = readBytesAsMachO(bytes);
    EXPECT_EQ(signature.signingClass, SigningClass::invalid);
    EXPECT_THAT(signature.reason, HasSubstr("arm64: the slice lies outside the file"));

    // Both entries naming the same slice: one slice must not be judged twice
    // while the other goes unread.
    bytes = original;
    for (int field = 0; field < 5; ++field) {
        putBe32(bytes, 8 + 20 + 4 * static_cast<std::size_t>(field),
                be32At(original, 8 + 4 * static_cast<std::size_t>(field)));
    }
    signature = readBytesAsMachO(bytes);
    EXPECT_EQ(signature.signingClass, SigningClass::invalid);
    EXPECT_THAT(signature.reason, HasSubstr("appears twice"));

    // A universal header with one slice unsigned: the signed slice does not
    // vouch for the other.
    bytes = original;
    const auto [offset, size] = fatSlice(original, 0);
    const SignatureCommand command = signatureCommand(original.substr(offset, 4096));
    putLe32(bytes, offset + command.commandOffset, 0x7fffffff); // no longer LC_CODE_SIGNATURE
    signature = readBytesAsMachO(bytes);
    EXPECT_EQ(signature.signingClass, SigningClass::invalid);
    EXPECT_THAT(signature.reason, HasSubstr("x86_64: Unsigned"));
    (void)size;
}

} // namespace
} // namespace daemonary
