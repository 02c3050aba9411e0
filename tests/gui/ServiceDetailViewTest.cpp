#include "inspector/ServiceDetailView.h"

#include "RecordingWorkspace.h"
#include "TestSupport.h"
#include "inspector/CodesignPopover.h"
#include "inspector/PlistView.h"
#include "inspector/ServiceActionButtons.h"
#include "table/AppState.h"
#include "table/ServiceTableModel.h"
#include "table/ServiceTableView.h"
#include "table/ServiceTableViewModel.h"
#include "table/SignerStore.h"

#include <QAbstractButton>
#include <QAccessible>
#include <QApplication>
#include <QGridLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>
#include <atomic>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

using namespace daemonary;
using daemonary::test::dominantColor;
using daemonary::test::sameRgb;
using daemonary::test::writeScript;
using namespace Qt::StringLiterals;
namespace fs = std::filesystem;

namespace {

constexpr const char* kInfoPlist = R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict>
  <key>CFBundleShortVersionString</key><string>2.4.1</string>
  <key>CFBundleVersion</key><integer>2041</integer>
  <key>NSHumanReadableCopyright</key><string>Copyright 2024 Example Software</string>
  <key>DTSDKName</key><string>macosx14.0</string>
</dict></plist>
)";

std::string definitionXml(const std::string& label, const std::string& program) {
    return R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict>
  <key>Label</key><string>)" +
           label + R"(</string>
  <key>ProgramArguments</key><array><string>)" +
           program + R"(</string><string>--serve</string></array>
  <key>RunAtLoad</key><true/>
</dict></plist>
)";
}

void writeFile(const fs::path& path, const std::string& content) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << content;
}

LaunchItem agent(const std::string& label, std::optional<std::string> path) {
    LaunchItem item;
    item.label = label;
    item.path = std::move(path);
    item.type = ServiceType::launchAgent;
    item.scope = LaunchScope::user;
    item.status = ServiceStatus::inactive;
    return item;
}

} // namespace

class ServiceDetailViewTest : public QObject {
    Q_OBJECT

private slots:
    void init() {
        QVERIFY(m_dir.isValid());
        m_root = fs::path(m_dir.path().toStdString()) / "host";
        m_home = m_root / "Users/demo";
        fs::create_directories(m_home / "Library/LaunchAgents");
        m_workspace = std::make_unique<RecordingWorkspace>(m_home / ".Trash");
        m_actions = std::make_unique<ServiceActionManager>(*m_workspace, layout());
        m_refresh = std::make_unique<RefreshCounter>();
    }

    void cleanup() {
        m_actions.reset();
        m_workspace.reset();
        fs::remove_all(m_root);
    }

    void rowsFollowTheKindOfRecord() {
        auto view = makeView();
        LaunchItem item = agent("com.example.agent", std::nullopt);
        item.pid = 4242;
        item.status = ServiceStatus::active;
        item.executablePath = "/usr/local/bin/agent";
        show(*view, item);
        QCOMPARE(text(*view, u"pidValue"_s), u"4242"_s);
        QCOMPARE(text(*view, u"statusValue"_s), u"Active"_s);
        QCOMPARE(label(*view, u"statusValue"_s)->palette().color(QPalette::WindowText).green(),
                 199);
        QCOMPARE(text(*view, u"pathValue"_s), u"N/A"_s);
        QCOMPARE(text(*view, u"executableValue"_s), u"/usr/local/bin/agent"_s);
        QVERIFY(view->findChild<QToolButton*>(u"executableInfoButton"_s) != nullptr);
        QVERIFY(view->findChild<QToolButton*>(u"pathInfoButton"_s) == nullptr);
        QVERIFY(!view->actionButtons()->isHidden());

        // A pid no job claims is shown as the guess it is.
        item.pidSource = PidSource::processName;
        show(*view, item);
        QVERIFY(text(*view, u"pidValue"_s).startsWith(u"4242? ("_s));
        item.pidSource = PidSource::launchd;
        // A record only the baseline still has offers nothing to act on.
        view->setProperty("removedRecord", true);
        QVERIFY(view->actionButtons()->isHidden());
        view->setProperty("removedRecord", false);
        QVERIFY(!view->actionButtons()->isHidden());

        // No process: no PID row. Others: no Status row. Mach: no buttons.
        item.pid.reset();
        item.status = ServiceStatus::onDemand;
        show(*view, item);
        QVERIFY(label(*view, u"pidValue"_s) == nullptr);
        QCOMPARE(text(*view, u"statusValue"_s), u"On Demand"_s);
        item.status = ServiceStatus::unknown;
        show(*view, item);
        QCOMPARE(text(*view, u"statusValue"_s), u"Unknown"_s);
        item.scope = LaunchScope::others;
        show(*view, item);
        QVERIFY(label(*view, u"statusLabel"_s) == nullptr);
        item.scope = LaunchScope::mach;
        show(*view, item);
        QVERIFY(view->actionButtons()->isHidden());

        // A bundle path gets its own info button; a definition file does not.
        item.scope = LaunchScope::user;
        item.path = "/Applications/Tool.app";
        show(*view, item);
        auto* pathInfo = view->findChild<QToolButton*>(u"pathInfoButton"_s);
        QVERIFY(pathInfo != nullptr);
        QCOMPARE(pathInfo->accessibleName(), u"Code signing of path"_s);
        item.path = "/Library/LaunchAgents/Tool.app.plist";
        show(*view, item);
        QVERIFY(view->findChild<QToolButton*>(u"pathInfoButton"_s) == nullptr);

        // Neither executable nor bundle: the Executable row reads N/A, dimmed.
        item.executablePath.reset();
        show(*view, item);
        QCOMPARE(text(*view, u"executableValue"_s), u"N/A"_s);
        QVERIFY(label(*view, u"executableValue"_s)->palette().color(QPalette::WindowText).alpha() <
                255);
        QVERIFY(view->findChild<QToolButton*>(u"executableInfoButton"_s) == nullptr);
        for (auto* text : view->findChildren<QLabel*>()) {
            if (text->objectName() == u"serviceIcon"_s) {
                continue;
            }
            QVERIFY2(text->textInteractionFlags() & Qt::TextSelectableByMouse,
                     qPrintable(text->objectName()));
        }
    }

