#pragma once

#include "table/ServiceTableModel.h"

#include <QSortFilterProxyModel>
#include <QString>

namespace daemonary {

// Filters the rows of a ServiceTableModel by the search text and sorts them by
// the record's own keys (not by the cell texts).
class ServiceFilterProxyModel : public QSortFilterProxyModel {
    Q_OBJECT

public:
    explicit ServiceFilterProxyModel(QObject* parent = nullptr);

    void setSourceModel(QAbstractItemModel* model) override;

    const QString& searchText() const { return m_searchText; }
    void setSearchText(const QString& text);

    // Leaves out rows whose signer a check of this process proved to be
    // Apple (rows whose signer is not known or not proven yet stay until it is).
    bool hidesAppleSigned() const { return m_hideAppleSigned; }
    void setHideAppleSigned(bool hide);
    // Only new, changed and removed records; removed ones show only here.
    bool changesOnly() const { return m_changesOnly; }
    void setChangesOnly(bool changesOnly);
    // Whether records that launchd will not start are shown (the default).
    bool showsDisabled() const { return m_showDisabled; }
    void setShowDisabled(bool show);

protected:
    bool filterAcceptsRow(int sourceRow, const QModelIndex& sourceParent) const override;
    bool lessThan(const QModelIndex& left, const QModelIndex& right) const override;

private:
    const ServiceTableModel* m_table = nullptr;
    QString m_searchText;
    bool m_hideAppleSigned = false;
    bool m_changesOnly = false;
    bool m_showDisabled = true;
};

} // namespace daemonary
