#include "CmsSignature.h"

#include "plist/PropertyList.h"

#include <algorithm>
#include <array>
#include <ctime>
#include <memory>
#include <openssl/bio.h>
#include <openssl/cms.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

namespace daemonary {

namespace {

// SHA-256 of the DER of Apple's root certificates, as Apple publishes them
// with the certificates at https://www.apple.com/certificateauthority/.
// Apple Root CA is also the root embedded in Developer ID signatures (for
// example @sentry/cli-darwin 3.8.0); G2 and G3 are its RSA-4096 and ECC
// successors. Only a certificate with one of these digests anchors a chain:
// a root is known by its bytes, never by its name.
constexpr std::array<std::string_view, 3> kAppleRootSha256 = {
    "b0b1730ecbc7ff4505142c49f1295e6eda6bcaed7e2c68c5be91b5a11001f024", // Apple Root CA
    "c2b9b042dd57830e7d117dac55ac8ae19407d38e41d88f3215bc3a890444a050", // Apple Root CA - G2
    "63343abfb89a6a03ebb57e9b3f5fa7be7c4f5c756f3017b3a8c488c3653e9179", // Apple Root CA - G3
};

// Marker extensions Apple puts in the certificates it issues (Apple's
// requirement language, "Code Signing Requirement Language" in the Code
// Signing Guide; TN3127 "Inside Code Signing: Requirements"; TN3161 "Inside
// Code Signing: Certificates"; the designated requirements Xcode writes).
// They count only in a chain already anchored at an Apple root.
constexpr const char* kDeveloperIdIntermediate = "1.2.840.113635.100.6.2.6";
constexpr const char* kDeveloperIdLeaf = "1.2.840.113635.100.6.1.13";
constexpr const char* kMacAppStoreLeaf = "1.2.840.113635.100.6.1.9";
constexpr const char* kDevelopmentLeafIos = "1.2.840.113635.100.6.1.2";  // iPhone/Apple Development
constexpr const char* kDevelopmentLeafMac = "1.2.840.113635.100.6.1.12"; // Mac/Apple Development
constexpr std::string_view kAppleExtensionArc = "1.2.840.113635.100.6.";
// The signed attribute listing every CodeDirectory's CDHash (a plist).
constexpr const char* kCdHashesAttribute = "1.2.840.113635.100.9.1";
// `anchor apple` as Apple's requirement interpreter defines it: an Apple
// root, and as first intermediate Apple's own code-signing authority, known
// by the name Apple gave it in a certificate Apple's root signed.
constexpr std::string_view kAppleCodeSigningAuthority =
    "Apple Code Signing Certification Authority";
constexpr std::string_view kAppleOrganization = "Apple Inc.";
// Real chains have three certificates; more is a message built to make
// the chain builder work.
constexpr int kMaxCertificates = 16;

template <typename T, void (*Free)(T*)> struct Deleter {
    void operator()(T* pointer) const { Free(pointer); }
};
using CmsPointer = std::unique_ptr<CMS_ContentInfo, Deleter<CMS_ContentInfo, CMS_ContentInfo_free>>;
using BioPointer = std::unique_ptr<BIO, Deleter<BIO, BIO_free_all>>;
using StorePointer = std::unique_ptr<X509_STORE, Deleter<X509_STORE, X509_STORE_free>>;
using StoreContextPointer =
    std::unique_ptr<X509_STORE_CTX, Deleter<X509_STORE_CTX, X509_STORE_CTX_free>>;
using ObjectPointer = std::unique_ptr<ASN1_OBJECT, Deleter<ASN1_OBJECT, ASN1_OBJECT_free>>;

struct CertificateStackDeleter {
    void operator()(STACK_OF(X509) * stack) const { sk_X509_pop_free(stack, X509_free); }
};
using CertificateStack = std::unique_ptr<STACK_OF(X509), CertificateStackDeleter>;

std::string hexOf(const unsigned char* data, std::size_t size) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    for (std::size_t i = 0; i < size; ++i) {
        text += kDigits[data[i] >> 4];
        text += kDigits[data[i] & 0xf];
    }
    return text;
}

bool isAppleRoot(X509* certificate) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (X509_digest(certificate, EVP_sha256(), digest, &length) != 1) {
        return false;
    }
    const std::string hex = hexOf(digest, length);
    return std::find(kAppleRootSha256.begin(), kAppleRootSha256.end(), hex) !=
           kAppleRootSha256.end();
}

std::string nameField(X509* certificate, int nid) {
    X509_NAME* name = X509_get_subject_name(certificate);
    const int index = name ? X509_NAME_get_index_by_NID(name, nid, -1) : -1;
    if (index < 0) {
        return {};
    }
    unsigned char* utf8 = nullptr;
    const int length =
        ASN1_STRING_to_UTF8(&utf8, X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, index)));
    if (length < 0) {
        return {};
    }
    std::string text(reinterpret_cast<const char*>(utf8), static_cast<std::size_t>(length));
    OPENSSL_free(utf8);
    return text;
}