    void signerStandsBesideTheExecutableAndFillsIn() {
        SignerStore signers{SignerChecker(layout()), QString()};
        auto view = makeView();
        view->setSignerStore(&signers);
        LaunchItem item = agent("com.example.agent", std::nullopt);
        item.executablePath = "/opt/never-there";
        show(*view, item);
        // A file that is not there needs no tool: its answer comes at once.
        QSignalSpy changed(&signers, &SignerStore::signersChanged);
        if (view->signerText() != u"Missing"_s) {
            QCOMPARE(view->signerText(), u"Checking..."_s);
            QVERIFY(changed.wait());
        }
        QCOMPARE(view->signerText(), u"Missing"_s);
        QCOMPARE(label(*view, u"signerLabel"_s)->text(), u"Signed By:"_s);
        // The row follows the executable's in the grid.
        auto* grid = view->findChild<QWidget*>(u"factsGrid"_s);
        auto* layoutOfGrid = qobject_cast<QGridLayout*>(grid->layout());
        int executableRow = -1;
        int signerRow = -1;
        for (int i = 0; i < layoutOfGrid->count(); ++i) {
            int row = 0, column = 0, rows = 0, columns = 0;
            layoutOfGrid->getItemPosition(i, &row, &column, &rows, &columns);
            if (layoutOfGrid->itemAt(i)->widget() == label(*view, u"executableValue"_s))
                executableRow = row;
            if (layoutOfGrid->itemAt(i)->widget() == label(*view, u"signerValue"_s))
                signerRow = row;
        }
        QCOMPARE(signerRow, executableRow + 1);

        signers.insert(u"/Library/PrivilegedHelperTools/x"_s,
                       Signer{SignerKind::developerId, "Contoso Ltd", "C0N7050L7D", "", {}});
        item.executablePath = "/Library/PrivilegedHelperTools/x";
        show(*view, item);
        QCOMPARE(view->signerText(), u"Developer ID: Contoso Ltd (C0N7050L7D)"_s);

        // Nothing to check, no row.
        item.executablePath.reset();
        show(*view, item);
        QCOMPARE(view->signerText(), std::nullopt);
    }

    void headerShowsNameCategoryAndSystemDefault() {
        auto view = makeView([](const LaunchItem& item) { return item.label == "Tool.app"; });
        const std::pair<const char*, QString> names[] = {
            {"com.example.agent.plist", u"com.example.agent"_s},
            {"Tool.app", u"Tool"_s},
            {"Tool.app.plist", u"Tool"_s},
            {"Tool.plist.app", u"Tool.plist"_s},
            {"Tool.PLIST", u"Tool.PLIST"_s},
        };
        for (const auto& [labelText, shown] : names) {
            show(*view, agent(labelText, std::nullopt));
            QCOMPARE(text(*view, u"serviceName"_s), shown);
            QCOMPARE(text(*view, u"scopeBadge"_s), u"User"_s);
            QCOMPARE(!label(*view, u"systemDefaultLabel"_s)->isHidden(),
                     std::string(labelText) == "Tool.app");
        }
        QCOMPARE(view->findChild<QLabel*>(u"serviceIcon"_s)->property("symbol").toString(),
                 u"app.dashed"_s);
    }

