#include "table/ServiceFilterProxyModel.h"

#include "table/NaturalCompare.h"

namespace daemonary {

ServiceFilterProxyModel::ServiceFilterProxyModel(QObject* parent) : QSortFilterProxyModel(parent) {
    setDynamicSortFilter(true);
}

void ServiceFilterProxyModel::setSourceModel(QAbstractItemModel* model) {
    m_table = qobject_cast<const ServiceTableModel*>(model);
    QSortFilterProxyModel::setSourceModel(model);
}

void ServiceFilterProxyModel::setSearchText(const QString& text) {
    if (text == m_searchText) {
        return;
    }
    m_searchText = text;
    m_foldedSearchText = ServiceSearch::fold(text);
    invalidateFilter();
}

void ServiceFilterProxyModel::setHideAppleSigned(bool hide) {
    if (hide == m_hideAppleSigned) {
        return;
    }
    m_hideAppleSigned = hide;
    invalidateFilter();
}

void ServiceFilterProxyModel::setChangesOnly(bool changesOnly) {
    if (changesOnly == m_changesOnly) {
        return;
    }
    m_changesOnly = changesOnly;
    invalidateFilter();
}

void ServiceFilterProxyModel::setShowDisabled(bool show) {
    if (show == m_showDisabled) {
        return;
    }
    m_showDisabled = show;
    invalidateFilter();
}

bool ServiceFilterProxyModel::filterAcceptsRow(int sourceRow,
                                               const QModelIndex& sourceParent) const {
    if (m_table == nullptr || sourceParent.isValid()) {
        return QSortFilterProxyModel::filterAcceptsRow(sourceRow, sourceParent);
    }
    return accepts(m_table->row(sourceRow), std::nullopt);
}

bool ServiceFilterProxyModel::accepts(const ServiceTableModel::Row& row,
                                      std::optional<Filter> ignored) const {
    const auto applies = [ignored](Filter filter) { return ignored != filter; };
    if (applies(Filter::appleSigned) && m_hideAppleSigned && row.provenApple) {
        return false;
    }
    const bool changesOnly = m_changesOnly && applies(Filter::changesOnly);
    // Removed records exist only for the changes view.
    if (changesOnly ? row.mark == ChangeMark::none : row.removed) {
        return false;
    }
    if (applies(Filter::disabled) && !m_showDisabled && row.disabled) {
        return false;
    }
    return !applies(Filter::search) || row.search.matchesFolded(m_foldedSearchText);
}

std::optional<ServiceFilterProxyModel::Filter> ServiceFilterProxyModel::hidingFilter() const {
    if (m_table == nullptr || rowCount() > 0) {
        return std::nullopt;
    }
    const bool active[] = {m_changesOnly, m_hideAppleSigned, !m_showDisabled,
                           !m_searchText.isEmpty()};
    for (const Filter filter :
         {Filter::changesOnly, Filter::appleSigned, Filter::disabled, Filter::search}) {
        if (!active[static_cast<int>(filter)]) {
            continue;
        }
        for (int row = 0; row < m_table->rowCount(); ++row) {
            if (accepts(m_table->row(row), filter)) {
                return filter;
            }
        }
    }
    return std::nullopt;
}

bool ServiceFilterProxyModel::lessThan(const QModelIndex& left, const QModelIndex& right) const {
    if (m_table == nullptr) {
        return QSortFilterProxyModel::lessThan(left, right);
    }
    const ServiceTableModel::Row& a = m_table->row(left.row());
    const ServiceTableModel::Row& b = m_table->row(right.row());
    int order = 0;
    switch (m_table->column(left.column())) {
    case ServiceTableModel::Column::label:
        order = naturalCompare(a.search.label, b.search.label);
        break;
    case ServiceTableModel::Column::type:
        order = naturalCompare(a.pathSortValue, b.pathSortValue);
        break;
    case ServiceTableModel::Column::index:
    case ServiceTableModel::Column::pid:
        order = a.item.pidSortValue() < b.item.pidSortValue()   ? -1
                : b.item.pidSortValue() < a.item.pidSortValue() ? 1
                                                                : 0;
        break;
    case ServiceTableModel::Column::status:
        order = naturalCompare(a.statusText, b.statusText);
        break;
    case ServiceTableModel::Column::signer:
        order = naturalCompare(a.signerText, b.signerText);
        break;
    case ServiceTableModel::Column::user:
        order = naturalCompare(a.item.user ? QString::fromStdString(*a.item.user) : QString(),
                               b.item.user ? QString::fromStdString(*b.item.user) : QString());
        break;
    }
    if (order != 0) {
        return order < 0;
    }
    // Equal in the clicked column (every "-" PID, every "Inactive"): by label,
    // then path, so the order does not depend on how the rows arrived. Always
    // ascending: a descending sort reverses the comparison, so ties compare
    // the other way round there.
    int tie = naturalCompare(a.search.label, b.search.label);
    if (tie == 0) {
        tie = naturalCompare(a.pathSortValue, b.pathSortValue);
    }
    if (tie == 0) {
        tie = QString::compare(a.search.label, b.search.label);
    }
    return sortOrder() == Qt::DescendingOrder ? tie > 0 : tie < 0;
}

} // namespace daemonary
