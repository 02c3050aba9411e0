#pragma once

#include "insight/Signer.h"
#include "insight/SignerChecker.h"

#include <map>
#include <mutex>
#include <optional>
#include <string>

namespace daemonary {

// A signer the cache knows, and whether a check of this process decided it.
struct CachedSigner {
    Signer signer;
    // False for what came from the cache file, which any process of the
    // user can write: good enough to show, never proof.
    bool proven = false;

    bool operator==(const CachedSigner&) const = default;
};

// Signers already decided, by target and the stamp the target had then, so
// an unchanged file is never checked twice. Kept in memory and in a small
// JSON file between runs. Thread-safe.
//
// Only answers that describe the file are kept: a missing file or a tool
// that failed may well give another answer next time, and a signature read
// from the file is read again as cheaply (codesign may be there next time).
// An answer is kept only for the code its stamp names (the same CDHashes),
// and found again only while the file has that stamp, CDHashes included.
class SignerCache {
public:
    // A cache file larger than this is not one this class wrote.
    static constexpr std::size_t kMaxFileBytes = 64 * 1024 * 1024;
    // 1 stamped by size and modification time only; such a file is dropped.
    static constexpr int kFormatVersion = 2;

    // The signer when the target still has that stamp.
    std::optional<CachedSigner> lookup(const std::string& target, const SignerStamp& stamp) const;
    // A signer a check of this process decided.
    void store(const std::string& target, const SignerStamp& stamp, const Signer& signer);
    std::size_t size() const;

    // Replaces the contents with the file's. A missing file is an empty cache;
    // one that cannot be read or is not what save writes is ignored with one
    // log line, and the cache starts empty. False in that case.
    bool load(const std::string& file);
    // Writes the entries looked up or stored since the cache was made or
    // loaded (stale paths drop out), through a temporary file and a rename.
    // False with a log line when it cannot.
    bool save(const std::string& file) const;

    static bool isCacheable(const Signer& signer);

private:
    struct Entry {
        SignerStamp stamp;
        Signer signer;
        bool proven = false;
        mutable bool used = false;
    };

    mutable std::mutex m_mutex;
    std::map<std::string, Entry> m_entries;
};

} // namespace daemonary