    void bundleDirectoryShowsBundleInfoButNoDefinition() {
        const fs::path bundle = m_root / "Applications/Tool.app";
        writeFile(bundle / "Contents/Info.plist", kInfoPlist);
        auto view = makeView();
        LaunchItem item = agent("Tool.app", bundle.string());
        item.type = ServiceType::loginItem;
        show(*view, item);

        QCOMPARE(text(*view, u"versionLine"_s), u"Version: 2.4.1"_s);
        // A numeric CFBundleVersion is not a build string.
        QVERIFY(label(*view, u"buildLine"_s) == nullptr);
        QCOMPARE(text(*view, u"sdkLine"_s), u"SDK: macosx14.0"_s);
        QCOMPARE(text(*view, u"copyrightLine"_s), u"Copyright 2024 Example Software"_s);
        QVERIFY(label(*view, u"executableLabel"_s) == nullptr);
        QVERIFY(view->findChild<QToolButton*>(u"pathInfoButton"_s) != nullptr);
        QVERIFY(!view->plistData());
        QVERIFY(view->findChild<QWidget*>(u"definitionSection"_s)->isHidden());

        // A file inside the bundle shows the bundle's facts too.
        const fs::path helper = bundle / "Contents/Library/LaunchAgents/helper.plist";
        writeFile(helper, definitionXml("helper", "/bin/helper"));
        show(*view, agent("helper.plist", helper.string()));
        QCOMPARE(text(*view, u"versionLine"_s), u"Version: 2.4.1"_s);
        QVERIFY(view->plistData().has_value());
    }

    void placeholderVersionsAreDropped() {
        PlistDictionary information{
            {"CFBundleShortVersionString", std::string("kVersionPlaceholder")},
            {"CFBundleVersion", std::string("1A42")},
            {"NSHumanReadableCopyright", std::string("kCopyright is kept")},
            {"DTSDKName", std::int64_t{14}},
        };
        ServiceDetailView::BundleInfo expected;
        expected.build = "1A42";
        expected.copyright = "kCopyright is kept";
        QCOMPARE(ServiceDetailView::bundleInfoFrom(information), expected);
        information["CFBundleVersion"] = std::string("kBuild");
        information["CFBundleShortVersionString"] = std::string("Kept 1.0");
        expected.build.reset();
        expected.version = "Kept 1.0";
        QCOMPARE(ServiceDetailView::bundleInfoFrom(information), expected);
        QVERIFY(ServiceDetailView::bundleInfoFrom(PlistArray{}).empty());
    }

    void filesAreReadOnlyWhenThePathChanges() {
        const fs::path first = m_home / "Library/LaunchAgents/com.example.first.plist";
        const fs::path second = m_home / "Library/LaunchAgents/com.example.second.plist";
        const fs::path notADictionary = m_home / "Library/LaunchAgents/array.plist";
        writeFile(first, definitionXml("com.example.first", "/bin/first"));
        writeFile(second, definitionXml("com.example.second", "/bin/second"));
        writeFile(notADictionary, "<plist version=\"1.0\"><array/></plist>");
        auto view = makeView();
        QSignalSpy loads(view.get(), &ServiceDetailView::detailsLoaded);

        LaunchItem item = agent("com.example.first", first.string());
        show(*view, item);
        QCOMPARE(loads.count(), 1);
        QVERIFY(!view->findChild<QWidget*>(u"definitionSection"_s)->isHidden());
        PlistView* tree = view->plistView();
        QCOMPARE(tree->displayedRows(), QStringList{u"Plist Content (3 items)"_s});
        tree->setExpanded({}, true);

        // A reload after an action: same path, new state. The facts change at
        // once; nothing is read again, so the tree keeps its content.
        writeFile(first, definitionXml("com.example.first", "/bin/changed"));
        item.pid = 99;
        item.status = ServiceStatus::active;
        view->setItem(item);
        QVERIFY(!view->isLoading());
        QCOMPARE(text(*view, u"pidValue"_s), u"99"_s);
        QCOMPARE(text(*view, u"statusValue"_s), u"Active"_s);
        QVERIFY(tree->displayedRows().contains(u"  Label: com.example.first"_s));
        QVERIFY(!tree->displayedRows().join(u'\n').contains(u"/bin/changed"_s));

        // Another service with a definition keeps the open root.
        show(*view, agent("com.example.second", second.string()));
        QCOMPARE(loads.count(), 2);
        QVERIFY(tree->isExpanded({}));
        QVERIFY(tree->displayedRows().contains(u"  Label: com.example.second"_s));

        // One whose file is not a dictionary drops the tree; the next starts
        // collapsed.
        show(*view, agent("array", notADictionary.string()));
        QVERIFY(view->findChild<QWidget*>(u"definitionSection"_s)->isHidden());
        show(*view, agent("com.example.first", first.string()));
        QVERIFY(!tree->isExpanded({}));
        QVERIFY(!view->findChild<QWidget*>(u"definitionSection"_s)->isHidden());
    }

