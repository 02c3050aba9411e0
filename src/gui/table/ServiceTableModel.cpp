#include "table/ServiceTableModel.h"

#include "insight/SignerChecker.h"
#include "style/TextStyle.h"
#include "style/ViewStyle.h"
#include "table/DisplayName.h"
#include "table/ShownText.h"
#include "table/SignerStore.h"

#include <QDir>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QPainter>
#include <QPixmap>
#include <tuple>

namespace daemonary {

namespace {

constexpr int kStatusDotSize = 8;

QPixmap statusDot(bool active) {
    const qreal ratio = qApp != nullptr ? qApp->devicePixelRatio() : 1.0;
    QPixmap dot(QSize(kStatusDotSize, kStatusDotSize) * ratio);
    dot.setDevicePixelRatio(ratio);
    dot.fill(Qt::transparent);
    QPainter painter(&dot);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(active ? ViewStyle::activeGreen() : ViewStyle::inactiveGray());
    painter.drawEllipse(QRectF(0, 0, kStatusDotSize, kStatusDotSize));
    return dot;
}

// The marker in the label cell: the mark's word on a tinted capsule.
QPixmap markBadge(ChangeMark mark) {
    const QString word = ServiceTableModel::markText(mark);
    QFont font = ViewStyle::caption();
    font.setBold(true);
    const QFontMetrics metrics(font);
    const QSize size(metrics.horizontalAdvance(word) + 10, metrics.height() + 2);
    const qreal ratio = qApp != nullptr ? qApp->devicePixelRatio() : 1.0;
    QPixmap badge(size * ratio);
    badge.setDevicePixelRatio(ratio);
    badge.fill(Qt::transparent);
    QPainter painter(&badge);
    painter.setRenderHint(QPainter::Antialiasing);
    const QColor tint = mark == ChangeMark::added      ? QColor(0, 122, 255)
                        : mark == ChangeMark::modified ? QColor(255, 149, 0)
                                                       : ViewStyle::inactiveGray();
    painter.setPen(Qt::NoPen);
    painter.setBrush(tint);
    painter.drawRoundedRect(QRectF(QPointF(0, 0), QSizeF(size)), size.height() / 2.0,
                            size.height() / 2.0);
    painter.setPen(Qt::white);
    painter.setFont(font);
    painter.drawText(QRect(QPoint(0, 0), size), Qt::AlignCenter, word);
    return badge;
}

QString disabledExplanation() {
    return ServiceTableModel::tr("Disabled: launchd does not start it until it is enabled again");
}

QString numberOrDash(const std::optional<std::int32_t>& value) {
    return value ? QString::number(*value) : QStringLiteral("-");
}

} // namespace

ServiceTableModel::ServiceTableModel(LaunchScope scope, SystemDefaultPredicate isSystemDefault,
                                     QObject* parent, bool namesUsers)
    : QAbstractTableModel(parent), m_scope(scope), m_columns(columnsFor(scope, namesUsers)),
      m_isSystemDefault(std::move(isSystemDefault)), m_monospacedFont(ViewStyle::monospacedBody()),
      m_captionFont(ViewStyle::caption()) {}

bool ServiceTableModel::readsHomes(LaunchScope scope) {
    return scope == LaunchScope::user || scope == LaunchScope::others ||
           scope == LaunchScope::background || scope == LaunchScope::privilegedHelperTools;
}

std::vector<ServiceTableModel::Column> ServiceTableModel::columnsFor(LaunchScope scope,
                                                                     bool namesUsers) {
    if (namesUsers && readsHomes(scope)) {
        std::vector<Column> columns = columnsFor(scope);
        // Beside the label: two users' copies of one agent differ only there.
        columns.insert(columns.begin() + 1, Column::user);
        return columns;
    }
    switch (scope) {
    case LaunchScope::others:
        return {Column::label, Column::type, Column::signer};
    case LaunchScope::kernel:
        return {Column::label, Column::index, Column::status, Column::signer};
    case LaunchScope::mach:
        // Job-table entries name no executable to check.
        return {Column::label, Column::pid, Column::status};
    default:
        return {Column::label, Column::pid, Column::status, Column::signer};
    }
}

QString ServiceTableModel::title(Column column) {
    switch (column) {
    case Column::label:
        return tr("Label");
    case Column::type:
        return tr("Type");
    case Column::index:
        return tr("Index");
    case Column::pid:
        return tr("PID");
    case Column::status:
        return tr("Status");
    case Column::signer:
        return tr("Signed By");
    case Column::user:
        return tr("User");
    }
    return {};
}

QString ServiceTableModel::key(Column column) {
    switch (column) {
    case Column::label:
        return QStringLiteral("label");
    case Column::type:
        return QStringLiteral("type");
    case Column::index:
        return QStringLiteral("index");
    case Column::pid:
        return QStringLiteral("pid");
    case Column::status:
        return QStringLiteral("status");
    case Column::signer:
        return QStringLiteral("signer");
    case Column::user:
        return QStringLiteral("user");
    }
    return {};
}

QString ServiceTableModel::typeText(const std::optional<std::string>& path) {
    if (!path) {
        return QStringLiteral("-");
    }
    QString text = shownText(*path);
    while (text.size() > 1 && text.endsWith(u'/')) {
        text.chop(1);
    }
    const QString lastComponent = text.section(u'/', -1);
    const qsizetype dot = lastComponent.lastIndexOf(u'.');
    return dot < 0 ? QString() : lastComponent.mid(dot + 1).toUpper();
}

int ServiceTableModel::section(Column column) const {
    for (std::size_t i = 0; i < m_columns.size(); ++i) {
        if (m_columns[i] == column) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

void ServiceTableModel::setItems(const std::vector<LaunchItem>& items) {
    if (!updateInPlace(items)) {
        m_items = items;
        rebuildRows();
    }
}

bool ServiceTableModel::updateInPlace(const std::vector<LaunchItem>& items) {
    if (items.size() != m_items.size() || m_rows.size() < m_items.size()) {
        return false;
    }
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (items[i].label != m_items[i].label || items[i].scope != m_items[i].scope ||
            items[i].path != m_items[i].path) {
            return false;
        }
    }
    // Same ids in the same order: every row keeps its place, its display
    // name and its folder; only what the record says of itself is renewed.
    int first = -1;
    int last = -1;
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (items[i] == m_items[i]) {
            continue;
        }
        m_items[i] = items[i];
        Row next = makeRow(items[i], false);
        Row& current = m_rows[i];
        next.place = current.place;
        const int row = static_cast<int>(i);
        if (next.signerTarget != current.signerTarget) {
            if (!current.signerTarget.isEmpty()) {
                auto rows = m_rowsByTarget.find(current.signerTarget);
                rows->removeOne(row);
                if (rows->isEmpty()) {
                    m_rowsByTarget.erase(rows);
                }
            }
            if (!next.signerTarget.isEmpty()) {
                m_rowsByTarget[next.signerTarget].append(row);
            }
        }
        current = std::move(next);
        first = first < 0 ? row : first;
        last = row;
    }
    // One range: the proxy refilters and resorts once, not once per row.
    if (first >= 0) {
        emit dataChanged(index(first, 0), index(last, columnCount() - 1));
    }
    return true;
}

void ServiceTableModel::setBaseline(const BaselineState* baseline) {
    m_baseline = baseline;
    rebuildRows();
}

void ServiceTableModel::refreshChanges() {
    rebuildRows();
}

ServiceTableModel::Row ServiceTableModel::makeRow(const LaunchItem& item, bool removed) const {
    Row row;
    row.item = item;
    row.id = QString::fromStdString(item.id());
    // Never the id of a present record, whatever the removed one was called.
    if (removed) {
        row.id.prepend(QStringLiteral("removed:"));
    }
    row.search = ServiceSearch::of(item);
    row.displayName = displayName(shownText(item.label));
    row.pathSortValue = QString::fromStdString(item.pathSortValue());
    row.statusText = QString::fromUtf8(toText(item.status));
    row.systemDefault = m_isSystemDefault && m_isSystemDefault(item);
    row.removed = removed;
    row.disabled = !removed && m_isDisabled && m_isDisabled(item);
    if (auto target = signerTarget(item)) {
        row.signerTarget = QString::fromStdString(*target);
        updateSigner(row);
    } else if (runsInlineCommand(item)) {
        // No file to check; the interpreter's signer says nothing of the code.
        const Signer& signer = inlineCommandSigner();
        row.signerKind = signer.kind;
        row.signerText = QString::fromStdString(signer.text());
        std::tie(row.signerClass, row.signerName) = signerParts(signer);
        row.signerDescription = QString::fromStdString(signer.description());
    }
    if (m_baseline != nullptr) {
        row.mark = removed ? ChangeMark::removed : m_baseline->standing(item).mark;
        row.changeNote = m_baseline->note(item, row.mark);
    }
    return row;
}

void ServiceTableModel::rebuildRows() {
    beginResetModel();
    m_rows.clear();
    m_rowById.clear();
    m_rowsByTarget.clear();
    const BaselineState::ScopeChanges* changes =
        m_baseline != nullptr ? m_baseline->changes(m_scope) : nullptr;
    m_rows.reserve(m_items.size() + (changes != nullptr ? changes->removed.size() : 0));
    const auto add = [this](Row row) {
        // The first record with an id is the one a selection refers to.
        if (!m_rowById.contains(row.id)) {
            m_rowById.insert(row.id, static_cast<int>(m_rows.size()));
        }
        if (!row.signerTarget.isEmpty()) {
            m_rowsByTarget[row.signerTarget].append(static_cast<int>(m_rows.size()));
        }
        m_rows.push_back(std::move(row));
    };
    for (const LaunchItem& item : m_items) {
        add(makeRow(item, false));
    }
    if (changes != nullptr) {
        for (const SnapshotRecord& record : changes->removed) {
            add(makeRow(record.item, true));
        }
    }
    markSharedNames();
    endResetModel();
}

void ServiceTableModel::markSharedNames() {
    QHash<QString, QList<std::size_t>> byName;
    for (std::size_t i = 0; i < m_rows.size(); ++i) {
        if (m_rows[i].item.path) {
            // Two users' copies of a record are told apart by the User column.
            const QString user =
                m_rows[i].item.user ? QString::fromStdString(*m_rows[i].item.user) : QString();
            byName[m_rows[i].displayName + QChar(0x1F) + user].append(i);
        }
    }
    const QString home = QDir::homePath();
    for (const QList<std::size_t>& rows : std::as_const(byName)) {
        if (rows.size() < 2) {
            continue;
        }
        // The folders, without the trailing components they all share but
        // the first of those: "/Library" and "~/Library" rather than two
        // texts ending alike in "Library/Spotlight", which the cell's
        // middle elision would make look the same again.
        std::vector<QStringList> folders;
        for (const std::size_t row : rows) {
            QString folder = shownText(*m_rows[row].item.path);
            if (!home.isEmpty() && home != QStringLiteral("/") &&
                (folder.startsWith(home + u'/'))) {
                folder = u'~' + folder.mid(home.size());
            }
            QStringList parts = folder.split(u'/');
            parts.removeLast(); // the record's own name
            folders.push_back(parts);
        }
        qsizetype shared = 0;
        for (bool same = true; same; ++shared) {
            for (const QStringList& parts : folders) {
                same = same && parts.size() > shared + 1 &&
                       parts[parts.size() - 1 - shared] ==
                           folders.front()[folders.front().size() - 1 - shared];
            }
            if (!same) {
                break;
            }
        }
        for (qsizetype i = 0; i < rows.size(); ++i) {
            QStringList parts = folders[static_cast<std::size_t>(i)];
            parts.resize(parts.size() - std::max<qsizetype>(0, shared - 1));
            const QString place = parts.join(u'/');
            m_rows[rows[i]].place = place.isEmpty() ? QStringLiteral("/") : place;
        }
    }
}

void ServiceTableModel::setSignerStore(const SignerStore* signers) {
    if (signers == m_signers) {
        return;
    }
    disconnect(m_signersConnection);
    m_signers = signers;
    if (m_signers != nullptr) {
        m_signersConnection = connect(m_signers, &SignerStore::signersChanged, this,
                                      &ServiceTableModel::signersChanged);
    }
    QStringList all = m_rowsByTarget.keys();
    signersChanged(all);
}

void ServiceTableModel::updateSigner(Row& row) const {
    const Signer* signer = m_signers ? m_signers->signer(row.signerTarget) : nullptr;
    row.provenApple = signer != nullptr && m_signers->isProvenApple(row.signerTarget);
    if (signer == nullptr) {
        row.signerKind.reset();
        row.signerText.clear();
        row.signerClass.clear();
        row.signerName.clear();
        row.signerDescription.clear();
        return;
    }
    row.signerKind = signer->kind;
    // The names come from the signature, which anyone can write.
    row.signerText = shownText(signer->text());
    std::tie(row.signerClass, row.signerName) = signerParts(*signer);
    row.signerDescription = shownText(signer->description());
}

void ServiceTableModel::signersChanged(const QStringList& targets) {
    const int section = this->section(Column::signer);
    // One range over the rows that changed: the proxy then refilters and
    // resorts once per batch rather than once per row.
    int first = -1;
    int last = -1;
    for (const QString& target : targets) {
        const auto rows = m_rowsByTarget.constFind(target);
        if (rows == m_rowsByTarget.constEnd()) {
            continue;
        }
        for (const int row : rows.value()) {
            Row& current = m_rows[static_cast<std::size_t>(row)];
            const auto before = std::make_tuple(current.signerKind, current.signerText,
                                                current.signerDescription, current.provenApple);
            updateSigner(current);
            if (before == std::make_tuple(current.signerKind, current.signerText,
                                          current.signerDescription, current.provenApple)) {
                continue;
            }
            first = first < 0 ? row : std::min(first, row);
            last = std::max(last, row);
        }
    }
    // A category without the column (the job table) still hears of it: the
    // proxy hides proven Apple rows on this signal.
    if (first >= 0) {
        const int changed = section >= 0 ? section : 0;
        emit dataChanged(index(first, changed), index(last, changed),
                         {Qt::DisplayRole, Qt::ToolTipRole, Qt::ForegroundRole, SignerClassRole,
                          SignerNameRole});
    }
}

std::pair<QString, QString> ServiceTableModel::signerParts(const Signer& signer) {
    const QString text = shownText(signer.text());
    if (signer.organization.empty()) {
        return {QString(), text};
    }
    QString name = shownText(signer.organization);
    if (!signer.team.empty()) {
        name += QStringLiteral(" (%1)").arg(shownText(signer.team));
    }
    // The class is what the text says before the names ("Developer ID: ").
    if (!text.endsWith(name)) {
        return {text, name};
    }
    QString prefix = text.chopped(name.size()).trimmed();
    if (prefix.endsWith(u':')) {
        prefix.chop(1);
    }
    return {prefix, name};
}

bool ServiceTableModel::isActive(const LaunchItem& item) {
    // A pid found only by a process name says nothing about the job.
    return item.status == ServiceStatus::active || item.launchdPid().has_value();
}

QString ServiceTableModel::markText(ChangeMark mark) {
    switch (mark) {
    case ChangeMark::added:
        return tr("New");
    case ChangeMark::modified:
        return tr("Changed");
    case ChangeMark::removed:
        return tr("Removed");
    case ChangeMark::none:
        break;
    }
    return {};
}

void ServiceTableModel::setDisabledPredicate(DisabledPredicate isDisabled) {
    m_isDisabled = std::move(isDisabled);
    refreshDisabledMarks();
}

void ServiceTableModel::refreshDisabledMarks() {
    for (std::size_t i = 0; i < m_rows.size(); ++i) {
        Row& current = m_rows[i];
        const bool disabled = m_isDisabled && m_isDisabled(current.item);
        if (disabled == current.disabled) {
            continue;
        }
        current.disabled = disabled;
        const int changed = static_cast<int>(i);
        emit dataChanged(index(changed, 0), index(changed, columnCount() - 1));
    }
}

QString ServiceTableModel::labelCellText(const Row& row) {
    // Text, not colour alone. It follows the name rather than the status:
    // the status column is too narrow for both, and the middle elision of
    // long labels keeps the end of the text in view.
    QString text = row.place.isEmpty() ? row.displayName
                                       : tr("%1 \u2014 in %2").arg(row.displayName, row.place);
    if (row.disabled) {
        text = tr("%1 \u2014 Disabled").arg(text);
    }
    if (row.item.allowedInBackground == false) {
        text = tr("%1 \u2014 Not Allowed").arg(text);
    }
    if (row.item.orphaned) {
        text = tr("%1 \u2014 Orphaned").arg(text);
    }
    return text;
}

QString ServiceTableModel::backgroundNote(const LaunchItem& item) {
    QString note;
    if (item.allowedInBackground == false) {
        note += tr(", not allowed in the background");
    }
    if (item.orphaned) {
        note += tr(", orphaned");
    }
    return note;
}

int ServiceTableModel::rowForId(const QString& id) const {
    return m_rowById.value(id, -1);
}

int ServiceTableModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(m_rows.size());
}

int ServiceTableModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(m_columns.size());
}

QVariant ServiceTableModel::data(const QModelIndex& index, int role) const {
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid)) {
        return {};
    }
    const Row& current = row(index.row());
    const Column kind = column(index.column());
    switch (role) {
    case Qt::DisplayRole:
        return displayText(current, kind);
    case Qt::ForegroundRole:
        return foreground(current, kind);
    case Qt::FontRole:
        return font(current, kind);
    case Qt::DecorationRole:
        if (kind == Column::label && current.mark != ChangeMark::none) {
            static const QPixmap added = markBadge(ChangeMark::added);
            static const QPixmap modified = markBadge(ChangeMark::modified);
            static const QPixmap removed = markBadge(ChangeMark::removed);
            return current.mark == ChangeMark::added      ? added
                   : current.mark == ChangeMark::modified ? modified
                                                          : removed;
        }
        if (kind == Column::status) {
            static const QPixmap activeDot = statusDot(true);
            static const QPixmap otherDot = statusDot(false);
            return isActive(current.item) ? activeDot : otherDot;
        }
        return {};
    case Qt::ToolTipRole:
        if (kind == Column::label) {
            QString tip = shownText(current.search.label);
            if (current.item.path) {
                tip += u'\n' + shownText(*current.item.path);
            }
            if (current.disabled) {
                tip += u'\n' + disabledExplanation();
            }
            if (current.item.allowedInBackground == false) {
                tip += u'\n' + tr("Not allowed in the background: switched off in System "
                                  "Settings, so launchd does not load it");
            }
            if (current.item.orphaned) {
                tip += u'\n' + tr("Orphaned: its app is gone, but System Settings still lists it");
            }
            if (!current.changeNote.isEmpty()) {
                tip += u'\n' + current.changeNote;
            }
            return TextStyle::plainToolTip(tip);
        }
        if (kind == Column::signer && !current.signerDescription.isEmpty()) {
            return TextStyle::plainToolTip(current.signerDescription);
        }
        if (kind == Column::status && current.disabled) {
            return disabledExplanation();
        }
        return {};
    case Qt::AccessibleTextRole:
        // The class may be drawn as a symbol; read it out in words.
        if (kind == Column::signer) {
            return current.signerText;
        }
        if (kind == Column::label &&
            (current.disabled || current.mark != ChangeMark::none || !current.place.isEmpty() ||
             current.item.allowedInBackground == false || current.item.orphaned)) {
            QString text = current.place.isEmpty()
                               ? current.displayName
                               : tr("%1, in %2").arg(current.displayName, current.place);
            if (current.disabled) {
                text = tr("%1, disabled").arg(text);
            }
            text += backgroundNote(current.item);
            if (current.mark != ChangeMark::none) {
                text += QStringLiteral(", ") + markText(current.mark);
            }
            return text;
        }
        if (current.disabled && kind == Column::status) {
            return tr("%1, disabled").arg(current.statusText);
        }
        return {};
    case IdRole:
        return current.id;
    case ChangeMarkRole:
        return static_cast<int>(current.mark);
    case ChangeNoteRole:
        return current.changeNote;
    case DisabledRole:
        return current.disabled;
    case SignerClassRole:
        return kind == Column::signer ? QVariant(current.signerClass) : QVariant();
    case SignerNameRole:
        return kind == Column::signer ? QVariant(current.signerName) : QVariant();
    case SignerKindRole:
        return kind == Column::signer && current.signerKind
                   ? QVariant(static_cast<int>(*current.signerKind))
                   : QVariant();
    default:
        return {};
    }
}

