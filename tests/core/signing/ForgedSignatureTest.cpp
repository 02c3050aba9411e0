#include "SigningFixtures.h"
#include "signing/ByteSource.h"
#include "signing/CodeSignatureReader.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <memory>
#include <openssl/cms.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <vector>

namespace daemonary {
namespace {

using namespace daemonary::test;

// Certificates made here, by anyone's key: the attacker's view of a
// Developer ID signature. They copy Apple's subject names and marker
// extensions exactly; only the keys (and so the root's bytes) differ.
struct Key {
    std::unique_ptr<EVP_PKEY, void (*)(EVP_PKEY*)> key{EVP_EC_gen("P-256"), EVP_PKEY_free};
};

using CertificatePointer = std::unique_ptr<X509, void (*)(X509*)>;

void addName(X509_NAME* name, const char* field, const std::string& value) {
    X509_NAME_add_entry_by_txt(name, field, MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>(value.c_str()), -1, -1, 0);
}

void addMarker(X509* certificate, const char* oid, bool critical) {
    ASN1_OBJECT* object = OBJ_txt2obj(oid, 1);
    ASN1_OCTET_STRING* value = ASN1_OCTET_STRING_new();
    const unsigned char null[] = {0x05, 0x00}; // DER NULL, as Apple encodes its markers
    ASN1_OCTET_STRING_set(value, null, 2);
    X509_EXTENSION* extension = X509_EXTENSION_create_by_OBJ(nullptr, object, critical, value);
    X509_add_ext(certificate, extension, -1);
    X509_EXTENSION_free(extension);
    ASN1_OCTET_STRING_free(value);
    ASN1_OBJECT_free(object);
}

void addStandard(X509* certificate, X509* issuer, int nid, const char* value) {
    X509V3_CTX context;
    X509V3_set_ctx(&context, issuer, certificate, nullptr, nullptr, 0);
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
    X509_add_ext(certificate, extension, -1);
    X509_EXTENSION_free(extension);
}

struct Subject {
    std::string commonName;
    std::string organizationalUnit;
    std::string organization;
};

// `issuerName` is whose name the certificate claims as issuer; `signer`
// is the key that really signs it.
CertificatePointer makeCertificate(const Subject& subject, X509_NAME* issuerName, EVP_PKEY* key,
                                   EVP_PKEY* signer, bool authority,
                                   const std::vector<std::pair<const char*, bool>>& markers) {
    CertificatePointer certificate(X509_new(), X509_free);
    X509* cert = certificate.get();
    X509_set_version(cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), 4242);
    ASN1_TIME_set_string(X509_getm_notBefore(cert), "20100101000000Z");
    ASN1_TIME_set_string(X509_getm_notAfter(cert), "20490101000000Z");
    X509_NAME* name = X509_get_subject_name(cert);
    addName(name, "C", "US");
    addName(name, "O", subject.organization);
    addName(name, "OU", subject.organizationalUnit);
    addName(name, "CN", subject.commonName);
    X509_set_issuer_name(cert, issuerName ? issuerName : name);
    X509_set_pubkey(cert, key);
    if (authority) {
        addStandard(cert, cert, NID_basic_constraints, "critical,CA:TRUE");
        addStandard(cert, cert, NID_key_usage, "critical,keyCertSign,cRLSign,digitalSignature");
    } else {
        addStandard(cert, cert, NID_basic_constraints, "critical,CA:FALSE");
        addStandard(cert, cert, NID_ext_key_usage, "critical,codeSigning");
    }
    for (const auto& [oid, critical] : markers) {
        addMarker(cert, oid, critical);
    }
    X509_sign(cert, signer, EVP_sha256());
    return certificate;
}

const Subject kAppleRoot{"Apple Root CA", "Apple Certification Authority", "Apple Inc."};
const Subject kDeveloperIdAuthority{"Developer ID Certification Authority",
                                    "Apple Certification Authority", "Apple Inc."};
const Subject kCodeSigningAuthority{"Apple Code Signing Certification Authority",
                                    "Apple Certification Authority", "Apple Inc."};
const Subject kSentryLeaf{"Developer ID Application: GetSentry LLC (97JCY7859U)", "97JCY7859U",
                          "GetSentry LLC"};
constexpr const char* kDeveloperIdIntermediate = "1.2.840.113635.100.6.2.6";
constexpr const char* kDeveloperIdLeaf = "1.2.840.113635.100.6.1.13";

class ForgedSignatureTest : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string universal = readBytes(sentryUniversal());
        const auto [offset, size] = fatSlice(universal, 1);
        m_thin = universal.substr(offset, size);
        m_command = signatureCommand(m_thin);
        const std::size_t directory = blobOffset(m_thin, m_command.dataOffset, 0);
        m_codeDirectory = m_thin.substr(directory, be32At(m_thin, directory + 4));
        // Apple's real certificates, as the genuine signature carries them.
        const std::size_t wrapper = blobOffset(m_thin, m_command.dataOffset, 0x10000);
        const std::string der = m_thin.substr(wrapper + 8, be32At(m_thin, wrapper + 4) - 8);
        const auto* cursor = reinterpret_cast<const unsigned char*>(der.data());
        CMS_ContentInfo* genuine =
            d2i_CMS_ContentInfo(nullptr, &cursor, static_cast<long>(der.size()));
        ASSERT_NE(genuine, nullptr);
        STACK_OF(X509)* certificates = CMS_get1_certs(genuine);
        for (int i = 0; i < sk_X509_num(certificates); ++i) {
            X509* certificate = sk_X509_value(certificates, i);
            X509_up_ref(certificate);
            if (X509_check_ca(certificate) &&
                X509_check_issued(certificate, certificate) == X509_V_OK) {
                m_realRoot = CertificatePointer(certificate, X509_free);
            } else if (X509_check_ca(certificate)) {
                m_realIntermediate = CertificatePointer(certificate, X509_free);
            } else {
                X509_free(certificate);
            }
        }
        sk_X509_pop_free(certificates, X509_free);
        CMS_ContentInfo_free(genuine);
        ASSERT_TRUE(m_realRoot && m_realIntermediate);
    }

    // The slice with its CMS signature replaced by one the leaf key makes
    // over the untouched CodeDirectory, carrying `chain`.
    CodeSignature resignedWith(X509* leaf, EVP_PKEY* leafKey, const std::vector<X509*>& chain) {
        STACK_OF(X509)* extra = sk_X509_new_null();
        for (X509* certificate : chain) {
            sk_X509_push(extra, certificate);
        }
        BIO* content =
            BIO_new_mem_buf(m_codeDirectory.data(), static_cast<int>(m_codeDirectory.size()));
        CMS_ContentInfo* message =
            CMS_sign(leaf, leafKey, extra, content, CMS_DETACHED | CMS_BINARY | CMS_NOSMIMECAP);
        EXPECT_NE(message, nullptr);
        unsigned char* der = nullptr;
        const int length = i2d_CMS_ContentInfo(message, &der);
        std::string cms(reinterpret_cast<const char*>(der), static_cast<std::size_t>(length));
        OPENSSL_free(der);
        CMS_ContentInfo_free(message);
        BIO_free(content);
        sk_X509_free(extra);

        std::string bytes = m_thin;
        const std::size_t wrapper = blobOffset(m_thin, m_command.dataOffset, 0x10000);
        const std::size_t end = m_command.dataOffset + m_command.dataSize;
        EXPECT_LE(wrapper + 8 + cms.size(), end);
        std::fill(bytes.begin() + static_cast<std::ptrdiff_t>(wrapper),
                  bytes.begin() + static_cast<std::ptrdiff_t>(end), '\0');
        putBe32(bytes, wrapper, 0xfade0b01);
        putBe32(bytes, wrapper + 4, static_cast<std::uint32_t>(8 + cms.size()));
        bytes.replace(wrapper + 8, cms.size(), cms);
        putBe32(bytes, m_command.dataOffset + 4,
                static_cast<std::uint32_t>(wrapper + 8 + cms.size() - m_command.dataOffset));
        const MemoryByteSource source(bytes);
        return CodeSignatureReader::readMachO(source);
    }

    static void expectNotApple(const CodeSignature& signature) {
        EXPECT_EQ(signature.signingClass, SigningClass::untrusted) << signature.reason;
        EXPECT_TRUE(signature.teamIdentifier.empty());
        EXPECT_TRUE(signature.organization.empty());
        EXPECT_FALSE(signature.intact());
    }

    std::string m_thin;
    SignatureCommand m_command;
    std::string m_codeDirectory;
    CertificatePointer m_realRoot{nullptr, X509_free};
    CertificatePointer m_realIntermediate{nullptr, X509_free};
};