    void iconBoxKeepsItsSizeAndMacPathsAreFoundOnTheHost() {
        const fs::path definition = m_home / "Library/LaunchAgents/com.example.tool.plist";
        writeFile(definition, definitionXml("com.example.tool", "/bin/tool"));
        writeFile(m_root / "Applications/Tool.app/Contents/MacOS/Tool", "x");
        auto view = makeView();
        view->resize(450, 700);
        view->show();
        QVERIFY(QTest::qWaitForWindowExposed(view.get()));
        auto* icon = label(*view, u"serviceIcon"_s);
        const QSize box(ServiceDetailView::kIconSide, ServiceDetailView::kIconSide);

        // The program as its definition names it: a Mac path.
        LaunchItem item = agent("com.example.tool", definition.string());
        item.executablePath = "/Applications/Tool.app/Contents/MacOS/Tool";
        QSignalSpy looked(view.get(), &ServiceDetailView::iconLookupFinished);
        show(*view, item);
        QCOMPARE(icon->size(), box);
        const int nameTop = label(*view, u"serviceName"_s)->mapTo(view.get(), QPoint()).y();
        if (looked.isEmpty()) {
            QVERIFY(looked.wait());
        }
        QCOMPARE(icon->property("symbol").toString(), QString());
        QCOMPARE(icon->size(), box);
        QCoreApplication::processEvents(); // let the layout settle, if it were to move
        QCOMPARE(label(*view, u"serviceName"_s)->mapTo(view.get(), QPoint()).y(), nameTop);

        // Paths that exist on this machine but not on the simulated host give
        // no icon: the placeholder, in the same box.
        LaunchItem elsewhere = agent("com.example.elsewhere", "/etc/hostname");
        elsewhere.executablePath = "/bin/sh";
        looked.clear();
        show(*view, elsewhere);
        if (looked.isEmpty()) {
            QVERIFY(looked.wait());
        }
        QCOMPARE(icon->property("symbol").toString(), u"app.dashed"_s);
        QCOMPARE(icon->size(), box);
    }

    void unchangedFactsKeepTheirWidgetsAndSelection() {
        const fs::path definition = m_home / "Library/LaunchAgents/com.example.agent.plist";
        writeFile(definition, definitionXml("com.example.agent", "/bin/agent"));
        auto view = makeView();
        LaunchItem item = agent("com.example.agent", definition.string());
        item.executablePath = "/bin/agent";
        show(*view, item);
        QLabel* path = label(*view, u"pathValue"_s);
        path->setSelection(0, 5);
        QVERIFY(path->hasSelectedText());

        // A reload that brings the same record: nothing is built again.
        view->setItem(LaunchItem(item));
        QCOMPARE(label(*view, u"pathValue"_s), path);
        QVERIFY(path->hasSelectedText());
        QCOMPARE(path->selectedText(), QString::fromStdString(definition.string()).left(5));

        // A record that changed shows its new facts.
        item.pid = 77;
        item.status = ServiceStatus::active;
        view->setItem(item);
        QCOMPARE(text(*view, u"pidValue"_s), u"77"_s);
    }

    // Tab walks the pane as it is drawn: the code-signing button beside the
    // path before the buttons below it, and the buttons left to right. A
    // screen reader hears each value as what it says, the field after it.
    void tabFollowsThePaneAndValuesSayWhatTheyHold() {
        SignerStore signers{SignerChecker(layout()), QString()};
        signers.insert(u"/Applications/Tool.app/Contents/MacOS/Tool"_s,
                       Signer{SignerKind::developerId, "Contoso Ltd", "C0N7050L7D", "", {}});
        auto view = makeView();
        view->setSignerStore(&signers);
        view->resize(ServiceTableView::kInspectorIdealWidth, 900);
        view->show();
        QApplication::setActiveWindow(view.get());
        QVERIFY(QTest::qWaitForWindowActive(view.get()));
        LaunchItem item = agent("Tool.app", "/Applications/Tool.app");
        item.executablePath = "/Applications/Tool.app/Contents/MacOS/Tool";
        item.backgroundItem = BackgroundItem{};
        show(*view, item);

        // The rebuilt facts appear on the next turn of the event loop.
        QTRY_VERIFY(view->findChild<QToolButton*>(u"pathInfoButton"_s)->isVisible());
        // From the name (a label Tab goes on from) once round the pane.
        QStringList visited;
        label(*view, u"serviceName"_s)->setFocus(Qt::MouseFocusReason);
        for (int step = 0; step < 12; ++step) {
            QWidget* focused = QApplication::focusWidget();
            QTest::keyClick(focused, Qt::Key_Tab);
            focused = QApplication::focusWidget();
            QVERIFY(focused != nullptr && view->isAncestorOf(focused));
            QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(focused);
            QVERIFY(accessible != nullptr && accessible->state().focused);
            visited.append(accessible->text(QAccessible::Name));
        }
        const auto at = [&visited](const QString& name) { return visited.indexOf(name); };
        // The code-signing buttons stand at the top, beside their paths.
        QCOMPARE(visited.first(), u"Code signing of path"_s);
        QCOMPARE(at(u"Code signing of executable"_s), 1);
        // The row as drawn; a button that is unavailable is no tab stop.
        ServiceActionButtons* buttons = view->actionButtons();
        qsizetype previous = at(u"Code signing of executable"_s);
        for (QPushButton* button : {buttons->revealButton(), buttons->toggleButton(),
                                    buttons->disableButton(), buttons->removeButton()}) {
            if (!button->isEnabled()) {
                continue;
            }
            const qsizetype position = at(button->accessibleName());
            QVERIFY2(position > previous, qPrintable(visited.join(u" | "_s)));
            previous = position;
        }
        QVERIFY(buttons->disableButton()->isEnabled() && buttons->removeButton()->isEnabled());

        const auto described = [&view](QLabel* value) {
            QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(value);
            return std::pair(accessible->text(QAccessible::Name),
                             accessible->text(QAccessible::Description));
        };
        QCOMPARE(described(label(*view, u"signerValue"_s)),
                 std::pair(u"Developer ID: Contoso Ltd (C0N7050L7D)"_s, u"Signed by"_s));
        QCOMPARE(described(label(*view, u"pathValue"_s)),
                 std::pair(u"/Applications/Tool.app"_s, u"Path"_s));
        QLabel* allowed = nullptr;
        for (QLabel* fact : view->findChildren<QLabel*>(u"backgroundFact"_s)) {
            if (fact->property("fact").toString() == u"Allowed"_s) {
                allowed = fact;
            }
        }
        QVERIFY(allowed != nullptr);
        QCOMPARE(described(allowed), std::pair(u"Yes"_s, u"Allowed"_s));

        // At the pane's opening width nothing is cut off: the buttons wrap.
        const QWidget* content = view->widget();
        for (QWidget* button : view->actionButtons()->findChildren<QPushButton*>()) {
            if (button->isVisibleTo(view.get())) {
                const QRect place(button->mapTo(content, QPoint(0, 0)), button->size());
                QVERIFY2(place.right() < view->viewport()->width(),
                         qPrintable(button->objectName()));
            }
        }
    }

