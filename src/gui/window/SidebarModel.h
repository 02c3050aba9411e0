#pragma once

#include "model/LaunchItem.h"

#include <QAbstractListModel>

namespace daemonary {

class AppState;
class BaselineState;

// The categories of the sidebar, in their fixed order, with the count
// badge taken from the application state.
class SidebarModel : public QAbstractListModel {
    Q_OBJECT

public:
    enum Role {
        ScopeRole = Qt::UserRole + 1, // the LaunchScope, as int
        BadgeRole,                    // "(N)", or an empty text when there is nothing to count
        SymbolNameRole,               // the scope's system symbol name
        ChangeCountRole,              // records that differ from the baseline
    };

    explicit SidebarModel(const AppState& appState, QObject* parent = nullptr);

    static LaunchScope scopeAt(int row);
    static int rowOf(LaunchScope scope);
    // The badge text for a count: none at 0 or below.
    static QString badgeText(int count);

    // Marks categories with changes since the baseline (a dot after the name,
    // described for accessibility); the count badge stays as it is.
    void setBaseline(const BaselineState* baseline);

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;

private:
    const AppState& m_appState;
    const BaselineState* m_baseline = nullptr;
};

} // namespace daemonary
