#include "style/ConfirmationPrompt.h"

#include <QMessageBox>
#include <QPushButton>

namespace daemonary {

namespace {

ConfirmationPrompt::Answerer& answerer() {
    static ConfirmationPrompt::Answerer instance;
    return instance;
}

} // namespace

bool ConfirmationPrompt::ask(QWidget* parent, const Question& question) {
    if (answerer()) {
        return answerer()(question);
    }
    QMessageBox box(QMessageBox::Warning, question.title, question.text, QMessageBox::NoButton,
                    parent);
    box.setObjectName(QStringLiteral("confirmationPrompt"));
    box.setTextFormat(Qt::PlainText);
    QPushButton* accept = box.addButton(question.acceptText, QMessageBox::DestructiveRole);
    accept->setObjectName(QStringLiteral("confirmButton"));
    QPushButton* cancel = box.addButton(QMessageBox::Cancel);
    cancel->setObjectName(QStringLiteral("cancelButton"));
    box.setDefaultButton(cancel);
    box.setEscapeButton(cancel);
    box.exec();
    return box.clickedButton() == accept;
}

void ConfirmationPrompt::setAnswerer(Answerer answer) {
    answerer() = std::move(answer);
}

} // namespace daemonary