    // A label ending in U+202E "txt.exe" would read reversed, a path with a
    // newline as two lines: both are shown as stored, here and in the
    // question Remove asks.
    void hostileLabelsAndPathsAreShownNotObeyed() {
        auto view = makeView();
        const std::string label = "com.evil\u202Etxt.exe";
        const std::string path = "/Users/demo/Library/LaunchAgents/a\nb.plist";
        LaunchItem item = agent(label, path);
        show(*view, item);
        const QString name = text(*view, u"serviceName"_s);
        QVERIFY(!name.contains(QChar(0x202E)));
        QCOMPARE(name, u"com.evil\\u{202E}txt.exe"_s);
        const QString shownPath = text(*view, u"pathValue"_s);
        QVERIFY(!shownPath.contains(u'\n'));
        QVERIFY(shownPath.contains(QChar(0x240A)));
        const QString question = ServiceActionButtons::removalQuestion(item);
        QVERIFY(!question.contains(QChar(0x202E)));
        QVERIFY(question.contains(u"a\u240Ab.plist"_s));
    }

    void headerTextsReachAssistiveTechnology() {
        auto view = makeView();
        view->show();
        show(*view, agent("com.northwind.Skyline.agent.plist", std::nullopt));
        const std::pair<QString, QString> expected[] = {
            {u"serviceName"_s, u"com.northwind.Skyline.agent"_s},
            {u"scopeBadge"_s, u"User"_s},
        };
        for (const auto& [name, value] : expected) {
            QAccessibleInterface* accessible =
                QAccessible::queryAccessibleInterface(label(*view, name));
            QVERIFY(accessible != nullptr);
            QCOMPARE(accessible->text(QAccessible::Name), value);
            // What the text is, said apart from it.
            QVERIFY(!accessible->text(QAccessible::Description).isEmpty());
        }
    }

    void codesignPopoverTakesTheFocusAndEscapeGivesItBack() {
        writeScript(m_root / "usr/bin/codesign", "echo \"report for $4\" >&2; exit 0");
        auto view = makeView();
        LaunchItem item = agent("Tool.app", "/Applications/Tool.app");
        item.executablePath = "/Applications/Tool.app/Contents/MacOS/Tool";
        view->show();
        QApplication::setActiveWindow(view.get());
        QVERIFY(QTest::qWaitForWindowActive(view.get()));
        show(*view, item);

        auto* button = view->findChild<QToolButton*>(u"executableInfoButton"_s);
        button->setFocus();
        QSignalSpy finished(view.get(), &ServiceDetailView::codesignFinished);
        QTest::keyClick(button, Qt::Key_Space);
        CodesignPopover* popover = view->codesignPopover();
        QVERIFY(popover->isVisible());
        // Activation reaches the popover's window through the event loop.
        QTRY_COMPARE(QApplication::activeWindow(), popover);
        QWidget* focused = QApplication::focusWidget();
        QVERIFY(focused != nullptr && (focused == popover || popover->isAncestorOf(focused)));
        QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(focused);
        QVERIFY(accessible != nullptr && accessible->state().focused);
        if (finished.isEmpty()) { // it may have come back while the focus moved
            QVERIFY(finished.wait());
        }

        QAccessibleInterface* application = QAccessible::queryAccessibleInterface(qApp);
        QVERIFY(application->indexOfChild(QAccessible::queryAccessibleInterface(popover)) >= 0);

        QTest::keyClick(focused, Qt::Key_Escape);
        QVERIFY(!popover->isVisible());
        QCOMPARE(view->openPopover(), ServiceDetailView::Popover::none);
        QTRY_VERIFY(button->hasFocus());

        // A press anywhere else in the application closes it too.
        QTest::keyClick(button, Qt::Key_Space);
        QVERIFY(popover->isVisible());
        QTest::mouseClick(label(*view, u"serviceName"_s), Qt::LeftButton);
        QVERIFY(!popover->isVisible());
        QCOMPARE(view->openPopover(), ServiceDetailView::Popover::none);
    }