QVariant ServiceTableModel::displayText(const Row& row, Column column) const {
    switch (column) {
    case Column::label:
        return labelCellText(row);
    case Column::type:
        return typeText(row.item.path);
    case Column::index:
        return numberOrDash(row.item.index);
    case Column::pid:
        // "1234?": a process of the name, not launchd's word.
        return row.item.pid ? QString::fromStdString(row.item.pidText()) : numberOrDash({});
    case Column::status:
        return row.statusText;
    case Column::signer:
        return row.signerText;
    case Column::user:
        return row.item.user ? shownText(*row.item.user) : QStringLiteral("-");
    }
    return {};
}

QVariant ServiceTableModel::foreground(const Row& row, Column column) const {
    const QPalette palette = QGuiApplication::palette();
    if (row.removed) {
        return ViewStyle::tertiary(palette);
    }
    switch (column) {
    case Column::label:
        if (row.systemDefault) {
            return ViewStyle::tertiary(palette);
        }
        if (!isActive(row.item)) {
            return ViewStyle::secondary(palette);
        }
        return {};
    case Column::type:
        return ViewStyle::secondary(palette);
    case Column::index:
        return row.item.index ? QVariant() : QVariant(ViewStyle::tertiary(palette));
    case Column::pid:
        return row.item.pid ? QVariant() : QVariant(ViewStyle::tertiary(palette));
    case Column::status:
        return {};
    case Column::user:
        return row.item.user ? QVariant() : QVariant(ViewStyle::tertiary(palette));
    case Column::signer:
        if (row.signerKind == SignerKind::invalid || row.signerKind == SignerKind::unknown ||
            row.signerKind == SignerKind::missing) {
            return ViewStyle::secondary(palette);
        }
        return {};
    }
    return {};
}

QVariant ServiceTableModel::font(const Row& row, Column column) const {
    if (row.removed) {
        QFont struck = column == Column::type ? m_captionFont : QFont();
        struck.setStrikeOut(true);
        return struck;
    }
    switch (column) {
    case Column::type:
        return m_captionFont;
    case Column::index:
        return row.item.index ? QVariant(m_monospacedFont) : QVariant();
    case Column::pid:
        return row.item.pid ? QVariant(m_monospacedFont) : QVariant();
    default:
        return {};
    }
}

QVariant ServiceTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || section < 0 ||
        section >= static_cast<int>(m_columns.size())) {
        return {};
    }
    if (role == Qt::DisplayRole) {
        return title(column(section));
    }
    return {};
}

} // namespace daemonary
