#pragma once

#include "baseline/BaselineState.h"
#include "insight/Signer.h"
#include "model/LaunchItem.h"
#include "table/ServiceSearch.h"

#include <QAbstractTableModel>
#include <QFont>
#include <QHash>
#include <QString>
#include <functional>
#include <optional>
#include <utility>
#include <vector>

namespace daemonary {

class SignerStore;

// The records of one category as table rows, with the columns that category
// shows. Filtering and sorting are the proxy's (ServiceFilterProxyModel).
class ServiceTableModel : public QAbstractTableModel {
    Q_OBJECT

public:
    enum class Column { label, type, index, pid, status, signer, user };

    enum Role {
        IdRole = Qt::UserRole + 1,        // the record's id, the key of the selection
        ChangeMarkRole,                   // the ChangeMark against the baseline, as int
        ChangeNoteRole,                   // "New since 7 Dec 2026", ... or an empty text
        DisabledRole = Qt::UserRole + 40, // bool: launchd will not start the record
        // The Signed By cell in two parts: the class ("Developer ID") drawn as
        // a small prefix, and the names the signature carries, organisation
        // first ("Northwind Traders (N7W4D2TR8S)"). Without names the class
        // is the name and the prefix is empty.
        SignerClassRole,
        SignerNameRole,
        SignerKindRole, // the SignerKind as int; nothing while unknown
    };

    // Is this one of the services that ship with the operating system.
    using SystemDefaultPredicate = std::function<bool(const LaunchItem&)>;
    // Is the record known to be disabled (kept beside it, not in it).
    using DisabledPredicate = std::function<bool(const LaunchItem&)>;

    // Everything a row needs for display, search and sorting, computed once when
    // the records arrive rather than on every paint or comparison.
    struct Row {
        LaunchItem item;
        QString id;
        QString displayName; // shown as text from a file is (shownText)
        // The folder of a record whose display name another row shares, so
        // the two can be told apart; empty otherwise.
        QString place;
        QString pathSortValue;
        QString statusText;
        ServiceSearch search;
        bool systemDefault = false;
        QString signerTarget;                 // empty: nothing to sign-check
        std::optional<SignerKind> signerKind; // none while unknown
        bool provenApple = false;             // by a check of this process
        QString signerText;
        QString signerClass; // empty when the signature names no one
        QString signerName;
        QString signerDescription;
        ChangeMark mark = ChangeMark::none;
        QString changeNote;
        // A record of the baseline that is gone: shown only among the changes.
        bool removed = false;
        bool disabled = false;
    };

    // `namesUsers`: the records come from a Mac's disk, where the categories
    // read from homes hold every user's records, each naming its user.
    explicit ServiceTableModel(LaunchScope scope, SystemDefaultPredicate isSystemDefault = {},
                               QObject* parent = nullptr, bool namesUsers = false);

    static std::vector<Column> columnsFor(LaunchScope scope, bool namesUsers = false);
    // The categories read (also) from a user's home.
    static bool readsHomes(LaunchScope scope);
    static QString title(Column column);
    // A stable name for a column, for the settings that remember it.
    static QString key(Column column);
    // The Type column's text: the upper-cased extension of the path's last
    // component, "-" without a path.
    static QString typeText(const std::optional<std::string>& path);

    LaunchScope scope() const { return m_scope; }
    const std::vector<Column>& columns() const { return m_columns; }
    Column column(int section) const { return m_columns.at(static_cast<std::size_t>(section)); }
    // The section of a column, or -1 when this category does not show it.
    int section(Column column) const;

    // A reload of the same records (by id, in the same order) changes only
    // the rows that differ; any other list resets the model.
    void setItems(const std::vector<LaunchItem>& items);
    // Where the Signed By column takes its texts from; its cells change
    // (dataChanged, never a reset) as the store learns signers.
    void setSignerStore(const SignerStore* signers);
    // Marks rows against the baseline and adds its removed records as rows of
    // their own; nothing is marked without one. Call refreshChanges() when the
    // baseline's changes of this category have been recomputed.
    void setBaseline(const BaselineState* baseline);
    void refreshChanges();
    // Splits a signer's text into the class prefix and the names, organisation
    // first; a signer without names gives an empty prefix and its text.
    static std::pair<QString, QString> signerParts(const Signer& signer);
    // Active is drawn alike in every category: a loaded extension has no PID.
    static bool isActive(const LaunchItem& item);
    // The word shown in the label cell for a mark ("New", "Changed", "Removed").
    static QString markText(ChangeMark mark);

    // None (the default): nothing is marked disabled.
    void setDisabledPredicate(DisabledPredicate isDisabled);
    // Asks the predicate again for every row, for when the disabled state
    // changed but the records did not; only rows whose mark changed report it.
    void refreshDisabledMarks();
    // The label cell's text: the display name, its folder when another row
    // has the same name ("X — in /Library/Spotlight"), and "Disabled" after
    // it when so.
    static QString labelCellText(const Row& row);
    // ", not allowed in the background", ", orphaned": what the caption says, for speech.
    static QString backgroundNote(const LaunchItem& item);
    const Row& row(int sourceRow) const { return m_rows.at(static_cast<std::size_t>(sourceRow)); }
    // The first row with that id, or -1.
    int rowForId(const QString& id) const;

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

private:
    QVariant displayText(const Row& row, Column column) const;
    QVariant foreground(const Row& row, Column column) const;
    QVariant font(const Row& row, Column column) const;
    void updateSigner(Row& row) const;
    void signersChanged(const QStringList& targets);
    void rebuildRows();
    // A reload of the same records in the same order, some of them changed:
    // the rows are renewed where they differ, with no reset. False (and
    // nothing done) for any other list.
    bool updateInPlace(const std::vector<LaunchItem>& items);
    void markSharedNames();
    Row makeRow(const LaunchItem& item, bool removed) const;

    LaunchScope m_scope;
    std::vector<Column> m_columns;
    SystemDefaultPredicate m_isSystemDefault;
    DisabledPredicate m_isDisabled;
    QFont m_monospacedFont;
    QFont m_captionFont;
    const BaselineState* m_baseline = nullptr;
    std::vector<LaunchItem> m_items;
    std::vector<Row> m_rows;
    QHash<QString, int> m_rowById;
    const SignerStore* m_signers = nullptr;
    QMetaObject::Connection m_signersConnection;
    QHash<QString, QList<int>> m_rowsByTarget;
};

} // namespace daemonary
