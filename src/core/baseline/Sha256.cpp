#include "baseline/Sha256.h"

#include <stdexcept>

#ifdef __APPLE__
#include <CommonCrypto/CommonDigest.h>
#else
#include <openssl/evp.h>
#endif

namespace daemonary {

#ifdef __APPLE__

struct Sha256::State {
    CC_SHA256_CTX context{};
};

Sha256::Sha256() : m_state(std::make_unique<State>()) {
    CC_SHA256_Init(&m_state->context);
}

Sha256::~Sha256() = default;

void Sha256::update(std::string_view bytes) {
    // CC_LONG is 32 bits wide; feed larger inputs in pieces.
    constexpr std::size_t kChunk = 1u << 30;
    while (!bytes.empty()) {
        const std::size_t count = bytes.size() < kChunk ? bytes.size() : kChunk;
        CC_SHA256_Update(&m_state->context, bytes.data(), static_cast<CC_LONG>(count));
        bytes.remove_prefix(count);
    }
}

Sha256::Digest Sha256::finish() {
    Digest digest{};
    CC_SHA256_Final(digest.data(), &m_state->context);
    return digest;
}

#else

struct Sha256::State {
    EVP_MD_CTX* context = nullptr;
    ~State() { EVP_MD_CTX_free(context); }
};

Sha256::Sha256() : m_state(std::make_unique<State>()) {
    m_state->context = EVP_MD_CTX_new();
    // Only an allocation failure gets here; there is no digest without one.
    if (m_state->context == nullptr ||
        EVP_DigestInit_ex(m_state->context, EVP_sha256(), nullptr) != 1) {
        throw std::runtime_error("SHA-256 is not available");
    }
}

Sha256::~Sha256() = default;

void Sha256::update(std::string_view bytes) {
    EVP_DigestUpdate(m_state->context, bytes.data(), bytes.size());
}

Sha256::Digest Sha256::finish() {
    Digest digest{};
    unsigned int length = 0;
    EVP_DigestFinal_ex(m_state->context, digest.data(), &length);
    return digest;
}

#endif

std::string Sha256::toHex(const Digest& digest) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(digest.size() * 2);
    for (const std::uint8_t byte : digest) {
        text.push_back(kDigits[byte >> 4]);
        text.push_back(kDigits[byte & 0x0F]);
    }
    return text;
}

std::string sha256Hex(std::string_view bytes) {
    Sha256 hash;
    hash.update(bytes);
    return Sha256::toHex(hash.finish());
}

} // namespace daemonary