    void paletteSwitchRecoloursTheHeaderAndTree() {
        const fs::path definition = m_home / "Library/LaunchAgents/com.example.agent.plist";
        writeFile(definition, definitionXml("com.example.agent", "/bin/agent"));
        auto view = makeView([](const LaunchItem&) { return true; });
        view->show();
        show(*view, agent("com.example.agent", definition.string()));
        // A record without files keeps the placeholder icon.
        auto placeholder = makeView();
        QSignalSpy looked(placeholder.get(), &ServiceDetailView::iconLookupFinished);
        show(*placeholder, agent("com.example.nothing", std::nullopt));
        if (looked.isEmpty()) {
            QVERIFY(looked.wait());
        }
        const QPalette light = QApplication::palette();
        QPalette dark = light;
        const QColor text(240, 235, 225);
        for (const auto group : {QPalette::Active, QPalette::Inactive}) {
            dark.setColor(group, QPalette::Window, QColor(28, 28, 30));
            dark.setColor(group, QPalette::Base, QColor(18, 18, 20));
            dark.setColor(group, QPalette::Text, text);
            dark.setColor(group, QPalette::WindowText, text);
        }
        QApplication::setPalette(dark);
        QTRY_COMPARE(view->palette().color(QPalette::Text), text);

        QVERIFY(sameRgb(
            label(*view, u"systemDefaultLabel"_s)->palette().color(QPalette::WindowText), text));
        QVERIFY(label(*view, u"scopeBadge"_s)
                    ->styleSheet()
                    .contains(text.name(QColor::HexRgb).mid(1), Qt::CaseInsensitive));
        QVERIFY(
            sameRgb(label(*view, u"statusValue"_s)->palette().color(QPalette::WindowText), text));
        QVERIFY(sameRgb(dominantColor(label(*placeholder, u"serviceIcon"_s)->pixmap()), text));
        auto* chevron = view->plistView()->findChild<QAbstractButton*>(u"disclosureButton"_s);
        QVERIFY(chevron != nullptr);
        QVERIFY(sameRgb(dominantColor(chevron->icon().pixmap(16)), text));
        QApplication::setPalette(light);
        QTRY_COMPARE(view->palette().color(QPalette::Text), light.color(QPalette::Text));
    }

    // A program a definition names like an option reaches codesign as a path.
    void codesignTakesTheProgramAfterItsOptions() {
        writeScript(m_root / "usr/bin/codesign", "echo \"$*\" >&2; exit 0");
        auto view = makeView();
        LaunchItem item = agent("evil", "/Library/LaunchAgents/evil.plist");
        item.executablePath = "--remove-signature";
        show(*view, item);
        QSignalSpy finished(view.get(), &ServiceDetailView::codesignFinished);
        QTest::mouseClick(view->findChild<QToolButton*>(u"executableInfoButton"_s), Qt::LeftButton);
        QVERIFY(finished.wait());
        QCOMPARE(view->codesignOutput(), u"-dv --verbose=4 -- --remove-signature\n"_s);
    }

    void popoverIsClosedAndClearedWhenThePathChanges() {
        writeScript(m_root / "usr/bin/codesign", "echo \"report for $4\" >&2; exit 0");
        auto view = makeView();
        LaunchItem item = agent("Tool.app", "/Applications/Tool.app");
        item.executablePath = "/Applications/Tool.app/Contents/MacOS/Tool";
        show(*view, item);

        QSignalSpy finished(view.get(), &ServiceDetailView::codesignFinished);
        QTest::mouseClick(view->findChild<QToolButton*>(u"executableInfoButton"_s), Qt::LeftButton);
        CodesignPopover* popover = view->codesignPopover();
        QVERIFY(popover->isVisible());
        QVERIFY(popover->width() >= 600 && popover->height() >= 400);
        QCOMPARE(view->openPopover(), ServiceDetailView::Popover::executable);
        QCOMPARE(popover->text(), u"Loading..."_s);
        QVERIFY(finished.wait());
        QCOMPARE(popover->text(), u"report for /Applications/Tool.app/Contents/MacOS/Tool\n"_s);
        auto* report = popover->findChild<QPlainTextEdit*>(u"codesignOutput"_s);
        QVERIFY(report->isReadOnly());
        QVERIFY(report->textInteractionFlags() & Qt::TextSelectableByMouse);
        QVERIFY(report->font().fixedPitch()); // asked for, whatever the machine picks
        QCOMPARE(report->font().styleHint(), QFont::Monospace);

        // A reload with the same path keeps the popover and its text.
        item.pid = 12;
        view->setItem(item);
        QVERIFY(popover->isVisible());
        QCOMPARE(view->codesignOutput(), popover->text());

        item.path = "/Applications/Other.app";
        show(*view, item);
        QVERIFY(!popover->isVisible());
        QCOMPARE(view->openPopover(), ServiceDetailView::Popover::none);
        QCOMPARE(view->codesignOutput(), QString());
        QCOMPARE(popover->text(), QString());
    }

