#include "table/SignerStore.h"

#include "platform/Log.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

namespace daemonary {

SignerStore::SignerStore(SignerChecker checker, QString cacheFile, QObject* parent)
    : QObject(parent), m_checker(std::move(checker)), m_cacheFile(std::move(cacheFile)) {
    m_pool.setObjectName(QStringLiteral("SignerStore checks"));
    m_pool.setMaxThreadCount(kMaxConcurrentChecks);
    m_batchTimer.setSingleShot(true);
    m_batchTimer.setInterval(kBatchMilliseconds);
    connect(&m_batchTimer, &QTimer::timeout, this, &SignerStore::flush);
    m_saveTimer.setSingleShot(true);
    m_saveTimer.setInterval(kSaveDelayMilliseconds);
    connect(&m_saveTimer, &QTimer::timeout, this,
            [this] { m_pool.start([this] { writeCache(); }, 1); });
}

SignerStore::~SignerStore() {
    const bool unsaved = m_saveTimer.isActive();
    stop();
    if (unsaved) {
        writeCache();
    }
}

void SignerStore::stop() {
    m_cancel = true;
    m_saveTimer.stop();
    m_pool.clear();
    m_pool.waitForDone();
}

void SignerStore::writeCache() {
    if (m_cacheFile.isEmpty()) {
        return;
    }
    QDir().mkpath(QFileInfo(m_cacheFile).absolutePath());
    m_cache.save(m_cacheFile.toStdString());
}

SignerStore& SignerStore::shared() {
    // Never destroyed: checks may still run when the process ends. The cache
    // is written when the application quits instead.
    static SignerStore* const instance = [] {
        auto* store = new SignerStore();
        if (auto* application = QCoreApplication::instance()) {
            QObject::connect(application, &QCoreApplication::aboutToQuit, store, [store] {
                const bool unsaved = store->m_saveTimer.isActive();
                store->stop();
                if (unsaved) {
                    store->writeCache();
                }
            });
        }
        return store;
    }();
    return *instance;
}

QString SignerStore::defaultCacheFile() {
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::CacheLocation);
    if (folder.isEmpty()) {
        return {};
    }
    return QDir(folder).filePath(QStringLiteral("signers.json"));
}

const Signer* SignerStore::signer(const QString& target) const {
    const auto found = m_signers.constFind(target);
    return found == m_signers.constEnd() ? nullptr : &found.value();
}

bool SignerStore::isProvenApple(const QString& target) const {
    const Signer* found = signer(target);
    return found != nullptr && found->kind == SignerKind::apple && m_proven.contains(target);
}

void SignerStore::request(const std::vector<LaunchItem>& items, bool urgent) {
    std::vector<std::string> targets;
    for (const LaunchItem& item : items) {
        auto target = signerTarget(item);
        if (!target) {
            continue;
        }
        // Known targets are looked at again: a file that changed since (another
        // size or modification time) misses the cache and is checked afresh.
        const QString key = QString::fromStdString(*target);
        if (m_pending.contains(key)) {
            continue;
        }
        m_pending.insert(key);
        targets.push_back(std::move(*target));
    }
    startRequests(targets, urgent);
    announcePending();
}

void SignerStore::requestTarget(const QString& target, bool urgent) {
    if (target.isEmpty() || m_signers.contains(target) || m_pending.contains(target)) {
        return;
    }
    m_pending.insert(target);
    startRequests({target.toStdString()}, urgent);
    announcePending();
}

void SignerStore::announcePending() {
    if (pendingCount() != m_announcedPending) {
        m_announcedPending = pendingCount();
        emit pendingChanged();
    }
}

void SignerStore::ensureCacheLoaded() {
    std::call_once(m_cacheLoaded, [this] {
        if (!m_cacheFile.isEmpty()) {
            m_cache.load(m_cacheFile.toStdString());
        }
    });
}

