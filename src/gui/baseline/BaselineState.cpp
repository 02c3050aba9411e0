#include "baseline/BaselineState.h"

#include "baseline/DiskSnapshot.h"
#include "baseline/SnapshotFile.h"
#include "platform/Log.h"
#include "table/AppState.h"
#include "table/ShownText.h"
#include "text/Text.h"

#include <QDir>
#include <QFileInfo>
#include <QFutureWatcher>
#include <QLocale>
#include <QStandardPaths>
#include <QtConcurrent/QtConcurrentRun>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <variant>

namespace daemonary {

namespace {

// One thread, so that loads, saves and removals of the file happen in the
// order they were asked for (fingerprinting spreads over threads itself).
constexpr int kBaselineThreads = 1;

QString text(const std::string& value) {
    return QString::fromStdString(value);
}

template <typename Result, typename Work, typename Done>
void runOn(QThreadPool& pool, QObject* context, Work work, Done done) {
    auto* watcher = new QFutureWatcher<Result>(context);
    QObject::connect(watcher, &QFutureWatcher<Result>::finished, context,
                     [watcher, done = std::move(done)]() mutable {
                         watcher->deleteLater();
                         done(watcher->result());
                     });
    watcher->setFuture(QtConcurrent::run(&pool, std::move(work)));
}

QString describeRecord(const SnapshotRecord& record) {
    QStringList facts;
    if (record.item.path) {
        facts << BaselineState::tr("path %1").arg(shownText(*record.item.path));
    }
    if (record.item.executablePath) {
        facts << BaselineState::tr("executable %1").arg(shownText(*record.item.executablePath));
    }
    const Fingerprint& fingerprint = record.fingerprint;
    if (fingerprint.sha256) {
        facts << BaselineState::tr("SHA-256 %1").arg(text(*fingerprint.sha256));
    }
    if (fingerprint.stamp) {
        facts << BaselineState::tr("%1 bytes").arg(fingerprint.stamp->size);
    }
    if (fingerprint.executable) {
        facts << BaselineState::tr("program %1").arg(shownText(*fingerprint.executable));
    }
    if (fingerprint.programSha256) {
        facts << BaselineState::tr("program SHA-256 %1").arg(text(*fingerprint.programSha256));
    }
    return facts.join(QStringLiteral("; "));
}

// Why a saved baseline cannot be read, in words rather than a parser's.
QString unusableReason(const SnapshotError& error) {
    switch (error.kind) {
    case SnapshotError::Kind::notJson:
        return BaselineState::tr("it is not a baseline file");
    case SnapshotError::Kind::cutShort:
        return BaselineState::tr("it was cut short: the file ends before the baseline does");
    case SnapshotError::Kind::newer:
        return BaselineState::tr("it was written by a newer version of Daemonary");
    case SnapshotError::Kind::unreadable:
        return BaselineState::tr("the file cannot be read");
    case SnapshotError::Kind::unusable:
        break;
    }
    return BaselineState::tr("it is damaged: some of what it records makes no sense");
}

// A disk's records already carry the Mac's paths; its programs were read
// where they lie here. Marked as read from a disk, they compare with a
// baseline taken at another place, and the diff leaves unknown states alone.
Snapshot asReadFrom(Snapshot snapshot, const std::optional<BaselineState::Disk>& disk) {
    if (disk) {
        snapshot.markReadFromDisk(disk->root, disk->users);
    }
    return snapshot;
}

} // namespace

BaselineState::BaselineState(AppState& appState, QString filePath, HostLayout layout,
                             QObject* parent)
    : QObject(parent), m_appState(appState), m_filePath(std::move(filePath)), m_layout(layout),
      m_reader(std::make_shared<FingerprintReader>(std::move(layout))) {
    qRegisterMetaType<daemonary::LaunchScope>();
    m_pool.setObjectName(QStringLiteral("Baseline"));
    m_pool.setMaxThreadCount(kBaselineThreads);
    // Every load, not only one whose records differ: a definition or program
    // rewritten under the same label and path changes no record.
    connect(&m_appState, &AppState::itemsStored, this, &BaselineState::recompute);
}

BaselineState::~BaselineState() {
    m_pool.waitForDone();
}

void BaselineState::setLayout(HostLayout layout, std::optional<Disk> disk) {
    // Work running keeps the reader it started with; what it remembered of
    // the other files does not carry over. Evidence is hashed whatever its
    // size, as the command line does.
    m_reader = disk ? std::make_shared<FingerprintReader>(layout, kDiskProgramHashLimit)
                    : std::make_shared<FingerprintReader>(layout);
    m_layout = std::move(layout);
    m_disk = std::move(disk);
}

QString BaselineState::defaultFilePath() {
    return QStandardPaths::writableLocation(QStandardPaths::AppDataLocation) +
           QStringLiteral("/baseline.json");
}

QDateTime BaselineState::takenAt() const {
    if (!m_baseline) {
        return {};
    }
    QDateTime time = QDateTime::fromString(text(m_baseline->takenAt), Qt::ISODate);
    return time.toLocalTime();
}

QString BaselineState::dateText() const {
    const QDateTime time = takenAt();
    if (!time.isValid()) {
        return {};
    }
    const QLocale locale;
    return tr("%1, %2").arg(locale.toString(time.date(), QStringLiteral("d MMM yyyy")),
                            locale.toString(time.time(), QLocale::ShortFormat));
}

void BaselineState::started() {
    ++m_pending;
}

void BaselineState::finished() {
    if (--m_pending == 0) {
        emit idle();
    }
}

void BaselineState::report(const QString& message) {
    m_problem = message;
    Log::line("BaselineState: " + message.toStdString());
    emit problemOccurred(message);
}

void BaselineState::load() {
    started();
    const std::string path = m_filePath.toStdString();
    using Result = std::variant<std::monostate, Snapshot, SnapshotError>;
    runOn<Result>(
        m_pool, this,
        [path]() -> Result {
            if (!QFileInfo::exists(QString::fromStdString(path))) {
                return std::monostate{};
            }
            auto read = SnapshotFile::read(path);
            if (auto* error = std::get_if<SnapshotError>(&read)) {
                return std::move(*error);
            }
            return std::get<Snapshot>(std::move(read));
        },
        [this](Result result) {
            if (auto* snapshot = std::get_if<Snapshot>(&result)) {
                m_problem.clear();
                setBaseline(std::move(*snapshot));
            } else if (auto* error = std::get_if<SnapshotError>(&result)) {
                setBaseline(std::nullopt);
                // The parser's details go to the log; the alert says what
                // is wrong and where the file is.
                Log::line("BaselineState: " + displayableText(error->message));
                report(tr("The saved baseline cannot be used: %1. It has been left as it is "
                          "for you to inspect (%2); Save as Baseline replaces it.")
                           .arg(unusableReason(*error), shownText(m_filePath)));
            } else {
                setBaseline(std::nullopt);
            }
            finished();
        });
}

void BaselineState::save() {
    Snapshot::Categories categories;
    for (const LaunchScope scope : Snapshot::defaultScopes()) {
        if (const auto* items = m_appState.items(scope)) {
            categories.emplace_back(scope, *items);
        }
    }
    std::vector<DefinitionProblem> problems;
    for (DefinitionProblem& problem : m_appState.problems()) {
        if (std::any_of(categories.begin(), categories.end(), [&problem](const auto& category) {
                return category.first == problem.scope;
            })) {
            problems.push_back(std::move(problem));
        }
    }
    started();
    const std::string path = m_filePath.toStdString();
    using Result = std::variant<Snapshot, SnapshotError>;
    runOn<Result>(
        m_pool, this,
        [path, categories = std::move(categories), problems = std::move(problems),
         reader = m_reader, disk = m_disk]() -> Result {
            Snapshot snapshot = asReadFrom(Snapshot::take(categories, *reader), disk);
            snapshot.problems = problems;
            const QString folder = QFileInfo(QString::fromStdString(path)).absolutePath();
            if (!QDir().mkpath(folder)) {
                return SnapshotError{"cannot create the folder " + folder.toStdString()};
            }
            if (auto error = SnapshotFile::write(path, snapshot)) {
                return std::move(*error);
            }
            return snapshot;
        },
        [this](Result result) {
            if (auto* snapshot = std::get_if<Snapshot>(&result)) {
                m_problem.clear();
                setBaseline(std::move(*snapshot));
                emit saveFinished(true);
            } else {
                report(tr("The baseline could not be saved: %1")
                           .arg(shownText(std::get<SnapshotError>(result).message)));
                emit saveFinished(false);
            }
            finished();
        });
}

void BaselineState::forget() {
    setBaseline(std::nullopt);
    started();
    const std::string path = m_filePath.toStdString();
    runOn<int>(
        m_pool, this, [path] { return std::remove(path.c_str()) == 0 ? 0 : errno; },
        [this](int error) {
            if (error != 0 && error != ENOENT) {
                report(
                    tr("The baseline file %1 could not be removed: %2")
                        .arg(shownText(m_filePath), QString::fromLocal8Bit(std::strerror(error))));
            }
            finished();
        });
}

void BaselineState::setBaseline(std::optional<Snapshot> baseline) {
    ++m_baselineGeneration;
    m_baseline = std::move(baseline);
    m_sharedBaseline = m_baseline ? std::make_shared<const Snapshot>(*m_baseline) : nullptr;
    emit baselineChanged();
    recomputeAll();
}

void BaselineState::recomputeAll() {
    for (const LaunchScope scope : allScopes()) {
        recompute(scope);
    }
}

void BaselineState::recompute(LaunchScope scope) {
    const std::uint64_t generation = ++m_generation[scope];
    const auto* items = m_appState.items(scope);
    if (!m_baseline || !m_baseline->covers(scope) || items == nullptr) {
        const auto found = m_changes.find(scope);
        if (found != m_changes.end()) {
            m_changes.erase(found);
            emit changesChanged(scope);
        }
        return;
    }
    started();
    // The worker holds the baseline it started with: it may be replaced while
    // the fingerprints are read. Shared, not copied: a load comes after every
    // change, and a baseline with its definitions is megabytes.
    auto work = [baseline = m_sharedBaseline, scope, items = *items, reader = m_reader,
                 disk = m_disk] {
        const Snapshot present = asReadFrom(
            Snapshot::take({{scope, items}}, *reader, baseline->takenAt, {}, {}, baseline.get()),
            disk);
        return SnapshotDiff::between(*baseline, present, {scope});
    };
    runOn<SnapshotDiff>(
        m_pool, this, std::move(work),
        [this, scope, generation, baselineGeneration = m_baselineGeneration](SnapshotDiff diff) {
            finished();
            if (generation != m_generation[scope] || baselineGeneration != m_baselineGeneration) {
                return;
            }
            ScopeChanges changes;
            for (const auto& record : diff.added) {
                changes.byRecord.insert(recordKey(record.item), {ChangeMark::added, {}});
            }
            for (auto& record : diff.modified) {
                changes.byRecord.insert(recordKey(record.after.item),
                                        {ChangeMark::modified, std::move(record.changes)});
            }
            changes.removed = std::move(diff.removed);
            m_changes[scope] = std::move(changes);
            emit changesChanged(scope);
        });
}

QString BaselineState::recordKey(const LaunchItem& item) {
    QString key = QString::fromUtf8(toText(item.scope));
    key += QChar(0x1F);
    key += QString::fromUtf8(toText(item.type));
    key += QChar(0x1F);
    key += text(item.label);
    if (item.path) {
        key += QChar(0x1F);
        key += text(*item.path);
    }
    return key;
}

const BaselineState::ScopeChanges* BaselineState::changes(LaunchScope scope) const {
    const auto found = m_changes.find(scope);
    return found == m_changes.end() ? nullptr : &found->second;
}

BaselineState::RecordStanding BaselineState::standing(const LaunchItem& item) const {
    const ScopeChanges* scopeChanges = changes(item.scope);
    if (scopeChanges == nullptr) {
        return {};
    }
    return scopeChanges->byRecord.value(recordKey(item));
}

int BaselineState::changeCount(LaunchScope scope) const {
    const ScopeChanges* scopeChanges = changes(scope);
    return scopeChanges == nullptr ? 0 : scopeChanges->count();
}

QString BaselineState::note(const LaunchItem& item, ChangeMark mark) const {
    if (!m_baseline) {
        return {};
    }
    switch (mark) {
    case ChangeMark::none:
        return {};
    case ChangeMark::added:
        return tr("New since %1").arg(dateText());
    case ChangeMark::modified: {
        QString note = tr("Changed since %1:").arg(dateText());
        for (const RecordChange& change : standing(item).changes) {
            note += QLatin1Char('\n') + shownText(change.description());
        }
        return note;
    }
    case ChangeMark::removed: {
        if (const ScopeChanges* scopeChanges = changes(item.scope)) {
            for (const SnapshotRecord& record : scopeChanges->removed) {
                if (record.item == item) {
                    return tr("Removed since %1. The baseline had: %2")
                        .arg(dateText(), describeRecord(record));
                }
            }
        }
        return tr("Removed since %1").arg(dateText());
    }
    }
    return {};
}

QString BaselineState::changeSummary(LaunchScope scope) const {
    const int count = changeCount(scope);
    if (count == 0) {
        return {};
    }
    return count == 1 ? tr("1 change since the baseline of %1").arg(dateText())
                      : tr("%1 changes since the baseline of %2").arg(count).arg(dateText());
}

} // namespace daemonary
