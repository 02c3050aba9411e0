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
    invalidateFilter();
}

void ServiceFilterProxyModel::setHideAppleSigned(bool hide) {
    if (hide == m_hideAppleSigned) {
        return;
    }
    m_hideAppleSigned = hide;
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
    const ServiceTableModel::Row& row = m_table->row(sourceRow);
    if (m_hideAppleSigned && row.signerKind == SignerKind::apple) {
        return false;
    }
    if (!m_showDisabled && row.disabled) {
        return false;
    }
    return row.search.matches(m_searchText);
}

bool ServiceFilterProxyModel::lessThan(const QModelIndex& left, const QModelIndex& right) const {
    if (m_table == nullptr) {
        return QSortFilterProxyModel::lessThan(left, right);
    }
    const ServiceTableModel::Row& a = m_table->row(left.row());
    const ServiceTableModel::Row& b = m_table->row(right.row());
    switch (m_table->column(left.column())) {
    case ServiceTableModel::Column::label:
        return naturalCompare(a.search.label, b.search.label) < 0;
    case ServiceTableModel::Column::type:
        return naturalCompare(a.pathSortValue, b.pathSortValue) < 0;
    case ServiceTableModel::Column::index:
    case ServiceTableModel::Column::pid:
        return a.item.pidSortValue() < b.item.pidSortValue();
    case ServiceTableModel::Column::status:
        return naturalCompare(a.statusText, b.statusText) < 0;
    case ServiceTableModel::Column::signer:
        return naturalCompare(a.signerText, b.signerText) < 0;
    }
    return false;
}

} // namespace daemonary