TEST_F(ForgedSignatureTest, SelfMadeChainWithApplesNamesAndMarkersIsUntrusted) {
    Key rootKey, intermediateKey, leafKey;
    auto root =
        makeCertificate(kAppleRoot, nullptr, rootKey.key.get(), rootKey.key.get(), true, {});
    auto intermediate = makeCertificate(kDeveloperIdAuthority, X509_get_subject_name(root.get()),
                                        intermediateKey.key.get(), rootKey.key.get(), true,
                                        {{kDeveloperIdIntermediate, false}});
    auto leaf =
        makeCertificate(kSentryLeaf, X509_get_subject_name(intermediate.get()), leafKey.key.get(),
                        intermediateKey.key.get(), false, {{kDeveloperIdLeaf, true}});
    const CodeSignature signature =
        resignedWith(leaf.get(), leafKey.key.get(), {intermediate.get(), root.get()});
    expectNotApple(signature);
    EXPECT_THAT(signature.reason, ::testing::HasSubstr("not Apple's"));
    // The names are still shown, as what the certificates claim.
    EXPECT_EQ(signature.authorities.front(), kSentryLeaf.commonName);
}

TEST_F(ForgedSignatureTest, ForgedIntermediateBesideTheRealAppleRootIsUntrusted) {
    // The genuine root travels along; the intermediate claims it as issuer
    // but is signed by the attacker's key.
    Key forgerKey, intermediateKey, leafKey;
    auto intermediate = makeCertificate(
        kDeveloperIdAuthority, X509_get_subject_name(m_realRoot.get()), intermediateKey.key.get(),
        forgerKey.key.get(), true, {{kDeveloperIdIntermediate, false}});
    auto leaf =
        makeCertificate(kSentryLeaf, X509_get_subject_name(intermediate.get()), leafKey.key.get(),
                        intermediateKey.key.get(), false, {{kDeveloperIdLeaf, true}});
    expectNotApple(
        resignedWith(leaf.get(), leafKey.key.get(), {intermediate.get(), m_realRoot.get()}));
}

