#pragma once

#include "insight/Signer.h"
#include "insight/SignerCache.h"
#include "insight/SignerChecker.h"
#include "model/LaunchItem.h"

#include <QHash>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QThreadPool>
#include <QTimer>
#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace daemonary {

// The signers of the records' executables and bundles, found in the
// background and kept for the whole application: by target (the path a
// record names, signerTarget) on the GUI thread, and by target, size and
// modification time in a cache file, so a later launch knows them at once.
//
// What the cache file says is shown at once but proves nothing (any process
// of the user can write it): only a check of this process makes an item
// Apple enough to hide, so while proof is wanted a cached "Apple" is checked
// again.
//
// Checks run on a pool of the store's own, at most four at a time, each
// codesign run within the checker's time limit. Results are handed to the
// GUI thread in batches (signersChanged), so a table filling in thousands of
// rows stays responsive.
class SignerStore : public QObject {
    Q_OBJECT

public:
    static constexpr int kMaxConcurrentChecks = 4;
    // Results gathered this long are announced together.
    static constexpr int kBatchMilliseconds = 100;
    // New results are written to the cache file this long after the last.
    static constexpr int kSaveDelayMilliseconds = 2000;

    // An empty cacheFile keeps the cache in memory only.
    explicit SignerStore(SignerChecker checker = SignerChecker(),
                         QString cacheFile = defaultCacheFile(), QObject* parent = nullptr);
    // Ends the checks still running (their tools are killed) and writes the
    // cache.
    ~SignerStore() override;

    // The application's store; its cache lives in the cache location.
    static SignerStore& shared();
    // "signers.json" in QStandardPaths::CacheLocation.
    static QString defaultCacheFile();

    // The signer of a target, or nothing while it is unknown.
    const Signer* signer(const QString& target) const;
    // Whether a check of this process found the target signed by Apple.
    bool isProvenApple(const QString& target) const;
    // While wanted (Apple-signed items are hidden), every "Apple" the cache
    // file gave, known now or later, is checked again.
    void setProofWanted(bool wanted);
    // Finds the signers of the records' targets that are not being found
    // already: from the cache when the file is unchanged, else by a check.
    // `urgent` puts them ahead of earlier requests (the table the user looks
    // at).
    void request(const std::vector<LaunchItem>& items, bool urgent = false);
    // One target, unless its signer is known already.
    void requestTarget(const QString& target, bool urgent = true);
    // Takes a signer as if a check of this process had found it.
    void insert(const QString& target, const Signer& signer);

    // Targets asked for whose signer has not arrived yet.
    int pendingCount() const { return static_cast<int>(m_pending.size()); }
    // Ends the checks (their tools are killed) and waits for them; nothing
    // is checked afterwards. For quitting.
    void stop();
    // Writes the cache file from the calling thread (quitting, tests).
    void writeCache();

signals:
    // Signers became known for these targets.
    void signersChanged(const QStringList& targets);
    // Every requested signer is known.
    void idle();
    // pendingCount() changed.
    void pendingChanged();

private:
    struct Found {
        QString target;
        Signer signer;
        bool proven = true;
    };

    void startRequests(const std::vector<std::string>& targets, bool urgent);
    // Checks one target on the pool; without a stamp it is taken first.
    void startCheck(std::string target, std::optional<SignerStamp> stamp, int priority);
    void deliver(std::vector<Found> found);
    void flush();
    void scheduleSave();
    void ensureCacheLoaded();
    // Emits pendingChanged when the count differs from the last announced.
    void announcePending();

    const SignerChecker m_checker;
    const QString m_cacheFile;
    SignerCache m_cache;
    std::once_flag m_cacheLoaded;
    std::atomic<bool> m_cancel = false;
    std::atomic<bool> m_proofWanted = false;
    QThreadPool m_pool;

    QHash<QString, Signer> m_signers;
    QSet<QString> m_proven;
    QSet<QString> m_pending;
    QStringList m_changed;
    int m_announcedPending = 0;
    QTimer m_batchTimer;
    QTimer m_saveTimer;
};

} // namespace daemonary