    void hostsimReportsSignedAndUnsignedFiles() {
#ifndef DAEMONARY_HOSTSIM
        QSKIP("daemonary-hostsim is not built on this system");
#else
        installHostsim(R"({"signed": {
            "Applications/Signed.app": {"kind": "developerID", "identifier": "com.example.signed"},
            "Applications/Large.app": {"reportPaddingBytes": 1500000}}})");
        for (const char* name : {"Signed", "Unsigned", "Large"}) {
            writeFile(m_root / "Applications" / (std::string(name) + ".app") /
                          "Contents/Info.plist",
                      kInfoPlist);
        }
        auto view = makeView();

        const QString signedReport = codesignReport(*view, "/Applications/Signed.app");
        QVERIFY2(signedReport.startsWith(u"Executable=/Applications/Signed.app/Contents/MacOS/"_s),
                 qPrintable(signedReport.left(200)));
        QVERIFY(signedReport.contains(u"Identifier=com.example.signed\n"_s));
        QVERIFY(signedReport.contains(u"Authority=Developer ID Application: "_s));

        // The tool's own complaint, not an error of the pane.
        QCOMPARE(codesignReport(*view, "/Applications/Unsigned.app"),
                 u"/Applications/Unsigned.app: code object is not signed at all\n"_s);

        // Larger than any pipe buffer: read while the tool writes.
        const QString large = codesignReport(*view, "/Applications/Large.app");
        QVERIFY(large.size() > 1024 * 1024);
        QVERIFY(large.startsWith(u"Executable=/Applications/Large.app/Contents/MacOS/"_s));
        QVERIFY(large.endsWith(u".framework\n"_s));
#endif
    }

    void largeReportFromAScriptArrivesWhole() {
        // Two megabytes of lines on standard error, then a marker.
        writeScript(m_root / "usr/bin/codesign",
                    "i=0; while [ $i -lt 32768 ]; do "
                    "echo 'Entitlement=com.example.entitlement.with.a.long.name.to.fill.the.pipe' "
                    ">&2; i=$((i+1)); done; echo END >&2");
        auto view = makeView();
        const QString report = codesignReport(*view, "/Applications/Tool.app");
        QCOMPARE(report.size(), qsizetype(32768 * 70 + 4));
        QVERIFY(report.endsWith(u"\nEND\n"_s));
    }

    void launchFailureAndUndecodableReports() {
        auto view = makeView();
        const QString missing = codesignReport(*view, "/Applications/Tool.app");
        QVERIFY2(missing.startsWith(u"Failed to run codesign: "_s), qPrintable(missing));
        QVERIFY(missing.size() > int(std::string_view("Failed to run codesign: ").size()));

        writeScript(m_root / "usr/bin/codesign", "printf 'bad \\377\\376 bytes' >&2");
        QCOMPARE(codesignReport(*view, "/Applications/Tool.app"), u"Loading..."_s);
    }

    void onlyTheLatestRunFillsTheReport() {
        // The first run waits on a pipe until the test lets it go, so it
        // finishes after the second.
        const fs::path gate = m_root / "gate";
        fs::create_directories(m_root);
        QCOMPARE(::mkfifo(gate.c_str(), 0600), 0);
        writeScript(m_root / "usr/bin/codesign",
                    "case \"$4\" in *.app) cat '" + gate.string() +
                        "' >/dev/null;; esac; echo \"report for $4\" >&2");
        auto view = makeView();
        LaunchItem item = agent("Tool.app", "/Applications/Tool.app");
        item.executablePath = "/Applications/Tool.app/Contents/MacOS/Tool";
        show(*view, item);

        QSignalSpy finished(view.get(), &ServiceDetailView::codesignFinished);
        view->showCodesignInfo(*item.path, ServiceDetailView::Popover::path);
        view->showCodesignInfo(*item.executablePath, ServiceDetailView::Popover::executable);
        QVERIFY(finished.wait());
        const QString executableReport =
            u"report for /Applications/Tool.app/Contents/MacOS/Tool\n"_s;
        QCOMPARE(view->codesignOutput(), executableReport);

        const int writer = ::open(gate.c_str(), O_WRONLY);
        QVERIFY(writer >= 0);
        ::close(writer);
        QVERIFY(finished.wait());
        QCOMPARE(view->codesignOutput(), executableReport);
        QCOMPARE(view->codesignPopover()->text(), executableReport);
    }

    void disabledStateFollowsTheTableEvenWhenTheRecordDoesNot() {
        test::FakeDiscovery discovery;
        LaunchItem item =
            test::makeItem("com.example.off", ServiceStatus::active, LaunchScope::user, 31);
        item.type = ServiceType::launchAgent;
        discovery.setItems(LaunchScope::user, {item});
        AppState state(discovery.loader());
        // Read on the pool, changed only while no load runs.
        std::atomic<bool> disabled = true;
        state.setDisabledLoader([&disabled](LaunchScope) {
            DisabledServices services;
            services.user = DisabledOverrides{{{"com.example.off", disabled.load()}}, {}};
            return services;
        });
        GuiDependencies dependencies;
        dependencies.appState = &state;
        dependencies.clock = std::make_shared<test::ImmediateClock>();
        dependencies.inspectorFactory =
            ServiceDetailView::inspectorFactory(*m_actions, {}, layout());
        dependencies.inspectorUpdater = ServiceDetailView::showInInspector;
        ServiceTableView table(LaunchScope::user, QString(), {}, dependencies);
        QSignalSpy published(&table.viewModel(), &ServiceTableViewModel::itemsChanged);
        table.show();
        QVERIFY(published.wait());
        table.setSelectedIds({QString::fromStdString(item.id())});
        auto* view = qobject_cast<ServiceDetailView*>(table.inspectorContent());
        QVERIFY(view != nullptr);

        const int status = table.tableModel().section(ServiceTableModel::Column::status);
        QVERIFY(table.tableModel().index(0, 0).data(ServiceTableModel::DisabledRole).toBool());
        QCOMPARE(table.tableModel().index(0, 0).data().toString(),
                 u"com.example.off \u2014 Disabled"_s);
        QCOMPARE(table.tableModel().index(0, status).data(Qt::AccessibleTextRole).toString(),
                 u"Active, disabled"_s);
        QCOMPARE(view->disabledState(), std::optional<bool>(true));
        QCOMPARE(text(*view, u"disabledCaption"_s), u"Disabled"_s);
        QCOMPARE(text(*view, u"statusValue"_s), u"Active"_s);
        QCOMPARE(view->actionButtons()->disableButton()->text(), u"Enable"_s);
        QVERIFY(view->actionButtons()->stillRunningNote()->isVisibleTo(view));

        // Enabled elsewhere: the records are equal, the marks still follow.
        disabled = false;
        QSignalSpy changed(&state, &AppState::disabledServicesChanged);
        table.reload();
        QVERIFY(changed.wait());
        QVERIFY(!table.tableModel().index(0, 0).data(ServiceTableModel::DisabledRole).toBool());
        QCOMPARE(table.tableModel().index(0, 0).data().toString(), u"com.example.off"_s);
        QVERIFY(!table.tableModel().index(0, status).data(Qt::AccessibleTextRole).isValid());
        QCOMPARE(table.inspectorContent(), view);
        QCOMPARE(view->disabledState(), std::optional<bool>(false));
        QVERIFY(label(*view, u"disabledCaption"_s) == nullptr);
        QCOMPARE(view->actionButtons()->disableButton()->text(), u"Disable"_s);
        QVERIFY(!view->actionButtons()->stillRunningNote()->isVisibleTo(view));
    }

