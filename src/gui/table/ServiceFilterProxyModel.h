#pragma once

#include "table/ServiceTableModel.h"

#include <QSortFilterProxyModel>
#include <QString>
#include <optional>

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

    // The filters; none is no filter.
    enum class Filter { changesOnly, appleSigned, disabled, search, none };
    // When no row is shown although the category has records: the filter
    // whose removal alone would bring rows back. The view filters come before
    // the search (what the user looks for may be there, only hidden), each in
    // Filter order. Nothing while rows are shown or the category has none.
    std::optional<Filter> hidingFilter() const;

protected:
    bool filterAcceptsRow(int sourceRow, const QModelIndex& sourceParent) const override;
    bool lessThan(const QModelIndex& left, const QModelIndex& right) const override;

private:
    bool accepts(const ServiceTableModel::Row& row, std::optional<Filter> ignored) const;

    const ServiceTableModel* m_table = nullptr;
    QString m_searchText;
    QString m_foldedSearchText;
    bool m_hideAppleSigned = false;
    bool m_changesOnly = false;
    bool m_showDisabled = true;
};

} // namespace daemonary
