#include "window/MainView.h"

#include "actions/Workspace.h"
#include "baseline/BaselineState.h"
#include "insight/SignerChecker.h"
#include "offline/MacDisk.h"
#include "platform/Log.h"
#include "shell/StatusNotices.h"
#include "shell/ToolRunPool.h"
#include "style/ConfirmationPrompt.h"
#include "style/TextStyle.h"
#include "style/ViewStyle.h"
#include "table/AppState.h"
#include "table/CategoryWatcher.h"
#include "table/ServiceTableView.h"
#include "table/ShownText.h"
#include "table/SignerStore.h"
#include "window/DefinitionProblemsDialog.h"
#include "window/SidebarDelegate.h"
#include "window/SidebarModel.h"
#include "window/ToolbarButtonsView.h"

#include <QAction>
#include <QApplication>
#include <QEvent>
#include <QFileDialog>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QShowEvent>
#include <QSplitter>
#include <QStatusBar>
#include <QStyle>
#include <QTableView>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QVBoxLayout>

namespace daemonary {

namespace {
constexpr int kSidebarWidth = 200;
constexpr int kSidebarMinimumWidth = 160;
} // namespace

MainView::MainView(const GuiDependencies& dependencies, QWidget* parent)
    : QMainWindow(parent), m_dependencies(dependencies) {
    Q_ASSERT(m_dependencies.appState != nullptr);
    setObjectName(QStringLiteral("mainView"));
    setWindowTitle(tr("Daemonary"));
    setAccessibleName(tr("Daemonary"));

    m_splitter = new QSplitter(Qt::Horizontal, this);
    m_splitter->setObjectName(QStringLiteral("mainSplitter"));
    m_splitter->setChildrenCollapsible(false);

    // Signers are found in the background once a category has loaded.
    // The store is the source's: a disk shown has its own.
    if (m_dependencies.signers != nullptr) {
        m_dependencies.appState->setSignerStore(m_dependencies.signers);
    }
    connect(m_dependencies.appState, &AppState::scopeLoaded, this, [this](LaunchScope scope) {
        if (m_dependencies.signers == nullptr) {
            return;
        }
        if (const auto* items = m_dependencies.appState->items(scope)) {
            m_dependencies.signers->request(*items);
        }
        // A definition's load can tell the jobs their programs.
        if (const auto* jobs = m_dependencies.appState->items(LaunchScope::mach);
            jobs != nullptr && scope != LaunchScope::mach) {
            m_dependencies.signers->request(*jobs);
        }
    });

    m_sidebarModel = new SidebarModel(*m_dependencies.appState, this);
    auto* sidebarColumn = new QWidget(m_splitter);
    m_sidebarColumn = sidebarColumn;
    sidebarColumn->setObjectName(QStringLiteral("sidebarColumn"));
    auto* sidebarLayout = new QVBoxLayout(sidebarColumn);
    sidebarLayout->setContentsMargins(0, 0, 0, 0);
    sidebarLayout->setSpacing(0);
    m_sidebar = new QListView(sidebarColumn);
    m_sidebar->setObjectName(QStringLiteral("categorySidebar"));
    m_sidebar->setAccessibleName(tr("Categories"));
    m_sidebar->setModel(m_sidebarModel);
    m_sidebar->setItemDelegate(new SidebarDelegate(m_sidebar));
    m_sidebar->setSelectionMode(QAbstractItemView::SingleSelection);
    m_sidebar->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_sidebar->setIconSize(QSize(16, 16));
    m_sidebar->setFrameShape(QFrame::NoFrame);
    m_sidebar->setMinimumWidth(kSidebarMinimumWidth);
    m_sidebar->setAutoFillBackground(true);
    sidebarLayout->addWidget(m_sidebar, 1);
    m_problemsButton = new QPushButton(sidebarColumn);
    m_problemsButton->setObjectName(QStringLiteral("definitionProblemsButton"));
    m_problemsButton->setFlat(true);
    m_problemsButton->setFont(TextStyle::subheadline());
    m_problemsButton->setIcon(style()->standardIcon(QStyle::SP_MessageBoxWarning));
    m_problemsButton->setToolTip(tr("Show the definitions that could not be read"));
    // The sidebar keeps its own minimum width; a long text is elided to fit
    // instead of widening it.
    m_problemsButton->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
    m_problemsButton->installEventFilter(this);
    m_problemsButton->hide();
    sidebarLayout->addWidget(m_problemsButton);
    connect(m_problemsButton, &QPushButton::clicked, this, &MainView::showProblems);
    connect(m_dependencies.appState, &AppState::problemsChanged, this, &MainView::updateProblems);

    m_detail = new QWidget(m_splitter);
    m_detail->setObjectName(QStringLiteral("detailColumn"));
    m_detailLayout = new QVBoxLayout(m_detail);
    m_detailLayout->setContentsMargins(0, 0, 0, 0);
    m_noCategory = new QLabel(tr("Select a category"), m_detail);
    m_noCategory->setObjectName(QStringLiteral("selectCategoryLabel"));
    m_noCategory->setAlignment(Qt::AlignCenter);
    m_detailLayout->addWidget(m_noCategory);

    m_splitter->addWidget(sidebarColumn);
    m_splitter->addWidget(m_detail);
    m_splitter->setStretchFactor(0, 0);
    m_splitter->setStretchFactor(1, 1);
    m_splitter->setSizes({kSidebarWidth, 900});
    auto* central = new QWidget(this);
    central->setObjectName(QStringLiteral("mainContent"));
    auto* centralColumn = new QVBoxLayout(central);
    centralColumn->setContentsMargins(0, 0, 0, 0);
    centralColumn->setSpacing(0);
    m_diskBanner = new QLabel(central);
    m_diskBanner->setObjectName(QStringLiteral("diskBanner"));
    // The root is a folder's name, not markup.
    m_diskBanner->setTextFormat(Qt::PlainText);
    m_diskBanner->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_diskBanner->setAccessibleDescription(tr("Records shown"));
    m_diskBanner->setFont(TextStyle::subheadline());
    m_diskBanner->setMargin(ViewStyle::defaultMargin() / 2);
    m_diskBanner->hide();
    centralColumn->addWidget(m_diskBanner);
    centralColumn->addWidget(m_splitter, 1);
    setCentralWidget(central);

    m_toolbar = new QToolBar(tr("Toolbar"), this);
    m_toolbar->setObjectName(QStringLiteral("mainToolbar"));
    m_toolbar->setAccessibleName(tr("Toolbar"));
    m_toolbar->setMovable(false);
    m_toolbar->setFloatable(false);
    m_toolbar->toggleViewAction()->setEnabled(false);
    m_toolbarButtons = new ToolbarButtonsView(m_toolbar);
    m_toolbar->addWidget(m_toolbarButtons);
    addToolBar(Qt::TopToolBarArea, m_toolbar);

    m_refreshAction = new QAction(tr("Refresh"), this);
    m_refreshAction->setObjectName(QStringLiteral("windowRefreshAction"));
    QList<QKeySequence> keys = QKeySequence::keyBindings(QKeySequence::Refresh);
    for (const QKeySequence& key : {QKeySequence(Qt::Key_F5), QKeySequence(Qt::CTRL | Qt::Key_R)}) {
        if (!keys.contains(key)) {
            keys.append(key);
        }
    }
    m_refreshAction->setShortcuts(keys);
    m_refreshAction->setShortcutContext(Qt::WindowShortcut);
    connect(m_refreshAction, &QAction::triggered, this, [this] {
        if (m_table != nullptr) {
            m_table->reload();
        }
    });
    addAction(m_refreshAction);

    m_findAction = new QAction(tr("Find"), this);
    m_findAction->setObjectName(QStringLiteral("findAction"));
    // QKeySequence::Find is Ctrl+F, and ⌘F on a Mac.
    m_findAction->setShortcuts(QKeySequence::Find);
    m_findAction->setShortcutContext(Qt::WindowShortcut);
    connect(m_findAction, &QAction::triggered, this, [this] {
        QLineEdit* field = m_toolbarButtons->searchLineEdit();
        field->setFocus(Qt::ShortcutFocusReason);
        field->selectAll();
    });
    addAction(m_findAction);
    setUpStatusBar();
    setUpDisk();

    connect(m_toolbarButtons, &ToolbarButtonsView::searchTextChanged, this,
            &MainView::setSearchText);
    connect(m_toolbarButtons, &ToolbarButtonsView::searchFieldLeft, this, [this] {
        QWidget* content = m_table != nullptr ? static_cast<QWidget*>(m_table->tableView())
                                              : static_cast<QWidget*>(m_sidebar);
        content->setFocus(Qt::OtherFocusReason);
    });
    connect(m_sidebar->selectionModel(), &QItemSelectionModel::selectionChanged, this, [this] {
        const QModelIndexList rows = m_sidebar->selectionModel()->selectedRows();
        setSelectedScope(rows.isEmpty() ? std::nullopt
                                        : std::optional(SidebarModel::scopeAt(rows.first().row())));
    });

    m_sidebar->selectionModel()->setCurrentIndex(
        m_sidebarModel->index(SidebarModel::rowOf(*m_selectedScope)),
        QItemSelectionModel::ClearAndSelect);
    setUpBaseline();
    showDetail();
    applyPalette();

    if (m_dependencies.directoriesOf) {
        m_watcher = new CategoryWatcher(m_dependencies.directoriesOf, m_dependencies.clock, this);
        connect(m_watcher, &CategoryWatcher::changed, this, &MainView::reloadChanged);
        connect(this, &MainView::startUpLoadingFinished, m_watcher, [this] {
            // A disk read as evidence does not change under the window.
            if (!m_disk) {
                m_watcher->watch({allScopes().begin(), allScopes().end()});
            }
        });
    }
    m_liveDependencies = m_dependencies;
}

void MainView::setUpDisk() {
    m_openDiskAction = new QAction(tr("Open Mac Disk…"), this);
    m_openDiskAction->setObjectName(QStringLiteral("openDiskAction"));
    m_openDiskAction->setToolTip(
        tr("Show what a Mac's disk or a copy of it holds, read from its files with nothing run"));
    m_openDiskAction->setStatusTip(m_openDiskAction->toolTip());
    connect(m_openDiskAction, &QAction::triggered, this, &MainView::chooseDisk);
    m_showThisMacAction = new QAction(tr("Show This Mac"), this);
    m_showThisMacAction->setObjectName(QStringLiteral("showThisMacAction"));
    m_showThisMacAction->setToolTip(tr("Show what this computer runs again"));
    m_showThisMacAction->setEnabled(false);
    connect(m_showThisMacAction, &QAction::triggered, this, &MainView::showThisMac);
    m_chooseFolder = [](QWidget* parent) {
        return QFileDialog::getExistingDirectory(parent, tr("Open Mac Disk"), QString(),
                                                 QFileDialog::ShowDirsOnly);
    };
}

QString MainView::diskBannerText(const QString& root) {
    return tr("%1 \u2014 read from a disk, nothing was run").arg(root);
}

void MainView::chooseDisk() {
    const QString folder = m_chooseFolder ? m_chooseFolder(this) : QString();
    if (!folder.isEmpty()) {
        openDisk(folder);
    }
}

void MainView::openDisk(const QString& folder) {
    struct Opened {
        std::shared_ptr<const MacDisk> disk;
        QString refusal;
    };
    const std::uint64_t request = ++m_diskRequest;
    showStatus(tr("Opening %1…").arg(folder));
    // Opening reads the disk's user records.
    ToolRunPool::run<Opened>(
        this,
        [path = folder.toStdString()] {
            auto opened = MacDisk::open(path);
            if (auto* refused = std::get_if<MacDiskError>(&opened)) {
                return Opened{nullptr, QString::fromStdString(Log::singleLine(refused->message))};
            }
            return Opened{std::make_shared<const MacDisk>(std::get<MacDisk>(std::move(opened))),
                          QString()};
        },
        [this, request](const Opened& opened) {
            if (request != m_diskRequest) {
                return;
            }
            if (!opened.disk) {
                showStatus(opened.refusal);
                emit diskRefused(opened.refusal);
                return;
            }
            showDisk(opened.disk);
        });
}

void MainView::showDisk(std::shared_ptr<const MacDisk> disk) {
    if (!m_disk) {
        m_livePlanner = m_dependencies.appState->loadPlanner();
        if (m_dependencies.baseline != nullptr) {
            m_liveBaselineLayout = m_dependencies.baseline->layout();
        }
    }
    m_disk = std::move(disk);
    // Signers of the disk's files, from the files: no codesign, and no cache
    // shared with this host's (the same path names another file there).
    SignerStore* previous = m_diskSigners;
    m_diskSigners = new SignerStore(SignerChecker(m_disk->layout()), QString(), this);
    GuiDependencies shown = m_liveDependencies;
    shown.diskRoot = QString::fromStdString(m_disk->root());
    shown.signers = m_diskSigners;
    shown.inspectorFactory = {};
    shown.inspectorUpdater = {};
    if (m_liveDependencies.diskInspector) {
        auto layoutOf = [disk = m_disk](const LaunchItem& item) {
            for (const MacUser& user : disk->users()) {
                if (item.user == user.name) {
                    return disk->layout(&user);
                }
            }
            return disk->layout();
        };
        GuiDependencies::Inspector inspector =
            m_liveDependencies.diskInspector(std::move(layoutOf), m_diskSigners);
        shown.inspectorFactory = std::move(inspector.factory);
        shown.inspectorUpdater = std::move(inspector.updater);
    }
    // Nothing of this host is revealed or watched for the disk's records.
    shown.workspace = nullptr;
    shown.directoriesOf = {};
    if (m_dependencies.baseline != nullptr) {
        BaselineState::Disk evidence{m_disk->root(), {}};
        for (const MacUser& user : m_disk->users()) {
            evidence.users.push_back(user.name);
        }
        m_dependencies.baseline->setLayout(m_disk->layout(), std::move(evidence));
    }
    auto planner = [disk = m_disk](const std::vector<LaunchScope>&) {
        return AppState::DiscoveryLoader([disk](LaunchScope scope) {
            DiscoveredCategory category = disk->loadCategory(scope);
            AppState::Discovery discovery{
                std::move(category.items), std::move(category.problems), {}};
            discovery.disabled =
                DisabledServices::appliesTo(scope) ? disk->disabled() : DisabledServices{};
            return discovery;
        });
    };
    showSource(std::move(shown), std::move(planner));
    if (previous != nullptr) {
        previous->deleteLater();
    }
    const QString root = shownText(m_disk->root());
    m_diskBanner->setText(diskBannerText(root));
    m_diskBanner->setAccessibleName(m_diskBanner->text());
    m_diskBanner->show();
    setWindowTitle(tr("Daemonary \u2014 %1").arg(root));
    m_showThisMacAction->setEnabled(true);
    showStatus(tr("Showing %1, read from its files: nothing on it was run.").arg(root));
    emit diskOpened();
}

void MainView::showThisMac() {
    if (!m_disk) {
        return;
    }
    // An open still running would take the window back to a disk.
    ++m_diskRequest;
    m_disk.reset();
    if (m_dependencies.baseline != nullptr && m_liveBaselineLayout) {
        m_dependencies.baseline->setLayout(*m_liveBaselineLayout);
    }
    showSource(m_liveDependencies, m_livePlanner);
    if (m_diskSigners != nullptr) {
        m_diskSigners->deleteLater();
        m_diskSigners = nullptr;
    }
    m_diskBanner->hide();
    m_diskBanner->clear();
    setWindowTitle(tr("Daemonary"));
    m_showThisMacAction->setEnabled(false);
    showStatus(tr("Showing this computer again."));
}

void MainView::showSource(GuiDependencies dependencies, AppState::LoadPlanner planner) {
    if (m_watcher != nullptr) {
        m_watcher->watch({});
    }
    m_dependencies = std::move(dependencies);
    // Made again on demand, revealing through the new source's workspace.
    if (m_problemsDialog != nullptr) {
        m_problemsDialog->deleteLater();
        m_problemsDialog = nullptr;
    }
    useSigners(m_dependencies.signers);
    m_dependencies.appState->replaceSource(std::move(planner));
    showDetail();
    if (isVisible()) {
        loadStartUpScope(0);
    }
}

void MainView::useSigners(SignerStore* signers) {
    m_dependencies.appState->setSignerStore(signers);
    for (SignerStore* store : {m_liveDependencies.signers, m_diskSigners}) {
        if (store != nullptr) {
            disconnect(store, &SignerStore::pendingChanged, this,
                       &MainView::updateSignatureProgress);
        }
    }
    if (signers != nullptr) {
        connect(signers, &SignerStore::pendingChanged, this, &MainView::updateSignatureProgress);
        signers->setProofWanted(m_hideAppleSigned);
    }
    m_signaturesWaiting = 0;
    updateSignatureProgress();
}

void MainView::setUpStatusBar() {
    QStatusBar* bar = statusBar();
    bar->setObjectName(QStringLiteral("mainStatusBar"));
    bar->setSizeGripEnabled(false);
    // A label of its own rather than a temporary message, which assistive
    // technology does not see.
    m_statusLabel = new QLabel(bar);
    m_statusLabel->setObjectName(QStringLiteral("statusMessage"));
    m_statusLabel->setTextFormat(Qt::PlainText);
    // Read out as what it says, like every value of the window.
    m_statusLabel->setAccessibleDescription(tr("Status"));
    m_statusLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    bar->addWidget(m_statusLabel, 1);
    m_signatureProgress = new QProgressBar(bar);
    m_signatureProgress->setObjectName(QStringLiteral("signatureProgress"));
    m_signatureProgress->setAccessibleName(tr("Checking signatures"));
    m_signatureProgress->setMaximumWidth(160);
    m_signatureProgress->setTextVisible(false);
    m_signatureProgress->hide();
    bar->addPermanentWidget(m_signatureProgress);
    m_statusClear = new QTimer(this);
    m_statusClear->setSingleShot(true);
    m_statusClear->setInterval(std::chrono::seconds(15));
    connect(m_statusClear, &QTimer::timeout, this, [this] {
        m_statusLabel->clear();
        updateSignatureProgress();
    });
    if (m_dependencies.notices != nullptr) {
        connect(m_dependencies.notices, &StatusNotices::posted, this, &MainView::showStatus);
    }
    if (SignerStore* signers = m_dependencies.signers) {
        connect(signers, &SignerStore::pendingChanged, this, &MainView::updateSignatureProgress);
    }
}

QString MainView::statusText() const {
    return m_statusLabel->text();
}

void MainView::showStatus(const QString& text) {
    m_statusLabel->setText(text);
    m_statusClear->start();
}

void MainView::updateSignatureProgress() {
    const int waiting = m_hideAppleSigned && m_dependencies.signers != nullptr
                            ? m_dependencies.signers->pendingCount()
                            : 0;
    if (waiting == 0) {
        const bool wasChecking = m_signaturesWaiting > 0;
        m_signaturesWaiting = 0;
        m_signatureProgress->hide();
        if (wasChecking && m_hideAppleSigned) {
            showStatus(tr("Signatures checked: Apple-signed items are hidden."));
        }
        return;
    }
    m_signaturesWaiting = std::max(m_signaturesWaiting, waiting);
    m_signatureProgress->setRange(0, m_signaturesWaiting);
    m_signatureProgress->setValue(m_signaturesWaiting - waiting);
    m_signatureProgress->show();
    // Until every signature is proven, an Apple item may still be listed.
    const QString text = waiting == 1 ? tr("Checking 1 signature before hiding Apple-signed items…")
                                      : tr("Checking %1 signatures before hiding Apple-signed "
                                           "items…")
                                            .arg(waiting);
    m_statusLabel->setText(text);
    m_signatureProgress->setAccessibleDescription(text);
    m_statusClear->stop();
}

bool MainView::isSidebarShown() const {
    return !m_sidebarColumn->isHidden();
}

void MainView::setSidebarShown(bool shown) {
    if (shown == isSidebarShown()) {
        return;
    }
    m_sidebarColumn->setVisible(shown);
    // The focus does not stay in a column that is gone.
    if (!shown && m_sidebarColumn->isAncestorOf(QApplication::focusWidget())) {
        QWidget* content = m_table != nullptr ? static_cast<QWidget*>(m_table->tableView())
                                              : static_cast<QWidget*>(m_toolbarButtons);
        content->setFocus(Qt::OtherFocusReason);
    }
}

void MainView::setUpBaseline() {
    m_saveBaselineAction = new QAction(tr("Save as Baseline"), this);
    m_saveBaselineAction->setObjectName(QStringLiteral("saveBaselineAction"));
    m_forgetBaselineAction = new QAction(tr("Forget Baseline"), this);
    m_forgetBaselineAction->setObjectName(QStringLiteral("forgetBaselineAction"));
    m_showChangesOnlyAction = new QAction(tr("Show Changes Only"), this);
    m_showChangesOnlyAction->setObjectName(QStringLiteral("showChangesOnlyAction"));
    m_showChangesOnlyAction->setCheckable(true);
    m_showChangesOnlyAction->setToolTip(tr("Show only what changed since the baseline"));

    m_showChangesOnlyButton = new QToolButton(m_toolbar);
    m_showChangesOnlyButton->setObjectName(QStringLiteral("showChangesOnlyButton"));
    m_showChangesOnlyButton->setDefaultAction(m_showChangesOnlyAction);
    m_showChangesOnlyButton->setText(tr("Changes"));
    m_showChangesOnlyButton->setAccessibleName(tr("Show Changes Only"));
    m_showChangesOnlyButton->setToolButtonStyle(Qt::ToolButtonTextOnly);
    m_toolbarButtons->addTrailingWidget(m_showChangesOnlyButton);

    connect(m_saveBaselineAction, &QAction::triggered, this, &MainView::saveBaseline);
    connect(m_forgetBaselineAction, &QAction::triggered, this, &MainView::forgetBaseline);
    connect(m_showChangesOnlyAction, &QAction::toggled, this, &MainView::setChangesOnly);

    BaselineState* baseline = m_dependencies.baseline;
    if (baseline != nullptr) {
        m_sidebarModel->setBaseline(baseline);
        connect(baseline, &BaselineState::baselineChanged, this, &MainView::updateBaselineActions);
        connect(baseline, &BaselineState::idle, this, &MainView::updateBaselineActions);
        connect(baseline, &BaselineState::saveFinished, this, [this, baseline](bool saved) {
            if (saved) {
                showStatus(tr("Saved the baseline of %1: changes from now on are marked.")
                               .arg(baseline->dateText()));
            }
        });
        connect(baseline, &BaselineState::problemOccurred, this, [this](const QString& message) {
            // Not modal: the window goes on working without the baseline.
            auto* box = new QMessageBox(QMessageBox::Warning, tr("Baseline"), message,
                                        QMessageBox::Ok, this);
            box->setObjectName(QStringLiteral("baselineProblemMessage"));
            // The message names files, whose names are not markup.
            box->setTextFormat(Qt::PlainText);
            box->setAttribute(Qt::WA_DeleteOnClose);
            box->open();
        });
    }
    updateBaselineActions();
}

void MainView::updateBaselineActions() {
    const BaselineState* baseline = m_dependencies.baseline;
    const bool has = baseline != nullptr && baseline->hasBaseline();
    m_saveBaselineAction->setEnabled(baseline != nullptr && !baseline->busy());
    m_forgetBaselineAction->setEnabled(has);
    m_showChangesOnlyAction->setEnabled(has);
    // A disabled control says what it waits for.
    const QString hint = has ? tr("Show only what changed since the baseline")
                             : tr("Needs a baseline: save one with File ▸ Save as Baseline");
    m_showChangesOnlyAction->setToolTip(hint);
    m_showChangesOnlyButton->setAccessibleDescription(hint);
    if (!has && m_changesOnly) {
        m_showChangesOnlyAction->setChecked(false);
    }
}

void MainView::saveBaseline() {
    BaselineState* baseline = m_dependencies.baseline;
    if (baseline == nullptr || baseline->busy()) {
        return;
    }
    if (baseline->hasBaseline() &&
        !ConfirmationPrompt::ask(
            this, {tr("Replace the Baseline?"),
                   tr("Replace the baseline of %1 with what is loaded now? Changes since "
                      "%1 will no longer be marked.")
                       .arg(baseline->dateText()),
                   tr("Replace")})) {
        return;
    }
    m_saveBaselineAction->setEnabled(false);
    baseline->save();
}

void MainView::forgetBaseline() {
    BaselineState* baseline = m_dependencies.baseline;
    if (baseline == nullptr || !baseline->hasBaseline() ||
        !ConfirmationPrompt::ask(
            this, {tr("Forget the Baseline?"),
                   tr("Forget the baseline of %1? Changes since %1 will no longer be marked, "
                      "and the saved baseline is deleted.")
                       .arg(baseline->dateText()),
                   tr("Forget")})) {
        return;
    }
    baseline->forget();
}

void MainView::setChangesOnly(bool changesOnly) {
    if (changesOnly == m_changesOnly) {
        return;
    }
    m_changesOnly = changesOnly;
    m_showChangesOnlyAction->setChecked(changesOnly);
    if (m_table != nullptr) {
        m_table->setChangesOnly(changesOnly);
    }
    emit changesOnlyChanged(changesOnly);
}

void MainView::reloadChanged(LaunchScope scope) {
    // The table shown reloads through its own model, so its list follows;
    // the others reload in the background for their counts and marks.
    if (m_table != nullptr && m_table->scope() == scope) {
        m_table->reload();
    } else {
        m_dependencies.appState->loadScope(scope, this);
    }
}

void MainView::changeEvent(QEvent* event) {
    QMainWindow::changeEvent(event);
    if (event->type() == QEvent::PaletteChange) {
        applyPalette();
    }
}

void MainView::applyPalette() {
    // Colours derived from the window's palette, set again when it changes
    // (a switch between light and dark): the children hold them as their own.
    const QPalette own = palette();
    // The banner stands out from the toolbar above it in either appearance.
    QColor tint(255, 149, 0);
    tint.setAlphaF(0.22f);
    m_diskBanner->setStyleSheet(QStringLiteral("QLabel#diskBanner { background-color: %1; }")
                                    .arg(tint.name(QColor::HexArgb)));
    QPalette sidebarPalette = m_sidebar->palette();
    sidebarPalette.setColor(QPalette::Base, own.color(QPalette::Window));
    m_sidebar->setPalette(sidebarPalette);
    QPalette secondaryPalette = m_noCategory->palette();
    secondaryPalette.setColor(QPalette::WindowText, ViewStyle::secondary(own));
    m_noCategory->setPalette(secondaryPalette);
}

void MainView::updateProblems() {
    std::vector<DefinitionProblem> problems = m_dependencies.appState->problems();
    const auto count = static_cast<int>(problems.size());
    const QString text = count == 1 ? tr("1 definition could not be read")
                                    : tr("%1 definitions could not be read").arg(count);
    m_problemsText = text;
    m_problemsButton->setAccessibleName(text);
    elideProblemsText();
    m_problemsButton->setVisible(count > 0);
    if (m_problemsDialog != nullptr) {
        m_problemsDialog->setProblems(std::move(problems));
    }
}

void MainView::elideProblemsText() {
    // Room for the icon, its gap and the button's margins.
    const int room = m_problemsButton->width() - m_problemsButton->iconSize().width() - 14;
    m_problemsButton->setText(
        m_problemsButton->fontMetrics().elidedText(m_problemsText, Qt::ElideRight, room));
}

bool MainView::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_problemsButton && event->type() == QEvent::Resize) {
        elideProblemsText();
    }
    return QMainWindow::eventFilter(watched, event);
}