TEST_F(ForgedSignatureTest, LeafClaimingTheRealDeveloperIdAuthorityIsUntrusted) {
    // The real intermediate and root, and a leaf that names the real
    // intermediate as its issuer without Apple ever signing it.
    Key leafKey, forgerKey;
    auto leaf =
        makeCertificate(kSentryLeaf, X509_get_subject_name(m_realIntermediate.get()),
                        leafKey.key.get(), forgerKey.key.get(), false, {{kDeveloperIdLeaf, true}});
    expectNotApple(
        resignedWith(leaf.get(), leafKey.key.get(), {m_realIntermediate.get(), m_realRoot.get()}));
}

TEST_F(ForgedSignatureTest, SelfMadeAppleCodeSigningChainIsNeverApple) {
    Key rootKey, intermediateKey, leafKey;
    auto root =
        makeCertificate(kAppleRoot, nullptr, rootKey.key.get(), rootKey.key.get(), true, {});
    auto intermediate = makeCertificate(kCodeSigningAuthority, X509_get_subject_name(root.get()),
                                        intermediateKey.key.get(), rootKey.key.get(), true, {});
    auto leaf = makeCertificate({"Software Signing", "Apple Software", "Apple Inc."},
                                X509_get_subject_name(intermediate.get()), leafKey.key.get(),
                                intermediateKey.key.get(), false, {});
    expectNotApple(resignedWith(leaf.get(), leafKey.key.get(), {intermediate.get(), root.get()}));
}

TEST_F(ForgedSignatureTest, ResigningWithTheGenuineProcedureKeepsTheCodeDirectoryBound) {
    // The forgeries above fail on the chain alone: the same re-signing with a
    // leaf that signs a different directory is Invalid, not Untrusted.
    Key rootKey, leafKey;
    auto root =
        makeCertificate(kAppleRoot, nullptr, rootKey.key.get(), rootKey.key.get(), true, {});
    auto leaf = makeCertificate(kSentryLeaf, X509_get_subject_name(root.get()), leafKey.key.get(),
                                rootKey.key.get(), false, {{kDeveloperIdLeaf, true}});
    m_codeDirectory[60] ^= 0x01;
    const CodeSignature signature = resignedWith(leaf.get(), leafKey.key.get(), {root.get()});
    EXPECT_EQ(signature.signingClass, SigningClass::invalid);
    EXPECT_THAT(signature.reason, ::testing::HasSubstr("arm64: the CMS signature does not match"));
}

} // namespace
} // namespace daemonary
