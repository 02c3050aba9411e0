#include "window/DefinitionProblemsDialog.h"

#include "window/DefinitionProblemsModel.h"

#include <QDialogButtonBox>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QPushButton>
#include <QTableView>
#include <QVBoxLayout>
#include <utility>

namespace daemonary {

DefinitionProblemsDialog::DefinitionProblemsDialog(Reveal reveal, QWidget* parent)
    : QDialog(parent), m_revealFiles(std::move(reveal)) {
    setObjectName(QStringLiteral("definitionProblemsDialog"));
    setWindowTitle(tr("Definitions That Could Not Be Read"));
    setAccessibleName(tr("Definitions that could not be read"));
    resize(640, 300);

    auto* layout = new QVBoxLayout(this);
    auto* explanation =
        new QLabel(tr("These files lie in a definitions folder but give no service, so "
                      "they are not listed in any category."),
                   this);
    explanation->setObjectName(QStringLiteral("definitionProblemsExplanation"));
    explanation->setWordWrap(true);
    layout->addWidget(explanation);

    m_model = new DefinitionProblemsModel(this);
    m_table = new QTableView(this);
    m_table->setObjectName(QStringLiteral("definitionProblemsTable"));
    m_table->setAccessibleName(tr("Definitions that could not be read"));
    m_table->setModel(m_model);
    m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_table->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_table->setTabKeyNavigation(false);
    m_table->setWordWrap(false);
    m_table->setTextElideMode(Qt::ElideMiddle);
    m_table->verticalHeader()->hide();
    m_table->horizontalHeader()->setSectionResizeMode(DefinitionProblemsModel::PathColumn,
                                                      QHeaderView::Stretch);
    m_table->horizontalHeader()->setSectionResizeMode(DefinitionProblemsModel::ReasonColumn,
                                                      QHeaderView::ResizeToContents);
    m_table->horizontalHeader()->setSectionResizeMode(DefinitionProblemsModel::CategoryColumn,
                                                      QHeaderView::ResizeToContents);
    layout->addWidget(m_table, 1);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    buttons->setObjectName(QStringLiteral("definitionProblemsButtons"));
    QPushButton* close = buttons->button(QDialogButtonBox::Close);
    close->setObjectName(QStringLiteral("closeProblemsButton"));
    close->setAccessibleName(tr("Close"));
    if (m_revealFiles) {
        m_reveal = buttons->addButton(tr("Reveal"), QDialogButtonBox::ActionRole);
        m_reveal->setObjectName(QStringLiteral("revealProblemButton"));
        m_reveal->setAccessibleName(tr("Reveal in file manager"));
        m_reveal->setAutoDefault(false);
        connect(m_reveal, &QPushButton::clicked, this, &DefinitionProblemsDialog::revealSelected);
        connect(m_table, &QTableView::doubleClicked, this,
                &DefinitionProblemsDialog::revealSelected);
        connect(m_table->selectionModel(), &QItemSelectionModel::selectionChanged, this,
                &DefinitionProblemsDialog::updateReveal);
        connect(m_model, &QAbstractItemModel::modelReset, this,
                &DefinitionProblemsDialog::updateReveal);
    }
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);
    updateReveal();
}

void DefinitionProblemsDialog::setProblems(std::vector<DefinitionProblem> problems) {
    m_model->setProblems(std::move(problems));
}

void DefinitionProblemsDialog::revealSelected() {
    std::vector<std::string> paths;
    for (const QModelIndex& row : m_table->selectionModel()->selectedRows()) {
        paths.push_back(m_model->problems()[static_cast<std::size_t>(row.row())].path);
    }
    if (!paths.empty() && m_revealFiles) {
        // Only asks the file manager; nothing here waits on it.
        m_revealFiles(paths);
    }
}

void DefinitionProblemsDialog::updateReveal() {
    if (m_reveal != nullptr) {
        m_reveal->setEnabled(m_table->selectionModel()->hasSelection());
    }
}

} // namespace daemonary