void MainView::showProblems() {
    if (m_problemsDialog == nullptr) {
        DefinitionProblemsDialog::Reveal reveal;
        if (Workspace* workspace = m_dependencies.workspace) {
            reveal = [workspace](const std::vector<std::string>& paths) {
                workspace->selectFilesInFileManager(paths);
            };
        }
        m_problemsDialog = new DefinitionProblemsDialog(std::move(reveal), this);
    }
    m_problemsDialog->setProblems(m_dependencies.appState->problems());
    m_problemsDialog->show();
    m_problemsDialog->raise();
    m_problemsDialog->activateWindow();
}

MainView::~MainView() = default;

void MainView::setSelectedScope(std::optional<LaunchScope> scope) {
    if (scope == m_selectedScope) {
        return;
    }
    m_selectedScope = scope;
    const QModelIndex wanted =
        scope ? m_sidebarModel->index(SidebarModel::rowOf(*scope)) : QModelIndex();
    if (wanted.isValid()) {
        if (!m_sidebar->selectionModel()->isSelected(wanted)) {
            m_sidebar->selectionModel()->setCurrentIndex(wanted,
                                                         QItemSelectionModel::ClearAndSelect);
        }
    } else if (m_sidebar->selectionModel()->hasSelection()) {
        m_sidebar->selectionModel()->clearSelection();
    }
    showDetail();
    emit selectedScopeChanged();
}

