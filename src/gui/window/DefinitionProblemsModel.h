#pragma once

#include "model/DefinitionProblem.h"

#include <QAbstractTableModel>
#include <vector>

namespace daemonary {

// The definitions that could not be read: path, reason, category.
class DefinitionProblemsModel : public QAbstractTableModel {
    Q_OBJECT

public:
    enum Column { PathColumn, ReasonColumn, CategoryColumn, ColumnCount };

    explicit DefinitionProblemsModel(QObject* parent = nullptr);

    const std::vector<DefinitionProblem>& problems() const { return m_problems; }
    void setProblems(std::vector<DefinitionProblem> problems);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

private:
    std::vector<DefinitionProblem> m_problems;
};

} // namespace daemonary
