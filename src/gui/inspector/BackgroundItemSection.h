#pragma once

#include "actions/ServiceActionManager.h"
#include "model/LaunchItem.h"
#include "platform/HostLayout.h"

#include <QWidget>
#include <cstdint>

class QGridLayout;
class QLabel;
class QToolButton;

namespace daemonary {

// "Background Item": what Background Task Management says about a record
// (developer, team, type, whether it may run in the background) and the app
// it lives in, with that app's icon and a Reveal button. Hidden for records
// it knows nothing about.
class BackgroundItemSection : public QWidget {
    Q_OBJECT

public:
    BackgroundItemSection(const ServiceActionManager& actions, HostLayout layout,
                          QWidget* parent = nullptr);

    void setItem(const LaunchItem& item);
    // A disk's files say nothing of what may run in the background.
    void setReadFromDisk(bool fromDisk) { m_readFromDisk = fromDisk; }
    // The text of one fact ("Developer", "Allowed", ...), empty when not shown.
    QString fact(const QString& name) const;

signals:
    void iconLookupFinished();

private:
    void addFact(const QString& name, const QString& value);
    void revealParentApp();

    ServiceActionManager m_actions;
    HostLayout m_layout;
    LaunchItem m_item;
    bool m_readFromDisk = false;
    QGridLayout* m_grid = nullptr;
    QWidget* m_parentRow = nullptr;
    QLabel* m_parentIcon = nullptr;
    QLabel* m_parentName = nullptr;
    QToolButton* m_reveal = nullptr;
    QLabel* m_removeCaption = nullptr;
    std::uint64_t m_iconRequest = 0;
};

} // namespace daemonary
