#include "window/SidebarModel.h"

#include "baseline/BaselineState.h"
#include "style/SymbolIcon.h"
#include "table/AppState.h"

#include <QGuiApplication>
#include <QPalette>

namespace daemonary {

SidebarModel::SidebarModel(const AppState& appState, QObject* parent)
    : QAbstractListModel(parent), m_appState(appState) {
    connect(&m_appState, &AppState::filteredCountsChanged, this, [this] {
        emit dataChanged(index(0), index(rowCount() - 1), {BadgeRole, Qt::AccessibleTextRole});
    });
    const auto describe = [this] {
        emit dataChanged(index(0), index(rowCount() - 1), {Qt::AccessibleDescriptionRole});
    };
    connect(&m_appState, &AppState::appleSignedHiddenChanged, this, describe);
    connect(&m_appState, &AppState::lastSearchTextChanged, this, describe);
}

void SidebarModel::setBaseline(const BaselineState* baseline) {
    if (m_baseline != nullptr) {
        disconnect(m_baseline, nullptr, this, nullptr);
    }
    m_baseline = baseline;
    if (m_baseline != nullptr) {
        connect(m_baseline, &BaselineState::changesChanged, this, [this](LaunchScope scope) {
            const QModelIndex changed = index(rowOf(scope));
            emit dataChanged(changed, changed, {ChangeCountRole, Qt::AccessibleDescriptionRole});
        });
    }
    emit dataChanged(index(0), index(rowCount() - 1),
                     {ChangeCountRole, Qt::AccessibleDescriptionRole});
}

LaunchScope SidebarModel::scopeAt(int row) {
    return allScopes().at(static_cast<std::size_t>(row));
}

int SidebarModel::rowOf(LaunchScope scope) {
    const auto& scopes = allScopes();
    for (std::size_t i = 0; i < scopes.size(); ++i) {
        if (scopes[i] == scope) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

QString SidebarModel::badgeText(int count) {
    return count >= 1 ? QStringLiteral("(%1)").arg(count) : QString();
}

int SidebarModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(allScopes().size());
}

QVariant SidebarModel::data(const QModelIndex& index, int role) const {
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid)) {
        return {};
    }
    const LaunchScope scope = scopeAt(index.row());
    const QString title = QString::fromUtf8(toText(scope));
    const auto badge = [&] {
        const auto& counts = m_appState.filteredCounts();
        const auto found = counts.find(scope);
        return badgeText(found == counts.end() ? 0 : found->second);
    };
    switch (role) {
    case Qt::DisplayRole:
        return title;
    case Qt::DecorationRole:
        return SymbolIcon::icon(QString::fromUtf8(symbolName(scope)),
                                QGuiApplication::palette().color(QPalette::Highlight),
                                QGuiApplication::palette().color(QPalette::HighlightedText));
    case Qt::AccessibleTextRole: {
        const QString text = badge();
        return text.isEmpty() ? title : title + QLatin1Char(' ') + text;
    }
    case ScopeRole:
        return static_cast<int>(scope);
    case BadgeRole:
        return badge();
    case SymbolNameRole:
        return QString::fromUtf8(symbolName(scope));
    case ChangeCountRole:
        return m_baseline != nullptr ? m_baseline->changeCount(scope) : 0;
    case Qt::AccessibleDescriptionRole: {
        QStringList parts;
        if (m_baseline != nullptr && !m_baseline->changeSummary(scope).isEmpty()) {
            parts.append(m_baseline->changeSummary(scope));
        }
        // A badge that leaves items out says so.
        if (m_appState.appleSignedHidden()) {
            parts.append(m_appState.lastSearchText().isEmpty()
                             ? tr("Counts running services without Apple-signed items")
                             : tr("Counts services matching the search without Apple-signed "
                                  "items"));
        }
        return parts.join(QStringLiteral("; "));
    }
    default:
        return {};
    }
}

} // namespace daemonary
