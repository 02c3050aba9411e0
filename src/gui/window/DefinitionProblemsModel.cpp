#include "window/DefinitionProblemsModel.h"

#include "text/Text.h"

#include <utility>

namespace daemonary {

DefinitionProblemsModel::DefinitionProblemsModel(QObject* parent) : QAbstractTableModel(parent) {}

void DefinitionProblemsModel::setProblems(std::vector<DefinitionProblem> problems) {
    if (problems == m_problems) {
        return;
    }
    beginResetModel();
    m_problems = std::move(problems);
    endResetModel();
}

int DefinitionProblemsModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(m_problems.size());
}

int DefinitionProblemsModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant DefinitionProblemsModel::data(const QModelIndex& index, int role) const {
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid)) {
        return {};
    }
    const DefinitionProblem& problem = m_problems[static_cast<std::size_t>(index.row())];
    if (role != Qt::DisplayRole && role != Qt::ToolTipRole && role != Qt::AccessibleTextRole) {
        return {};
    }
    switch (index.column()) {
    case PathColumn:
        // A file name can hold controls and direction overrides that would
        // disguise it.
        return QString::fromStdString(displayableText(problem.path));
    case ReasonColumn:
        return QString::fromUtf8(toText(problem.reason));
    case CategoryColumn:
        return QString::fromUtf8(toText(problem.scope));
    default:
        return {};
    }
}

QVariant DefinitionProblemsModel::headerData(int section, Qt::Orientation orientation,
                                             int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole) {
        return QAbstractTableModel::headerData(section, orientation, role);
    }
    switch (section) {
    case PathColumn:
        return tr("Path");
    case ReasonColumn:
        return tr("Reason");
    case CategoryColumn:
        return tr("Category");
    default:
        return {};
    }
}

} // namespace daemonary
