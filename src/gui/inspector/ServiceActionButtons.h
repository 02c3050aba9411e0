#pragma once

#include "actions/ServiceActionManager.h"
#include "model/LaunchItem.h"
#include "table/RefreshBinding.h"

#include <QWidget>
#include <functional>

class QLabel;
class QPushButton;
class QToolButton;

namespace daemonary {

// Reveal, Start or Stop (or Enable and Start), Disable or Enable, and Remove
// for one service. Which are available, and the tooltip saying why one is
// not, is ActionAvailability's rule, shared with the command line. The
// actions run off the GUI thread; a successful action flips the table's
// refresh signal when it comes back. The buttons stay enabled while an action
// runs, so repeated presses start independent actions. Remove asks first.
// Below the row, notes explain what disabling leaves as it is (a daemon needs
// an administrator, a disabled job may still be running), and the last failed
// action says why, with the remedy where there is one, until the next action.
class ServiceActionButtons : public QWidget {
    Q_OBJECT

public:
    // The manager (and the workspace it uses) must outlive every action the
    // buttons start, which may outlive the buttons themselves.
    ServiceActionButtons(const ServiceActionManager& actions, RefreshBinding refresh,
                         QWidget* parent = nullptr);

    const LaunchItem& item() const { return m_item; }
    void setItem(const LaunchItem& item);

    QPushButton* revealButton() const { return m_reveal; }
    QPushButton* toggleButton() const { return m_toggle; }
    QPushButton* removeButton() const { return m_remove; }
    QPushButton* disableButton() const { return m_disable; }

    // Whether launchd's database says the item is disabled; nothing when
    // unknown, which offers Disable (disabling twice is harmless).
    std::optional<bool> disabledState() const { return m_disabledState; }
    void setDisabledState(std::optional<bool> state);

    // "Disabling a daemon needs administrator rights: sudo launchctl ...",
    // selectable; shown for launch daemons only.
    QLabel* daemonNote() const { return m_daemonNote; }
    QToolButton* copyCommandButton() const { return m_copyCommand; }
    // Shown while a disabled agent still runs, with Stop beside it.
    QLabel* stillRunningNote() const { return m_runningNote; }
    QPushButton* stopNowButton() const { return m_stopNow; }
    // The last failed action of the record shown, in the tool's words.
    QLabel* errorNote() const { return m_errorNote; }

    // The question Remove asks before it acts on the record.
    static QString removalQuestion(const LaunchItem& item);

signals:
    // A background action came back; refreshed tells whether the table's
    // refresh signal was flipped. Not emitted once the buttons are gone.
    void actionFinished(bool refreshed);

protected:
    void changeEvent(QEvent* event) override;

private:
    void applyPalette();
    void reveal();
    void toggle();
    void remove();
    void changeDisabled();
    void copyAdministratorCommand();
    void updateButtons();
    void updateDisabledControls();
    struct Outcome {
        ActionResult error;
        // The lists need reloading (a removal can fail after stopping a job).
        bool refreshed = false;
    };
    using Work = std::function<Outcome(const ServiceActionManager&, const LaunchItem&)>;
    // Runs `work` on the pool. Back on the GUI thread it flips the refresh
    // signal when asked to; while these buttons still show the same record a
    // failure is shown as `failureText` makes it, and `succeeded` runs after
    // a success.
    void runAction(Work work, std::function<QString(const ActionError&)> failureText,
                   std::function<void(ServiceActionButtons&)> succeeded = {});

    ServiceActionManager m_actions;
    RefreshBinding m_refresh;
    LaunchItem m_item;
    QPushButton* m_reveal = nullptr;
    QPushButton* m_toggle = nullptr;
    QPushButton* m_remove = nullptr;
    QPushButton* m_disable = nullptr;
    std::optional<bool> m_disabledState;
    QWidget* m_daemonRow = nullptr;
    QLabel* m_daemonNote = nullptr;
    QToolButton* m_copyCommand = nullptr;
    QWidget* m_runningRow = nullptr;
    QLabel* m_runningNote = nullptr;
    QPushButton* m_stopNow = nullptr;
    QLabel* m_errorNote = nullptr;
};

} // namespace daemonary