bool hasExtension(X509* certificate, const char* oid) {
    ObjectPointer object(OBJ_txt2obj(oid, 1));
    return object && X509_get_ext_by_OBJ(certificate, object.get(), -1) >= 0;
}

// Apple marks its certificates with critical extensions of its own that
// OpenSSL does not know. Those, and only those, are understood here.
int acceptAppleCriticalExtensions(int ok, X509_STORE_CTX* context) {
    if (ok || X509_STORE_CTX_get_error(context) != X509_V_ERR_UNHANDLED_CRITICAL_EXTENSION) {
        return ok;
    }
    X509* certificate = X509_STORE_CTX_get_current_cert(context);
    if (certificate == nullptr) {
        return 0;
    }
    for (int i = 0; i < X509_get_ext_count(certificate); ++i) {
        X509_EXTENSION* extension = X509_get_ext(certificate, i);
        if (!X509_EXTENSION_get_critical(extension) || X509_supported_extension(extension)) {
            continue;
        }
        char oid[128];
        OBJ_obj2txt(oid, sizeof oid, X509_EXTENSION_get_object(extension), 1);
        if (!std::string_view(oid).starts_with(kAppleExtensionArc)) {
            return 0;
        }
    }
    X509_STORE_CTX_set_error(context, X509_V_OK);
    return 1;
}

std::optional<std::chrono::system_clock::time_point> signingTimeOf(CMS_SignerInfo* signer) {
    const int index = CMS_signed_get_attr_by_NID(signer, NID_pkcs9_signingTime, -1);
    if (index < 0) {
        return std::nullopt;
    }
    ASN1_TYPE* value = X509_ATTRIBUTE_get0_type(CMS_signed_get_attr(signer, index), 0);
    if (value == nullptr ||
        (value->type != V_ASN1_UTCTIME && value->type != V_ASN1_GENERALIZEDTIME)) {
        return std::nullopt;
    }
    std::tm time{};
    if (ASN1_TIME_to_tm(value->value.utctime, &time) != 1) {
        return std::nullopt;
    }
    return std::chrono::system_clock::from_time_t(timegm(&time));
}

// Nothing when the attribute is absent; an empty list when it is there but
// unreadable (so it binds nothing).
std::optional<std::vector<std::string>> signedCdHashesOf(CMS_SignerInfo* signer) {
    ObjectPointer object(OBJ_txt2obj(kCdHashesAttribute, 1));
    const int index = object ? CMS_signed_get_attr_by_OBJ(signer, object.get(), -1) : -1;
    if (index < 0) {
        return std::nullopt;
    }
    std::vector<std::string> hashes;
    ASN1_TYPE* value = X509_ATTRIBUTE_get0_type(CMS_signed_get_attr(signer, index), 0);
    if (value == nullptr || value->type != V_ASN1_OCTET_STRING) {
        return hashes;
    }
    const ASN1_OCTET_STRING* text = value->value.octet_string;
    const auto plist = parsePropertyList(
        std::string_view(reinterpret_cast<const char*>(ASN1_STRING_get0_data(text)),
                         static_cast<std::size_t>(ASN1_STRING_length(text))));
    const PlistDictionary* dictionary = plist ? plist->dictionary() : nullptr;
    const auto entry =
        dictionary ? dictionary->find("cdhashes") : PlistDictionary::const_iterator{};
    if (dictionary == nullptr || entry == dictionary->end() || !entry->second.array()) {
        return hashes;
    }
    for (const PlistValue& item : *entry->second.array()) {
        if (const PlistData* data = item.data()) {
            hashes.push_back(data->bytes.substr(0, 20));
        }
    }
    return hashes;
}

std::string openSslError(std::string_view what) {
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0) {
        return std::string(what);
    }
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    return std::string(what) + " (" + text + ")";
}

SigningClass classOfAppleChain(STACK_OF(X509) * chain, std::string* reason) {
    const int length = sk_X509_num(chain);
    X509* leaf = sk_X509_value(chain, 0);
    X509* first = length >= 3 ? sk_X509_value(chain, 1) : nullptr;
    if (first && nameField(first, NID_commonName) == kAppleCodeSigningAuthority &&
        nameField(first, NID_organizationName) == kAppleOrganization) {
        return SigningClass::apple;
    }
    if (first && hasExtension(first, kDeveloperIdIntermediate) &&
        hasExtension(leaf, kDeveloperIdLeaf)) {
        return SigningClass::developerId;
    }
    if (hasExtension(leaf, kMacAppStoreLeaf)) {
        return SigningClass::macAppStore;
    }
    if (hasExtension(leaf, kDevelopmentLeafIos) || hasExtension(leaf, kDevelopmentLeafMac)) {
        return SigningClass::appleDevelopment;
    }
    *reason = "the chain ends at an Apple root but its leaf has no code-signing marker";
    return SigningClass::untrusted;
}

} // namespace

