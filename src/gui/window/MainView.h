#pragma once

#include "model/LaunchItem.h"
#include "shell/GuiDependencies.h"
#include "table/AppState.h"

#include <QMainWindow>
#include <QString>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

class QAction;
class QLabel;
class QListView;
class QProgressBar;
class QPushButton;
class QSplitter;
class QTimer;
class QToolBar;
class QToolButton;
class QVBoxLayout;

namespace daemonary {

class CategoryWatcher;
class DefinitionProblemsDialog;
class MacDisk;
class SignerStore;
class ServiceTableView;
class SidebarModel;
class ToolbarButtonsView;

// The main window: the category sidebar with its counts, the service table of
// the selected category and the toolbar with the search field. Loads every
// category once, one after another, when it is first shown.
class MainView : public QMainWindow {
    Q_OBJECT

public:
    explicit MainView(const GuiDependencies& dependencies, QWidget* parent = nullptr);
    ~MainView() override;

    std::optional<LaunchScope> selectedScope() const { return m_selectedScope; }
    void setSelectedScope(std::optional<LaunchScope> scope);

    const QString& searchText() const { return m_searchText; }
    void setSearchText(const QString& text);

    // View ▸ Hide Apple-Signed Items: the tables and the sidebar counts.
    bool hidesAppleSigned() const { return m_hideAppleSigned; }
    void setHideAppleSigned(bool hide);
    // Only records that differ from the baseline, in every category.
    bool changesOnly() const { return m_changesOnly; }
    void setChangesOnly(bool changesOnly);

    // File ▸ Save as Baseline, File ▸ Forget Baseline, View ▸ Show Changes
    // Only (also a toolbar toggle); disabled without a baseline to act on.
    QAction* saveBaselineAction() const { return m_saveBaselineAction; }
    QAction* forgetBaselineAction() const { return m_forgetBaselineAction; }
    QAction* showChangesOnlyAction() const { return m_showChangesOnlyAction; }
    // Saves the loaded categories as the baseline; asks first when that
    // replaces one, naming its date.
    void saveBaseline();
    // Forgets the baseline after asking, naming its date.
    void forgetBaseline();

    // File ▸ Open Mac Disk…: asks for the root folder of a Mac's file system
    // (a mounted image, a copied tree) and shows what it holds, read from
    // its files with nothing run. File ▸ Show This Mac goes back to this
    // host; enabled while a disk is shown.
    QAction* openDiskAction() const { return m_openDiskAction; }
    QAction* showThisMacAction() const { return m_showThisMacAction; }
    // Returns the folder chosen, or an empty text when the user cancelled.
    using FolderChooser = std::function<QString(QWidget* parent)>;
    // The platform's folder dialog unless set.
    void setFolderChooser(FolderChooser chooser) { m_chooseFolder = std::move(chooser); }
    // Opens the folder as a Mac's disk in the background, then shows its
    // records in every category; a folder that is not a Mac's root leaves
    // the window as it was and says why in the status bar.
    void openDisk(const QString& folder);
    // Back to this host's records, watched and acted on as before.
    void showThisMac();
    // The disk shown, or nothing while the window shows this host.
    const MacDisk* shownDisk() const { return m_disk.get(); }
    // Above the categories while a disk is shown: what it is and that
    // nothing was run.
    QLabel* diskBanner() const { return m_diskBanner; }
    static QString diskBannerText(const QString& root);

    // Watches the categories' folders once the start-up loading is done;
    // nothing without GuiDependencies::directoriesOf.
    CategoryWatcher* categoryWatcher() const { return m_watcher; }
    // View > Show Disabled Items, applied to every category's table.
    bool showsDisabledItems() const { return m_showDisabledItems; }
    void setShowDisabledItems(bool show);

    // View ▸ Show Sidebar: the whole column, the categories and the note of
    // unreadable definitions at its foot.
    bool isSidebarShown() const;
    void setSidebarShown(bool shown);
    // Edit ▸ Find (Ctrl+F, ⌘F on a Mac): the focus to the search field.
    QAction* findAction() const { return m_findAction; }

    // The status bar's line: what the window did or could not do ("Saved
    // the baseline", "Cannot reveal ...") and, while Apple-signed items are
    // hidden, how many signatures are still being checked.
    QString statusText() const;
    void showStatus(const QString& text);
    QProgressBar* signatureProgress() const { return m_signatureProgress; }