void SignerStore::startRequests(const std::vector<std::string>& targets, bool urgent) {
    if (targets.empty()) {
        return;
    }
    const int priority = urgent ? 2 : 0;
    // One pass answers everything the cache knows in one batch; only what it
    // does not know costs a check of its own.
    m_pool.start(
        [this, targets, priority] {
            ensureCacheLoaded();
            std::vector<Found> known;
            std::vector<std::pair<std::string, std::optional<SignerStamp>>> unknown;
            for (const std::string& target : targets) {
                if (m_cancel) {
                    return;
                }
                auto stamp = m_checker.stamp(target);
                if (stamp) {
                    if (auto cached = m_cache.lookup(target, *stamp)) {
                        known.push_back({QString::fromStdString(target), std::move(cached->signer),
                                         cached->proven});
                        continue;
                    }
                }
                unknown.emplace_back(target, stamp);
            }
            QMetaObject::invokeMethod(
                this, [this, known = std::move(known)]() mutable { deliver(std::move(known)); },
                Qt::QueuedConnection);
            for (auto& [target, stamp] : unknown) {
                startCheck(std::move(target), std::move(stamp), priority);
            }
        },
        priority + 1);
}

void SignerStore::startCheck(std::string target, std::optional<SignerStamp> stamp, int priority) {
    m_pool.start(
        [this, target = std::move(target), stamp]() mutable {
            if (m_cancel) {
                return;
            }
            if (!stamp) {
                stamp = m_checker.stamp(target);
            }
            Signer signer = m_checker.check(target, &m_cancel);
            if (m_cancel) {
                return;
            }
            if (stamp) {
                m_cache.store(target, *stamp, signer);
            }
            std::vector<Found> found;
            found.push_back({QString::fromStdString(target), std::move(signer)});
            QMetaObject::invokeMethod(
                this, [this, found = std::move(found)]() mutable { deliver(std::move(found)); },
                Qt::QueuedConnection);
        },
        priority);
}

void SignerStore::setProofWanted(bool wanted) {
    m_proofWanted = wanted;
    if (!wanted) {
        return;
    }
    for (auto it = m_signers.constBegin(); it != m_signers.constEnd(); ++it) {
        if (it.value().kind == SignerKind::apple && !m_proven.contains(it.key()) &&
            !m_pending.contains(it.key())) {
            m_pending.insert(it.key());
            startCheck(it.key().toStdString(), std::nullopt, 0);
        }
    }
    announcePending();
}

void SignerStore::insert(const QString& target, const Signer& signer) {
    deliver({Found{target, signer}});
}

void SignerStore::deliver(std::vector<Found> found) {
    bool computed = false;
    for (Found& entry : found) {
        // Only a class that hides needs proof, and only while items are hidden.
        if (m_proofWanted && !entry.proven && entry.signer.kind == SignerKind::apple) {
            startCheck(entry.target.toStdString(), std::nullopt, 0);
        } else {
            m_pending.remove(entry.target);
        }
        const bool wasProven = m_proven.contains(entry.target);
        if (entry.proven) {
            m_proven.insert(entry.target);
        } else {
            m_proven.remove(entry.target);
        }
        const auto existing = m_signers.constFind(entry.target);
        if (existing != m_signers.constEnd() && existing.value() == entry.signer &&
            wasProven == entry.proven) {
            continue;
        }
        m_signers.insert(entry.target, std::move(entry.signer));
        m_changed.append(entry.target);
        computed = true;
    }
    if (computed && !m_batchTimer.isActive()) {
        m_batchTimer.start();
    }
    if (computed) {
        scheduleSave();
    }
    announcePending();
    if (m_pending.isEmpty() && !m_batchTimer.isActive()) {
        emit idle();
    }
}

void SignerStore::flush() {
    QStringList changed;
    changed.swap(m_changed);
    if (!changed.isEmpty()) {
        emit signersChanged(changed);
    }
    if (m_pending.isEmpty()) {
        emit idle();
    }
}

void SignerStore::scheduleSave() {
    if (!m_cacheFile.isEmpty()) {
        m_saveTimer.start();
    }
}

} // namespace daemonary
