#pragma once

#include <QString>
#include <functional>

class QWidget;

namespace daemonary {

// The one way the window asks before it destroys something: a question box
// whose default button is Cancel, so Return never confirms by accident. Tests
// answer the questions themselves through setAnswerer.
class ConfirmationPrompt {
public:
    struct Question {
        QString title;
        QString text;
        // The confirming button ("Move to Trash", "Forget").
        QString acceptText;
    };
    using Answerer = std::function<bool(const Question& question)>;

    // True to go on. Modal; runs on the GUI thread.
    static bool ask(QWidget* parent, const Question& question);
    // Replaces the question box for the whole process; an empty answerer
    // brings it back.
    static void setAnswerer(Answerer answerer);
};

} // namespace daemonary