    // The table of the selected category, or nothing when none is selected.
    ServiceTableView* serviceTable() const { return m_table; }
    ToolbarButtonsView* toolbarButtons() const { return m_toolbarButtons; }
    QToolBar* toolbar() const { return m_toolbar; }
    QListView* sidebar() const { return m_sidebar; }
    // Reloads the selected category. Its keys (F5, Ctrl+R or ⌘R, and the
    // platform's own) work wherever the focus is in the window; View ▸
    // Refresh shows it. Disabled while no category is selected.
    QAction* refreshAction() const { return m_refreshAction; }
    SidebarModel* sidebarModel() const { return m_sidebarModel; }
    // At the foot of the sidebar while definitions could not be read; opens
    // their list (made on first use).
    QPushButton* problemsButton() const { return m_problemsButton; }
    DefinitionProblemsDialog* problemsDialog() const { return m_problemsDialog; }
    void showProblems();

signals:
    void selectedScopeChanged();
    void changesOnlyChanged(bool changesOnly);
    // The start-up sequence has loaded the last category.
    void startUpLoadingFinished();
    // A disk is shown now, its categories loading; or the folder was refused.
    void diskOpened();
    void diskRefused(const QString& message);

protected:
    void showEvent(QShowEvent* event) override;
    void changeEvent(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void showDetail();
    void loadStartUpScope(std::size_t position, AppState::DiscoveryLoader loader = {});
    void setUpBaseline();
    void updateBaselineActions();
    void reloadChanged(LaunchScope scope);
    void applyPalette();
    void updateProblems();
    void elideProblemsText();
    void setUpStatusBar();
    void updateSignatureProgress();
    void setUpDisk();
    void chooseDisk();
    void showDisk(std::shared_ptr<const MacDisk> disk);
    // Shows records from another source: every category reloads through it.
    void showSource(GuiDependencies dependencies, AppState::LoadPlanner planner);
    void useSigners(SignerStore* signers);

    GuiDependencies m_dependencies;
    std::optional<LaunchScope> m_selectedScope = LaunchScope::system;
    QString m_searchText;
    bool m_hideAppleSigned = false;
    bool m_changesOnly = false;
    QToolButton* m_showChangesOnlyButton = nullptr;
    QAction* m_saveBaselineAction = nullptr;
    QAction* m_forgetBaselineAction = nullptr;
    QAction* m_showChangesOnlyAction = nullptr;
    CategoryWatcher* m_watcher = nullptr;
    bool m_showDisabledItems = true;

    SidebarModel* m_sidebarModel = nullptr;
    QListView* m_sidebar = nullptr;
    QPushButton* m_problemsButton = nullptr;
    QString m_problemsText;
    DefinitionProblemsDialog* m_problemsDialog = nullptr;
    QSplitter* m_splitter = nullptr;
    QWidget* m_detail = nullptr;
    QVBoxLayout* m_detailLayout = nullptr;
    ServiceTableView* m_table = nullptr;
    QLabel* m_noCategory = nullptr;
    QToolBar* m_toolbar = nullptr;
    ToolbarButtonsView* m_toolbarButtons = nullptr;
    QAction* m_refreshAction = nullptr;
    QAction* m_findAction = nullptr;
    QWidget* m_sidebarColumn = nullptr;
    QLabel* m_statusLabel = nullptr;
    QProgressBar* m_signatureProgress = nullptr;
    QTimer* m_statusClear = nullptr;
    // The largest number of signatures waiting since the checks began, so
    // the bar fills as they finish.
    int m_signaturesWaiting = 0;

    // What the window was given, for when it shows this host again.
    GuiDependencies m_liveDependencies;
    AppState::LoadPlanner m_livePlanner;
    std::optional<HostLayout> m_liveBaselineLayout;
    std::shared_ptr<const MacDisk> m_disk;
    SignerStore* m_diskSigners = nullptr;
    QAction* m_openDiskAction = nullptr;
    QAction* m_showThisMacAction = nullptr;
    FolderChooser m_chooseFolder;
    QLabel* m_diskBanner = nullptr;
    // The disk opened last; an earlier open that ends later is dropped.
    std::uint64_t m_diskRequest = 0;
};

} // namespace daemonary