CmsVerdict verifyCmsSignature(std::string_view cms, std::string_view codeDirectory) {
    CmsVerdict verdict;
    ERR_clear_error();
    const auto* cursor = reinterpret_cast<const unsigned char*>(cms.data());
    CmsPointer message(d2i_CMS_ContentInfo(nullptr, &cursor, static_cast<long>(cms.size())));
    if (!message || OBJ_obj2nid(CMS_get0_type(message.get())) != NID_pkcs7_signed ||
        CMS_is_detached(message.get()) != 1) {
        verdict.reason = openSslError("the signature is not a detached CMS SignedData message");
        return verdict;
    }
    STACK_OF(CMS_SignerInfo)* signers = CMS_get0_SignerInfos(message.get());
    if (signers == nullptr || sk_CMS_SignerInfo_num(signers) != 1) {
        verdict.reason = "the signature does not have exactly one signer";
        return verdict;
    }
    CertificateStack certificates(CMS_get1_certs(message.get()));
    if (!certificates || sk_X509_num(certificates.get()) == 0) {
        verdict.reason = "the signature carries no certificates";
        return verdict;
    }
    if (sk_X509_num(certificates.get()) > kMaxCertificates) {
        verdict.reason = "the signature carries too many certificates";
        return verdict;
    }

    // The signature over the CodeDirectory, by the key of the certificate
    // the signer names; the chain is judged separately below.
    BioPointer content(
        BIO_new_mem_buf(codeDirectory.data(), static_cast<int>(codeDirectory.size())));
    if (!content || CMS_verify(message.get(), nullptr, nullptr, content.get(), nullptr,
                               CMS_BINARY | CMS_NO_SIGNER_CERT_VERIFY) != 1) {
        verdict.reason = openSslError("the CMS signature does not match the CodeDirectory");
        return verdict;
    }
    CMS_SignerInfo* signer = sk_CMS_SignerInfo_value(signers, 0);
    X509* leaf = nullptr;
    CMS_SignerInfo_get0_algs(signer, nullptr, &leaf, nullptr, nullptr);
    if (leaf == nullptr) {
        verdict.reason = "the signer's certificate is not in the signature";
        return verdict;
    }
    verdict.signingTime = signingTimeOf(signer);
    verdict.signedCdHashes = signedCdHashesOf(signer);

    StorePointer store(X509_STORE_new());
    StoreContextPointer context(X509_STORE_CTX_new());
    if (!store || !context) {
        verdict.reason = "out of memory";
        return verdict;
    }
    for (int i = 0; i < sk_X509_num(certificates.get()); ++i) {
        X509* certificate = sk_X509_value(certificates.get(), i);
        if (isAppleRoot(certificate)) {
            X509_STORE_add_cert(store.get(), certificate);
        }
    }
    if (X509_STORE_CTX_init(context.get(), store.get(), leaf, certificates.get()) != 1) {
        verdict.reason = openSslError("the certificate chain cannot be checked");
        return verdict;
    }
    X509_VERIFY_PARAM* parameters = X509_STORE_CTX_get0_param(context.get());
    // Code stays valid after its certificate expires when it was signed
    // while the certificate was valid: the chain is judged at signing time.
    if (verdict.signingTime) {
        X509_VERIFY_PARAM_set_time(parameters,
                                   std::chrono::system_clock::to_time_t(*verdict.signingTime));
    } else {
        X509_VERIFY_PARAM_set_flags(parameters, X509_V_FLAG_NO_CHECK_TIME);
    }
    X509_STORE_CTX_set_verify_cb(context.get(), acceptAppleCriticalExtensions);
    const bool anchored = X509_verify_cert(context.get()) == 1;
    STACK_OF(X509)* chain = X509_STORE_CTX_get0_chain(context.get());
    const bool partial = chain == nullptr || sk_X509_num(chain) == 0;
    if (!partial) {
        for (int i = 0; i < sk_X509_num(chain); ++i) {
            verdict.authorities.push_back(nameField(sk_X509_value(chain, i), NID_commonName));
        }
    } else {
        verdict.authorities.push_back(nameField(leaf, NID_commonName));
    }
    if (!anchored) {
        verdict.signingClass = SigningClass::untrusted;
        verdict.reason = std::string("the certificate chain is not Apple's: ") +
                         X509_verify_cert_error_string(X509_STORE_CTX_get_error(context.get()));
        ERR_clear_error();
        return verdict;
    }
    if (!isAppleRoot(sk_X509_value(chain, sk_X509_num(chain) - 1))) {
        verdict.signingClass = SigningClass::untrusted;
        verdict.reason = "the certificate chain does not end at an Apple root";
        return verdict;
    }
    if ((X509_get_extension_flags(leaf) & EXFLAG_XKUSAGE) &&
        !(X509_get_extended_key_usage(leaf) & XKU_CODE_SIGN)) {
        verdict.signingClass = SigningClass::untrusted;
        verdict.reason = "the leaf certificate is not for code signing";
        return verdict;
    }
    verdict.signingClass = classOfAppleChain(chain, &verdict.reason);
    if (verdict.signingClass != SigningClass::untrusted) {
        verdict.teamIdentifier = nameField(leaf, NID_organizationalUnitName);
        verdict.organization = nameField(leaf, NID_organizationName);
    }
    return verdict;
}

} // namespace daemonary
