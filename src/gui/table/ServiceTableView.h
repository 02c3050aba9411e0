#pragma once

#include "model/LaunchItem.h"
#include "shell/GuiDependencies.h"
#include "table/ServiceTableModel.h"

#include <QString>
#include <QStringList>
#include <QWidget>
#include <optional>
#include <vector>

class QAction;
class QMenu;
class QGraphicsOpacityEffect;
class QProgressBar;
class QPropertyAnimation;
class QSplitter;
class QTableView;

namespace daemonary {

class ContentUnavailableView;
class ServiceFilterProxyModel;
class ServiceTableViewModel;

// The records of one category: a sortable, multi-selectable table filtered by
// the search text, a progress bar while loading, a placeholder when nothing is
// shown, and an inspector column for a single selected record. The main view
// makes a new one for every category, so its state starts afresh each time.
class ServiceTableView : public QWidget {
    Q_OBJECT
    Q_PROPERTY(bool refreshTrigger READ refreshTrigger WRITE setRefreshTrigger NOTIFY
                   refreshTriggerChanged)

public:
    // The pane opens narrow enough that at 1100×700 the table keeps its
    // label readable; its buttons wrap rather than cut off.
    static constexpr int kInspectorMinimumWidth = 300;
    static constexpr int kInspectorIdealWidth = 360;
    static constexpr int kInspectorMaximumWidth = 600;
    // PID, Status and Index take the width their widest value needs, Type
    // the width of the widest type the category lists (up to its maximum);
    // the label takes what is left once Signed By has had its share, which
    // gives way down to its minimum before the label goes under its own.
    static constexpr int kColumnMinimumWidth = 40;
    static constexpr int kLabelMinimumWidth = 200;
    static constexpr int kTypeColumnMaximumWidth = 160;
    static constexpr int kSignerColumnMinimumWidth = 100;
    static constexpr int kSignerColumnWidth = 260;
    static constexpr int kSignerColumnMaximumWidth = 400;
    // The progress bar: a thin strip of its own above the table, so that it
    // covers neither headers nor rows.
    static constexpr int kProgressHeight = 6;

    ServiceTableView(LaunchScope scope, const QString& searchText, std::vector<LaunchItem> items,
                     const GuiDependencies& dependencies, QWidget* parent = nullptr);
    ~ServiceTableView() override;

    LaunchScope scope() const { return m_scope; }
    const QString& searchText() const { return m_searchText; }
    // Refilters; reloads nothing and keeps the selection, hidden rows included.
    void setSearchText(const QString& text);
    // Shows only the records that differ from the baseline, removed ones too.
    bool changesOnly() const;
    void setChangesOnly(bool changesOnly);

    ServiceTableViewModel& viewModel() const { return *m_viewModel; }
    ServiceTableModel& tableModel() const { return *m_tableModel; }
    ServiceFilterProxyModel& proxyModel() const { return *m_proxyModel; }
    QTableView* tableView() const { return m_table; }
    QProgressBar* progressBar() const { return m_progress; }
    QAction* refreshAction() const { return m_refreshAction; }

    // Selected records by id, in the order they were selected.
    const QStringList& selectedIds() const { return m_selectedIds; }
    void setSelectedIds(const QStringList& ids);
    // The record of the first selected id among all records (shown or not).
    std::optional<LaunchItem> selectedRecord() const;

    // Flipped by an action that changed a service; every change reloads.
    bool refreshTrigger() const { return m_refreshTrigger; }
    void setRefreshTrigger(bool value);

    // Starts a load of the category.
    void reload();

    // Leaves out the rows whose signer is Apple.
    void setHideAppleSigned(bool hide);
    // Shows or hides a column (never the label) and remembers it for the
    // category in the user defaults.
    void setColumnHidden(ServiceTableModel::Column column, bool hidden);
    bool isColumnHidden(ServiceTableModel::Column column) const;
    // The header's menu of columns to show, as the context menu offers it.
    QMenu* makeColumnsMenu(QWidget* parent);
    // What the last load found about the record in launchd's database of
    // disabled services; nothing when unknown.
    std::optional<bool> disabledState(const LaunchItem& item) const;
    // View > Show Disabled Items: off hides records launchd will not start.
    bool showsDisabledItems() const;
    void setShowDisabledItems(bool show);

    bool isInspectorShown() const;
    // The widget now in the inspector column, or nothing while it is hidden.
    QWidget* inspectorContent() const { return m_inspectorContent; }
    bool isPlaceholderShown() const;
    bool isProgressShown() const;

signals:
    void refreshTriggerChanged(bool refreshTrigger);
    void selectedIdsChanged();
    // The disabled state of this category changed, whether or not its records did.
    void disabledStatesChanged();

protected:
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void buildTable();
    void restoreHiddenColumns();
    QString hiddenColumnsKey() const;
    void buildOverlays(QWidget* area);
    void connectSelectionTracking();
    void takeSelectionFromView();
    void applySelectionToView();
    void setSelectedIdsInternal(QStringList ids);
    void updateInspector();
    void updatePlaceholder();
    void updateProgress(bool show);
    void layoutOverlays();
    // The width a fixed column needs for its title and its widest value.
    int neededWidth(ServiceTableModel::Column column) const;
    // Shares the viewport's width between the label and the signer.
    void fitColumns();
    // The Type and User columns as wide as their widest values.
    void fitTypeColumn();
    QWidget* makeInspectorContent(const std::optional<LaunchItem>& record);
    void updateInspectorNote();
    // The record is listed, but the filters hide its row.
    bool isFilteredOut(const QString& id) const;

    LaunchScope m_scope;
    QString m_searchText;
    GuiDependencies m_dependencies;
    ServiceTableViewModel* m_viewModel = nullptr;
    ServiceTableModel* m_tableModel = nullptr;
    ServiceFilterProxyModel* m_proxyModel = nullptr;

    QSplitter* m_splitter = nullptr;
    QWidget* m_tableArea = nullptr;
    QTableView* m_table = nullptr;
    QWidget* m_progressStrip = nullptr;
    QProgressBar* m_progress = nullptr;
    QGraphicsOpacityEffect* m_progressOpacity = nullptr;
    QPropertyAnimation* m_progressFade = nullptr;
    ContentUnavailableView* m_placeholder = nullptr;
    QWidget* m_inspector = nullptr;
    QWidget* m_inspectorContent = nullptr;
    std::optional<LaunchItem> m_inspectedRecord;
    QAction* m_refreshAction = nullptr;

    QStringList m_selectedIds;
    bool m_refreshTrigger = false;
    bool m_appeared = false;
    // Selection changes that the proxy causes (filtering, sorting, resets) are
    // not the user's: they must not drop the ids of rows that were only hidden.
    int m_proxyChanging = 0;
    bool m_applyingSelection = false;
    // What the signer column gets when there is room: its default, or the
    // width the user last dragged it to.
    int m_signerWidth = kSignerColumnWidth;
    bool m_fittingColumns = false;
};

} // namespace daemonary
