#pragma once

#include "LaunchItem.h"
#include "shell/GuiDependencies.h"

#include <QMainWindow>
#include <QString>
#include <optional>

class QLabel;
class QListView;
class QSplitter;
class QToolBar;
class QVBoxLayout;

namespace daemonary {

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
    // View > Show Disabled Items, applied to every category's table.
    bool showsDisabledItems() const { return m_showDisabledItems; }
    void setShowDisabledItems(bool show);

    // The table of the selected category, or nothing when none is selected.
    ServiceTableView* serviceTable() const { return m_table; }
    ToolbarButtonsView* toolbarButtons() const { return m_toolbarButtons; }
    QToolBar* toolbar() const { return m_toolbar; }
    QListView* sidebar() const { return m_sidebar; }
    SidebarModel* sidebarModel() const { return m_sidebarModel; }

signals:
    void selectedScopeChanged();
    // The start-up sequence has loaded the last category.
    void startUpLoadingFinished();

protected:
    void showEvent(QShowEvent* event) override;

private:
    void showDetail();
    void loadStartUpScope(std::size_t position);

    GuiDependencies m_dependencies;
    std::optional<LaunchScope> m_selectedScope = LaunchScope::system;
    QString m_searchText;
    bool m_hideAppleSigned = false;
    bool m_showDisabledItems = true;

    SidebarModel* m_sidebarModel = nullptr;
    QListView* m_sidebar = nullptr;
    QSplitter* m_splitter = nullptr;
    QWidget* m_detail = nullptr;
    QVBoxLayout* m_detailLayout = nullptr;
    ServiceTableView* m_table = nullptr;
    QLabel* m_noCategory = nullptr;
    QToolBar* m_toolbar = nullptr;
    ToolbarButtonsView* m_toolbarButtons = nullptr;
};

} // namespace daemonary
