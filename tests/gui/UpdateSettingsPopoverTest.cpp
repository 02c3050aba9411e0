#include "updates/UpdateSettingsPopover.h"

#include "FakeUpdater.h"
#include "shell/UserDefaults.h"
#include "updates/SparkleUpdateManager.h"
#include "updates/UpdateSettingsButton.h"

#include <QAccessible>
#include <QApplication>
#include <QImage>
#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>
#include <cstdlib>
#include <memory>

using namespace daemonary;
using namespace daemonary::test;

class UpdateSettingsPopoverTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }

    void init() {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
        m_defaults = std::make_unique<UserDefaults>(settingsPath());
        m_record = FakeUpdaterRecord{};
        m_manager = std::make_unique<SparkleUpdateManager>(fakeUpdaterFactory(m_record));
    }

    void cleanup() {
        m_manager.reset();
        m_defaults.reset();
        m_dir.reset();
    }

    void rowsToggleAndPersist() {
        UpdateSettingsPopover popover(*m_manager, *m_defaults, QStringLiteral("1.0"));
        auto* checks = popover.findChild<QToolButton*>(QStringLiteral("automaticChecksButton"));
        auto* downloads =
            popover.findChild<QToolButton*>(QStringLiteral("automaticDownloadsButton"));
        QVERIFY(checks && downloads);
        QCOMPARE(checks->text(), QStringLiteral("Automatically Check for Updates"));
        QCOMPARE(downloads->text(), QStringLiteral("Automatically Download Updates"));

        // First launch: both on, nothing written.
        QVERIFY(checks->isChecked());
        QVERIFY(downloads->isChecked());
        QVERIFY(
            !m_defaults->hasStoredValue(QLatin1String(UpdateSettingsPopover::kAutomaticChecksKey)));

        QTest::mouseClick(checks, Qt::LeftButton);
        QVERIFY(!checks->isChecked());
        QVERIFY(downloads->isChecked());
        QVERIFY(!m_defaults->hasStoredValue(
            QLatin1String(UpdateSettingsPopover::kAutomaticDownloadsKey)));

        // Stored where the next launch (another defaults object) finds it.
        {
            UserDefaults reopened(settingsPath());
            QVERIFY(
                reopened.hasStoredValue(QLatin1String(UpdateSettingsPopover::kAutomaticChecksKey)));
            QCOMPARE(
                reopened.boolValue(QLatin1String(UpdateSettingsPopover::kAutomaticChecksKey), true),
                false);
            UpdateSettingsPopover next(*m_manager, reopened, QString());
            QVERIFY(!next.findChild<QToolButton*>(QStringLiteral("automaticChecksButton"))
                         ->isChecked());
        }

        QTest::mouseClick(downloads, Qt::LeftButton);
        QTest::mouseClick(checks, Qt::LeftButton);
        QVERIFY(popover.automaticChecks());
        QVERIFY(!popover.automaticDownloads());
        QVERIFY(!downloads->isChecked());
        UserDefaults reopened(settingsPath());
        QCOMPARE(reopened.boolValue(QLatin1String(UpdateSettingsPopover::kAutomaticChecksKey)),
                 true);
        QCOMPARE(
            reopened.boolValue(QLatin1String(UpdateSettingsPopover::kAutomaticDownloadsKey), true),
            false);
    }

    void versionLineOnlyWithAVersion() {
        UpdateSettingsPopover withVersion(*m_manager, *m_defaults, QStringLiteral("2.3.1"));
        auto* label = withVersion.findChild<QLabel*>(QStringLiteral("updateVersionLabel"));
        QVERIFY(label != nullptr);
        QCOMPARE(label->text(), QStringLiteral("Version 2.3.1"));
        QCOMPARE(withVersion.size(), QSize(300, 200));

        UpdateSettingsPopover without(*m_manager, *m_defaults, QString());
        QVERIFY(without.findChild<QLabel*>(QStringLiteral("updateVersionLabel")) == nullptr);
        // The other elements keep their order.
        without.show();
        QVERIFY(QTest::qWaitForWindowExposed(&without));
        const auto* check = without.findChild<QPushButton*>(QStringLiteral("checkForUpdateButton"));
        const auto* checks =
            without.findChild<QToolButton*>(QStringLiteral("automaticChecksButton"));
        const auto* downloads =
            without.findChild<QToolButton*>(QStringLiteral("automaticDownloadsButton"));
        QVERIFY(check->geometry().bottom() < checks->geometry().top());
        QVERIFY(checks->geometry().bottom() < downloads->geometry().top());
    }

    void buttonOpensThePopoverAndCheckKeepsItOpen() {
        UpdateSettingsButton button(*m_manager, *m_defaults, QStringLiteral("1.0"));
        QCOMPARE(button.toolTip(), QStringLiteral("Update Settings"));
        QCOMPARE(button.accessibleName(), QStringLiteral("Update Settings"));
        button.show();
        QVERIFY(QTest::qWaitForWindowExposed(&button));

        QTest::mouseClick(&button, Qt::LeftButton);
        QVERIFY(button.isPopoverShown());
        auto* check =
            button.popover()->findChild<QPushButton*>(QStringLiteral("checkForUpdateButton"));
        QVERIFY(check != nullptr);

        // Before the updater is started a check does nothing at all.
        QTest::mouseClick(check, Qt::LeftButton);
        QCOMPARE(m_record.created, 0);
        QCOMPARE(m_record.checks, 0);

        m_manager->start();
        QTest::mouseClick(check, Qt::LeftButton);
        QCOMPARE(m_record.checks, 1);
        QVERIFY(button.isPopoverShown());

        QSignalSpy closed(button.popover(), &UpdateSettingsPopover::closed);
        button.togglePopover();
        QVERIFY(!button.isPopoverShown());
        QCOMPARE(closed.count(), 1);
    }

    void checkButtonHasItsOwnWidthAndRowsArePlain() {
        UpdateSettingsPopover popover(*m_manager, *m_defaults, QStringLiteral("1.0"));
        popover.show();
        QVERIFY(QTest::qWaitForWindowExposed(&popover));
        const auto* check = popover.findChild<QPushButton*>(QStringLiteral("checkForUpdateButton"));
        QCOMPARE(check->width(), check->sizeHint().width());
        // Centred, with room on both sides.
        const int left = check->geometry().left();
        const int right = popover.width() - 1 - check->geometry().right();
        QVERIFY(left > 0 && right > 0);
        QVERIFY(std::abs(left - right) <= 1);

        // A row that is on is drawn like one that is off but for its switch
        // at the trailing end, which shows the state plainly: no pressed-in
        // panel behind the row.
        auto* checks = popover.findChild<QToolButton*>(QStringLiteral("automaticChecksButton"));
        QVERIFY(checks->isCheckable());
        const auto corner = [checks] {
            const QImage image = checks->grab().toImage();
            return image.pixelColor(1, image.height() / 2);
        };
        const auto trailingEnd = [checks] {
            const QImage image = checks->grab().toImage();
            return image.copy(image.width() - 40, 0, 40, image.height());
        };
        QVERIFY(checks->isChecked());
        const QColor onCorner = corner();
        const QImage onSwitch = trailingEnd();
        m_defaults->setValue(QLatin1String(UpdateSettingsPopover::kAutomaticChecksKey), false);
        QVERIFY(!checks->isChecked());
        QCOMPARE(corner(), onCorner);
        QCOMPARE(onCorner.rgb(), popover.palette().color(QPalette::Window).rgb());
        QVERIFY(trailingEnd() != onSwitch);
    }

    void popoverTakesTheFocusAndEscapeGivesItBack() {
        UpdateSettingsButton button(*m_manager, *m_defaults, QStringLiteral("1.0"));
        button.show();
        QApplication::setActiveWindow(&button);
        QVERIFY(QTest::qWaitForWindowActive(&button));
        button.setFocus();
        QTest::keyClick(&button, Qt::Key_Space);
        QVERIFY(button.isPopoverShown());
        // Activation reaches the popover's window through the event loop.
        QTRY_COMPARE(QApplication::activeWindow(), button.popover());
        QWidget* focused = QApplication::focusWidget();
        QVERIFY(focused != nullptr && button.popover()->isAncestorOf(focused));
        QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(focused);
        QVERIFY(accessible != nullptr && accessible->state().focused);
        QVERIFY(!accessible->text(QAccessible::Name).isEmpty());

        // The first control that can be used: Check for Update, or the first
        // row while checking is unavailable (no feed configured).
        auto* check =
            button.popover()->findChild<QPushButton*>(QStringLiteral("checkForUpdateButton"));
        auto* checksRow =
            button.popover()->findChild<QToolButton*>(QStringLiteral("automaticChecksButton"));
        QCOMPARE(focused, check->isEnabled() ? static_cast<QWidget*>(check) : checksRow);
        if (focused == check) {
            QTest::keyClick(focused, Qt::Key_Tab);
        }
        // The settings rows say whether they are on.
        QAccessibleInterface* row =
            QAccessible::queryAccessibleInterface(QApplication::focusWidget());
        QCOMPARE(row->text(QAccessible::Name), QStringLiteral("Automatically Check for Updates"));
        QVERIFY(row->state().checkable && row->state().checked);
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), button.popover()->findChild<QToolButton*>(
                                                  QStringLiteral("automaticDownloadsButton")));

        // A window of the application's accessibility tree, where a screen
        // reader finds it (Qt leaves popup windows out of it).
        QAccessibleInterface* application = QAccessible::queryAccessibleInterface(qApp);
        QVERIFY(application->indexOfChild(
                    QAccessible::queryAccessibleInterface(button.popover())) >= 0);

        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
        QVERIFY(!button.isPopoverShown());
        QTRY_VERIFY(button.hasFocus());

        // A press on its button closes it, and the click does not open it again.
        QTest::mouseClick(&button, Qt::LeftButton);
        QVERIFY(button.isPopoverShown());
        QTest::mouseClick(&button, Qt::LeftButton);
        QVERIFY(!button.isPopoverShown());
    }

    void buttonTintFollowsCanInstallUpdates() {
        UpdateSettingsButton button(*m_manager, *m_defaults, QStringLiteral("1.0"));
        const QColor secondary = button.tintColor();
        QVERIFY(secondary != UpdateSettingsButton::updateAvailableColor());
        m_manager->start();
        m_record.callbacks.didFindValidUpdate();
        QCOMPARE(button.tintColor(), UpdateSettingsButton::updateAvailableColor());
        m_record.callbacks.didFinishUpdateCycle(std::nullopt);
        QCOMPARE(button.tintColor(), UpdateSettingsButton::updateAvailableColor());
        m_record.callbacks.didFinishUpdateCycle(QStringLiteral("offline"));
        QCOMPARE(button.tintColor(), secondary);
    }

private:
    QString settingsPath() const { return m_dir->filePath(QStringLiteral("defaults.ini")); }

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<UserDefaults> m_defaults;
    FakeUpdaterRecord m_record;
    std::unique_ptr<SparkleUpdateManager> m_manager;
};

QTEST_MAIN(UpdateSettingsPopoverTest)
#include "UpdateSettingsPopoverTest.moc"
