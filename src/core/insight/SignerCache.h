#pragma once

#include "insight/Signer.h"
#include "insight/SignerChecker.h"

#include <map>
#include <mutex>
#include <optional>
#include <string>

namespace daemonary {

// Signers already decided, by target and the stamp the target had then, so
// an unchanged file is never checked twice. Kept in memory and in a small
// JSON file between runs. Thread-safe.
//
// Only answers that describe the file are kept: a missing file or a tool
// that failed may well give another answer next time.
class SignerCache {
public:
    // A cache file larger than this is not one this class wrote.
    static constexpr std::size_t kMaxFileBytes = 64 * 1024 * 1024;
    static constexpr int kFormatVersion = 1;

    // The signer when the target still has that stamp.
    std::optional<Signer> lookup(const std::string& target, const SignerStamp& stamp) const;
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
        mutable bool used = false;
    };

    mutable std::mutex m_mutex;
    std::map<std::string, Entry> m_entries;
};

} // namespace daemonary