private:
    HostLayout layout() const {
        return HostLayout(m_root.string(), m_home.string());
    }

    std::unique_ptr<ServiceDetailView>
    makeView(ServiceDetailView::SystemDefaultPredicate isSystemDefault = {}) {
        return std::make_unique<ServiceDetailView>(
            *m_actions,
            RefreshBinding(m_refresh.get(), [counter = m_refresh.get()] { counter->flip(); }),
            std::move(isSystemDefault), layout());
    }

    // Shows the record and waits until its files, if any are to be read, are
    // shown too.
    static void show(ServiceDetailView& view, const LaunchItem& item) {
        QSignalSpy loaded(&view, &ServiceDetailView::detailsLoaded);
        view.setItem(item);
        if (view.isLoading()) {
            QVERIFY(loaded.wait());
        }
    }

    static QLabel* label(ServiceDetailView& view, const QString& name) {
        return view.findChild<QLabel*>(name);
    }

    static QString text(ServiceDetailView& view, const QString& name) {
        QLabel* found = label(view, name);
        return found != nullptr ? found->text() : u"<missing "_s + name + u'>';
    }

    // Asks for the report of one path and waits for the run to come back.
    static QString codesignReport(ServiceDetailView& view, const std::string& target) {
        QSignalSpy finished(&view, &ServiceDetailView::codesignFinished);
        view.showCodesignInfo(target, ServiceDetailView::Popover::path);
        if (!finished.wait(30000)) {
            return u"<no codesign result>"_s;
        }
        return view.codesignOutput();
    }

#ifdef DAEMONARY_HOSTSIM
    void installHostsim(const std::string& state) {
        fs::create_directories(m_root / "usr/bin");
        fs::create_symlink(DAEMONARY_HOSTSIM, m_root / "usr/bin/codesign");
        writeFile(m_root / ".hostsim/state.json", state);
    }
#endif

    QTemporaryDir m_dir;
    fs::path m_root;
    fs::path m_home;
    std::unique_ptr<RecordingWorkspace> m_workspace;
    std::unique_ptr<ServiceActionManager> m_actions;
    std::unique_ptr<RefreshCounter> m_refresh;
};

QTEST_MAIN(ServiceDetailViewTest)
#include "ServiceDetailViewTest.moc"
