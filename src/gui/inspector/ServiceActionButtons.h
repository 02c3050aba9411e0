#pragma once

#include "LaunchItem.h"
#include "ServiceActionManager.h"
#include "table/RefreshBinding.h"

#include <QWidget>

class QPushButton;

namespace daemonary {

// Reveal, Start or Stop, and Remove for one service. Start/Stop and Remove run
// off the GUI thread; a successful action flips the table's refresh signal
// when it comes back. The buttons stay enabled while an action runs, so
// repeated presses start independent actions.
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
    void updateButtons();

    ServiceActionManager m_actions;
    RefreshBinding m_refresh;
    LaunchItem m_item;
    QPushButton* m_reveal = nullptr;
    QPushButton* m_toggle = nullptr;
    QPushButton* m_remove = nullptr;
};

} // namespace daemonary
