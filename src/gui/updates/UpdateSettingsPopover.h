#pragma once

#include <QFrame>
#include <QPointer>

class QLabel;
class QPushButton;
class QToolButton;

namespace daemonary {

class SparkleUpdateManager;
class UserDefaults;

// The small window of update settings under the toolbar's update button: the
// version, "Check for Update" (with the reason when it is unavailable) and the
// two automatic-update preferences as on/off switches, which are written to
// the user defaults only when pressed. Closes on a click
// outside it.
class UpdateSettingsPopover : public QFrame {
    Q_OBJECT

public:
    static constexpr char kAutomaticChecksKey[] = "SUEnableAutomaticChecks";
    static constexpr char kAutomaticDownloadsKey[] = "SUAutomaticallyUpdate";

    // No version line when shortVersion is empty.
    UpdateSettingsPopover(SparkleUpdateManager& updateManager, UserDefaults& defaults,
                          const QString& shortVersion, QWidget* parent = nullptr);

    // Shows the popover centred under the anchor's bottom edge, with the focus
    // on its first control; Escape closes it and focuses the anchor again.
    void popUp(QWidget* anchor);

    bool automaticChecks() const;
    bool automaticDownloads() const;

signals:
    void closed();

protected:
    void hideEvent(QHideEvent* event) override;
    void changeEvent(QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    QToolButton* makeToggleRow(const QString& objectName, const QString& text);
    void updateRows();
    void fitHeight();

    SparkleUpdateManager& m_updateManager;
    UserDefaults& m_defaults;
    QPointer<QWidget> m_anchor;
    QToolButton* m_automaticChecksRow = nullptr;
    QToolButton* m_automaticDownloadsRow = nullptr;
    QLabel* m_unavailableLabel = nullptr;
};

} // namespace daemonary