void MainView::setSearchText(const QString& text) {
    if (text == m_searchText) {
        return;
    }
    m_searchText = text;
    m_toolbarButtons->setSearchText(text);
    if (m_table != nullptr) {
        m_table->setSearchText(text);
    }
    m_dependencies.appState->updateCounts(text);
}

void MainView::setHideAppleSigned(bool hide) {
    if (hide == m_hideAppleSigned) {
        return;
    }
    m_hideAppleSigned = hide;
    if (m_dependencies.signers != nullptr) {
        m_dependencies.signers->setProofWanted(hide);
    }
    if (m_table != nullptr) {
        m_table->setHideAppleSigned(hide);
    }
    m_dependencies.appState->setAppleSignedHidden(hide);
    updateSignatureProgress();
}

void MainView::setShowDisabledItems(bool show) {
    if (show == m_showDisabledItems) {
        return;
    }
    m_showDisabledItems = show;
    if (m_table != nullptr) {
        m_table->setShowDisabledItems(show);
    }
}

void MainView::showDetail() {
    // A new table for every category, so selection, sort order and list model
    // start afresh instead of carrying over.
    if (m_table != nullptr) {
        m_table->hide();
        m_table->deleteLater();
        m_table = nullptr;
    }
    m_noCategory->setVisible(!m_selectedScope);
    if (m_refreshAction != nullptr) {
        m_refreshAction->setEnabled(m_selectedScope.has_value());
    }
    if (m_selectedScope) {
        m_table =
            new ServiceTableView(*m_selectedScope, m_searchText, {}, m_dependencies, m_detail);
        m_table->setHideAppleSigned(m_hideAppleSigned);
        m_table->setChangesOnly(m_changesOnly);
        m_table->setShowDisabledItems(m_showDisabledItems);
        m_detailLayout->addWidget(m_table);
        if (isVisible()) {
            m_table->show();
        }
    }
}

void MainView::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    if (!event->spontaneous()) {
        loadStartUpScope(0);
    }
}

void MainView::loadStartUpScope(std::size_t position, AppState::DiscoveryLoader loader) {
    const auto& scopes = allScopes();
    if (position >= scopes.size()) {
        emit startUpLoadingFinished();
        return;
    }
    if (position == 0) {
        // One picture of the host for the whole start-up: its categories
        // agree about what runs, and each tool is asked once.
        loader = m_dependencies.appState->beginLoad(
            std::vector<LaunchScope>(scopes.begin(), scopes.end()));
    }
    m_dependencies.appState->loadScope(scopes[position], loader, this, [this, position, loader] {
        loadStartUpScope(position + 1, loader);
    });
}

} // namespace daemonary
