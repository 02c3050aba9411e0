#pragma once

#include "model/DefinitionProblem.h"

#include <QDialog>
#include <functional>
#include <string>
#include <vector>

class QPushButton;
class QTableView;

namespace daemonary {

class DefinitionProblemsModel;

// The list behind the sidebar's "N definitions could not be read": each file
// with its reason and category, and Reveal for the selected ones.
class DefinitionProblemsDialog : public QDialog {
    Q_OBJECT

public:
    // Asks the file manager to show the files; none: no Reveal button.
    using Reveal = std::function<void(const std::vector<std::string>& paths)>;

    explicit DefinitionProblemsDialog(Reveal reveal, QWidget* parent = nullptr);

    void setProblems(std::vector<DefinitionProblem> problems);

    DefinitionProblemsModel* model() const { return m_model; }
    QTableView* table() const { return m_table; }
    QPushButton* revealButton() const { return m_reveal; }

private:
    void revealSelected();
    void updateReveal();

    Reveal m_revealFiles;
    DefinitionProblemsModel* m_model = nullptr;
    QTableView* m_table = nullptr;
    QPushButton* m_reveal = nullptr;
};

} // namespace daemonary
