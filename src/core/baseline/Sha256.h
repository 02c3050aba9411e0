#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace daemonary {

// SHA-256 from the platform's own library: CommonCrypto on Apple systems,
// OpenSSL's libcrypto elsewhere. Incremental, so large inputs can be fed in
// pieces.
class Sha256 {
public:
    using Digest = std::array<std::uint8_t, 32>;

    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    void update(std::string_view bytes);
    // The digest of everything fed so far; the object is spent afterwards.
    Digest finish();

    static std::string toHex(const Digest& digest);

private:
    struct State;
    std::unique_ptr<State> m_state;
};

// Lowercase hexadecimal SHA-256 of the bytes.
std::string sha256Hex(std::string_view bytes);

} // namespace daemonary
