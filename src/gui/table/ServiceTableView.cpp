#include "table/ServiceTableView.h"

#include "baseline/BaselineState.h"
#include "shell/UserDefaults.h"
#include "style/ContentUnavailableView.h"
#include "style/ViewStyle.h"
#include "table/AppState.h"
#include "table/DisplayName.h"
#include "table/ServiceFilterProxyModel.h"
#include "table/ServiceTableModel.h"
#include "table/ServiceTableViewModel.h"
#include "table/ShownText.h"
#include "table/SignerDelegate.h"
#include "table/SignerStore.h"

#include <QAction>
#include <QEvent>
#include <QGraphicsOpacityEffect>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QMenu>
#include <QProgressBar>
#include <QPropertyAnimation>
#include <QShortcut>
#include <QShowEvent>
#include <QSplitter>
#include <QStyle>
#include <QTableView>
#include <QVBoxLayout>
#include <algorithm>
#include <utility>

namespace daemonary {

namespace {

constexpr int kFadeMilliseconds = 200;
constexpr int kCellPadding = 6;

// Stands in the inspector until a detail pane is plugged in.
QWidget* recordSummary(const LaunchItem& item) {
    auto* summary = new QWidget;
    summary->setObjectName(QStringLiteral("inspectorSummary"));
    auto* layout = new QVBoxLayout(summary);
    auto* name = new QLabel(displayName(shownText(item.label)), summary);
    name->setObjectName(QStringLiteral("inspectorSummaryName"));
    name->setTextFormat(Qt::PlainText);
    name->setFont(ViewStyle::title());
    name->setWordWrap(true);
    name->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(name);
    auto* path = new QLabel(shownText(item.path.value_or(std::string())), summary);
    path->setObjectName(QStringLiteral("inspectorSummaryPath"));
    path->setTextFormat(Qt::PlainText);
    path->setWordWrap(true);
    path->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(path);
    layout->addStretch(1);
    summary->setAccessibleName(name->text());
    return summary;
}

} // namespace

ServiceTableView::ServiceTableView(LaunchScope scope, const QString& searchText,
                                   std::vector<LaunchItem> items,
                                   const GuiDependencies& dependencies, QWidget* parent)
    : QWidget(parent), m_scope(scope), m_searchText(searchText), m_dependencies(dependencies) {
    Q_ASSERT(m_dependencies.appState != nullptr);
    setObjectName(QStringLiteral("serviceTableView"));
    setAccessibleName(tr("Services"));

    m_viewModel = new ServiceTableViewModel(*m_dependencies.appState, std::move(items),
                                            m_dependencies.clock, this);
    m_tableModel = new ServiceTableModel(scope, m_dependencies.isSystemDefault, this,
                                         !m_dependencies.diskRoot.isEmpty());
    m_tableModel->setSignerStore(m_dependencies.signers);
    m_tableModel->setDisabledPredicate(
        [this](const LaunchItem& item) { return disabledState(item).value_or(false); });
    m_tableModel->setItems(m_viewModel->items());
    if (m_dependencies.baseline != nullptr) {
        m_tableModel->setBaseline(m_dependencies.baseline);
        connect(m_dependencies.baseline, &BaselineState::changesChanged, this,
                [this](LaunchScope changed) {
                    if (changed == m_scope) {
                        m_tableModel->refreshChanges();
                        updateInspectorNote();
                    }
                });
    }
    m_proxyModel = new ServiceFilterProxyModel(this);
    m_proxyModel->setSourceModel(m_tableModel);
    m_proxyModel->setSearchText(m_searchText);

    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    m_splitter = new QSplitter(Qt::Horizontal, this);
    m_splitter->setObjectName(QStringLiteral("serviceTableSplitter"));
    m_splitter->setChildrenCollapsible(false);
    layout->addWidget(m_splitter);

    m_tableArea = new QWidget(m_splitter);
    m_tableArea->setObjectName(QStringLiteral("serviceTableArea"));
    auto* areaLayout = new QVBoxLayout(m_tableArea);
    areaLayout->setContentsMargins(0, 0, 0, 0);
    areaLayout->setSpacing(0);
    m_progressStrip = new QWidget(m_tableArea);
    m_progressStrip->setObjectName(QStringLiteral("loadingStrip"));
    m_progressStrip->setFixedHeight(kProgressHeight);
    areaLayout->addWidget(m_progressStrip);
    m_table = new QTableView(m_tableArea);
    areaLayout->addWidget(m_table);
    buildTable();
    buildOverlays(m_tableArea);
    m_tableArea->installEventFilter(this);
    // The rows' top edge moves with the header's height.
    m_table->viewport()->installEventFilter(this);

    // The inspector's width range; its visibility follows the selection only.
    m_inspector = new QWidget(m_splitter);
    m_inspector->setObjectName(QStringLiteral("inspector"));
    m_inspector->setAccessibleName(tr("Inspector"));
    m_inspector->setMinimumWidth(kInspectorMinimumWidth);
    m_inspector->setMaximumWidth(kInspectorMaximumWidth);
    auto* inspectorLayout = new QVBoxLayout(m_inspector);
    inspectorLayout->setContentsMargins(0, 0, 0, 0);
    m_inspector->hide();
    // Escape anywhere in the pane (a popover of its own takes its own
    // Escape first) goes back to the table, where the selection is.
    auto* back = new QShortcut(QKeySequence(Qt::Key_Escape), m_inspector, nullptr, nullptr,
                               Qt::WidgetWithChildrenShortcut);
    back->setObjectName(QStringLiteral("inspectorEscapeShortcut"));
    connect(back, &QShortcut::activated, this,
            [this] { m_table->setFocus(Qt::ShortcutFocusReason); });
    m_splitter->addWidget(m_tableArea);
    m_splitter->addWidget(m_inspector);
    m_splitter->setStretchFactor(0, 1);
    m_splitter->setStretchFactor(1, 0);

    // No keys of its own: the window's Refresh carries them, so that they work
    // wherever the focus is, and two actions never claim one key.
    m_refreshAction = new QAction(tr("Refresh"), this);
    m_refreshAction->setObjectName(QStringLiteral("refreshAction"));
    connect(m_refreshAction, &QAction::triggered, this, &ServiceTableView::reload);
    addAction(m_refreshAction);

    connect(m_viewModel, &ServiceTableViewModel::itemsChanged, this, [this] {
        m_tableModel->setItems(m_viewModel->items());
        fitTypeColumn();
        // The rows in front of the user are checked first.
        if (m_dependencies.signers != nullptr) {
            m_dependencies.signers->request(m_viewModel->items(), true);
        }
        updateInspector();
    });
    connect(m_dependencies.appState, &AppState::disabledServicesChanged, this,
            [this](LaunchScope changed) {
                if (changed == m_scope) {
                    m_tableModel->refreshDisabledMarks();
                    emit disabledStatesChanged();
                }
            });
    connect(m_viewModel, &ServiceTableViewModel::loadingChanged, this,
            &ServiceTableView::updatePlaceholder);
    connect(m_viewModel, &ServiceTableViewModel::shouldShowProgressChanged, this,
            &ServiceTableView::updateProgress);
    for (const auto signal :
         {&QAbstractItemModel::rowsInserted, &QAbstractItemModel::rowsRemoved}) {
        connect(m_proxyModel, signal, this, &ServiceTableView::updatePlaceholder);
    }
    connect(m_proxyModel, &QAbstractItemModel::modelReset, this,
            &ServiceTableView::updatePlaceholder);
    connect(m_proxyModel, &QAbstractItemModel::layoutChanged, this,
            &ServiceTableView::updatePlaceholder);

    updatePlaceholder();
    updateProgress(m_viewModel->shouldShowProgress());
}

ServiceTableView::~ServiceTableView() = default;

void ServiceTableView::buildTable() {
    m_table->setObjectName(QStringLiteral("serviceTable"));
    m_table->setAccessibleName(tr("Services"));
    // Tracking is connected before the view sees the model so that the proxy's
    // "about to change" signals reach it before the selection model reacts.
    connectSelectionTracking();
    m_table->setModel(m_proxyModel);
    connect(m_proxyModel, &QAbstractItemModel::modelReset, this, [this] {
        --m_proxyChanging;
        applySelectionToView();
        updateInspector();
    });
    connect(m_proxyModel, &QAbstractItemModel::layoutChanged, this, [this] {
        --m_proxyChanging;
        applySelectionToView();
        updateInspector();
    });
    connect(m_proxyModel, &QAbstractItemModel::rowsRemoved, this, [this] {
        --m_proxyChanging;
        applySelectionToView();
        updateInspector();
    });
    connect(m_proxyModel, &QAbstractItemModel::rowsInserted, this, [this] {
        --m_proxyChanging;
        applySelectionToView();
        updateInspector();
    });
    connect(m_table->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &ServiceTableView::takeSelectionFromView);

    // Tab moves on to the inspector's controls; arrows move between rows.
    m_table->setTabKeyNavigation(false);
    m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_table->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_table->setContextMenuPolicy(Qt::NoContextMenu);
    m_table->setShowGrid(false);
    m_table->setAlternatingRowColors(true);
    m_table->setWordWrap(false);
    m_table->setTextElideMode(Qt::ElideMiddle);
    m_table->setIconSize(QSize(8, 8));
    m_table->verticalHeader()->hide();
    m_table->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    m_table->verticalHeader()->setDefaultSectionSize(m_table->fontMetrics().height() + 8);

    QHeaderView* header = m_table->horizontalHeader();
    header->setObjectName(QStringLiteral("serviceTableHeader"));
    header->setHighlightSections(false);
    header->setSectionsMovable(false);
    header->setMinimumSectionSize(kColumnMinimumWidth);
    header->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    m_table->setItemDelegateForColumn(m_tableModel->section(ServiceTableModel::Column::signer),
                                      new SignerDelegate(m_table));
    for (int section = 0; section < m_tableModel->columnCount(); ++section) {
        const ServiceTableModel::Column column = m_tableModel->column(section);
        if (column == ServiceTableModel::Column::label) {
            header->setSectionResizeMode(section, QHeaderView::Stretch);
        } else if (column == ServiceTableModel::Column::signer) {
            header->setSectionResizeMode(section, QHeaderView::Interactive);
            header->resizeSection(section, m_signerWidth);
        } else {
            header->setSectionResizeMode(section, QHeaderView::Fixed);
            header->resizeSection(section, neededWidth(column));
        }
    }
    // A width the user drags the signer to is what it gets while there is room.
    connect(header, &QHeaderView::sectionResized, this,
            [this, header](int section, int /*oldSize*/, int newSize) {
                if (m_fittingColumns || header->isSectionHidden(section) ||
                    m_tableModel->column(section) != ServiceTableModel::Column::signer) {
                    return;
                }
                m_signerWidth =
                    std::clamp(newSize, kSignerColumnMinimumWidth, kSignerColumnMaximumWidth);
                if (m_signerWidth != newSize) {
                    header->resizeSection(section, m_signerWidth);
                }
            });

    m_table->setSortingEnabled(true);
    m_table->sortByColumn(m_tableModel->section(ServiceTableModel::Column::label),
                          Qt::AscendingOrder);

    header->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(header, &QHeaderView::customContextMenuRequested, this, [this, header](QPoint at) {
        QMenu* menu = makeColumnsMenu(this);
        menu->setAttribute(Qt::WA_DeleteOnClose);
        menu->popup(header->mapToGlobal(at));
    });
    restoreHiddenColumns();
}

QString ServiceTableView::hiddenColumnsKey() const {
    return QStringLiteral("HiddenColumns/") + QString::fromUtf8(toText(m_scope));
}

void ServiceTableView::restoreHiddenColumns() {
    if (m_dependencies.defaults == nullptr) {
        return;
    }
    const QStringList hidden = m_dependencies.defaults->value(hiddenColumnsKey()).toStringList();
    for (const ServiceTableModel::Column column : m_tableModel->columns()) {
        if (column != ServiceTableModel::Column::label) {
            m_table->setColumnHidden(m_tableModel->section(column),
                                     hidden.contains(ServiceTableModel::key(column)));
        }
    }
}

bool ServiceTableView::isColumnHidden(ServiceTableModel::Column column) const {
    const int section = m_tableModel->section(column);
    return section < 0 || m_table->isColumnHidden(section);
}

void ServiceTableView::setColumnHidden(ServiceTableModel::Column column, bool hidden) {
    const int section = m_tableModel->section(column);
    // The label names the row; without it the table says nothing.
    if (section < 0 || column == ServiceTableModel::Column::label) {
        return;
    }
    m_table->setColumnHidden(section, hidden);
    fitColumns();
    if (m_dependencies.defaults == nullptr) {
        return;
    }
    QStringList keys;
    for (const ServiceTableModel::Column each : m_tableModel->columns()) {
        if (each != ServiceTableModel::Column::label && isColumnHidden(each)) {
            keys.append(ServiceTableModel::key(each));
        }
    }
    m_dependencies.defaults->setValue(hiddenColumnsKey(), keys);
}

QMenu* ServiceTableView::makeColumnsMenu(QWidget* parent) {
    auto* menu = new QMenu(parent);
    menu->setObjectName(QStringLiteral("columnsMenu"));
    menu->setAccessibleName(tr("Columns"));
    for (const ServiceTableModel::Column column : m_tableModel->columns()) {
        if (column == ServiceTableModel::Column::label) {
            continue;
        }
        QAction* action = menu->addAction(ServiceTableModel::title(column));
        action->setObjectName(QStringLiteral("showColumnAction_") + ServiceTableModel::key(column));
        action->setCheckable(true);
        action->setChecked(!isColumnHidden(column));
        connect(action, &QAction::toggled, this,
                [this, column](bool shown) { setColumnHidden(column, !shown); });
    }
    return menu;
}

void ServiceTableView::setHideAppleSigned(bool hide) {
    m_proxyModel->setHideAppleSigned(hide);
    updatePlaceholder();
}

int ServiceTableView::neededWidth(ServiceTableModel::Column column) const {
    using Column = ServiceTableModel::Column;
    const QStyle* style = m_table->style();
    const QHeaderView* header = m_table->horizontalHeader();
    // Title, margins and the sort arrow, which any column may show.
    const int titleWidth =
        header->fontMetrics().horizontalAdvance(ServiceTableModel::title(column)) +
        2 * style->pixelMetric(QStyle::PM_HeaderMargin, nullptr, header) +
        style->pixelMetric(QStyle::PM_HeaderMarkSize, nullptr, header) + kCellPadding;
    int valueWidth = 0;
    switch (column) {
    case Column::pid:
    case Column::index:
        // Process ids reach seven digits on Linux, five on a Mac.
        valueWidth =
            QFontMetrics(ViewStyle::monospacedBody()).horizontalAdvance(QStringLiteral("0000000"));
        break;
    case Column::status:
        for (const ServiceStatus status : {ServiceStatus::active, ServiceStatus::inactive,
                                           ServiceStatus::onDemand, ServiceStatus::unknown}) {
            valueWidth = std::max(valueWidth, m_table->fontMetrics().horizontalAdvance(
                                                  QString::fromUtf8(toText(status))));
        }
        valueWidth += m_table->iconSize().width() + kCellPadding / 2;
        break;
    case Column::type: {
        const QFontMetrics metrics(ViewStyle::caption());
        valueWidth = metrics.horizontalAdvance(QStringLiteral("PLIST"));
        for (int row = 0; row < m_tableModel->rowCount(); ++row) {
            valueWidth = std::max(valueWidth, metrics.horizontalAdvance(ServiceTableModel::typeText(
                                                  m_tableModel->row(row).item.path)));
        }
        return std::clamp(valueWidth + 2 * kCellPadding, std::max(kColumnMinimumWidth, titleWidth),
                          kTypeColumnMaximumWidth);
    }
    case Column::user: {
        const QFontMetrics metrics = m_table->fontMetrics();
        const int section = m_tableModel->section(column);
        for (int row = 0; row < m_tableModel->rowCount(); ++row) {
            valueWidth = std::max(
                valueWidth,
                metrics.horizontalAdvance(m_tableModel->index(row, section).data().toString()));
        }
        return std::clamp(valueWidth + 2 * kCellPadding, std::max(kColumnMinimumWidth, titleWidth),
                          kTypeColumnMaximumWidth);
    }
    case Column::label:
    case Column::signer:
        return kColumnMinimumWidth;
    }
    return std::max({kColumnMinimumWidth, titleWidth, valueWidth + 2 * kCellPadding});
}

void ServiceTableView::fitTypeColumn() {
    // The columns whose width follows the values they hold.
    bool resized = false;
    for (const auto column : {ServiceTableModel::Column::type, ServiceTableModel::Column::user}) {
        const int section = m_tableModel->section(column);
        if (section < 0) {
            continue;
        }
        const int width = neededWidth(column);
        if (m_table->horizontalHeader()->sectionSize(section) != width) {
            m_table->horizontalHeader()->resizeSection(section, width);
            resized = true;
        }
    }
    if (resized) {
        fitColumns();
    }
}

void ServiceTableView::fitColumns() {
    const int signer = m_tableModel->section(ServiceTableModel::Column::signer);
    if (signer < 0 || m_table->isColumnHidden(signer) || m_fittingColumns) {
        return;
    }
    QHeaderView* header = m_table->horizontalHeader();
    int fixed = 0;
    for (int section = 0; section < header->count(); ++section) {
        const ServiceTableModel::Column column = m_tableModel->column(section);
        if (!header->isSectionHidden(section) && column != ServiceTableModel::Column::label &&
            column != ServiceTableModel::Column::signer) {
            fixed += header->sectionSize(section);
        }
    }
    // Label and signer share what is left; the label keeps a little more
    // than half when they cannot both have what they want.
    const int room = m_table->viewport()->width() - fixed;
    const int labelShare = std::max(kLabelMinimumWidth, room * 11 / 20);
    const int width = std::clamp(room - labelShare, kSignerColumnMinimumWidth,
                                 std::max(kSignerColumnMinimumWidth, m_signerWidth));
    m_fittingColumns = true;
    header->resizeSection(signer, width);
    m_fittingColumns = false;
}

void ServiceTableView::buildOverlays(QWidget* area) {
    m_progress = new QProgressBar(m_progressStrip);
    m_progress->setObjectName(QStringLiteral("loadingProgress"));
    m_progress->setAccessibleName(tr("Loading"));
    m_progress->setRange(0, 0);
    m_progress->setTextVisible(false);
    auto* stripLayout = new QVBoxLayout(m_progressStrip);
    stripLayout->setContentsMargins(ViewStyle::defaultMargin(), 0, ViewStyle::defaultMargin(), 0);
    stripLayout->addWidget(m_progress);
    m_progressOpacity = new QGraphicsOpacityEffect(m_progress);
    m_progressOpacity->setOpacity(0.0);
    m_progress->setGraphicsEffect(m_progressOpacity);
    m_progressFade = new QPropertyAnimation(m_progressOpacity, "opacity", this);
    m_progressFade->setDuration(kFadeMilliseconds);
    m_progressFade->setEasingCurve(QEasingCurve::InOutQuad);
    connect(m_progressFade, &QPropertyAnimation::finished, this, [this] {
        if (!m_viewModel->shouldShowProgress()) {
            m_progress->hide();
        }
    });
    m_progress->hide();

    m_placeholder = new ContentUnavailableView(
        tr("No Services Found"), QStringLiteral("magnifyingglass"),
        tr("Try adjusting your filters or checking another scope."), area);
    m_placeholder->setObjectName(QStringLiteral("noServicesPlaceholder"));
    // Clicks still reach the header underneath (sorting an empty table is harmless).
    m_placeholder->setAttribute(Qt::WA_TransparentForMouseEvents);
    m_placeholder->hide();
}

void ServiceTableView::connectSelectionTracking() {
    const auto starting = [this] { ++m_proxyChanging; };
    connect(m_proxyModel, &QAbstractItemModel::modelAboutToBeReset, this, starting);
    connect(m_proxyModel, &QAbstractItemModel::layoutAboutToBeChanged, this, starting);
    connect(m_proxyModel, &QAbstractItemModel::rowsAboutToBeRemoved, this, starting);
    connect(m_proxyModel, &QAbstractItemModel::rowsAboutToBeInserted, this, starting);
}

void ServiceTableView::takeSelectionFromView() {
    if (m_applyingSelection || m_proxyChanging > 0) {
        return;
    }
    QStringList viewIds;
    const QModelIndexList rows = m_table->selectionModel()->selectedRows();
    for (const QModelIndex& index : rows) {
        viewIds.append(index.data(ServiceTableModel::IdRole).toString());
    }
    // Keep the earlier order for ids that stay selected; new ones follow.
    QStringList ids;
    for (const QString& id : std::as_const(m_selectedIds)) {
        if (viewIds.contains(id)) {
            ids.append(id);
        }
    }
    for (const QString& id : std::as_const(viewIds)) {
        if (!ids.contains(id)) {
            ids.append(id);
        }
    }
    setSelectedIdsInternal(std::move(ids));
}

void ServiceTableView::applySelectionToView() {
    if (m_proxyChanging > 0) {
        return;
    }
    QItemSelection selection;
    for (const QString& id : std::as_const(m_selectedIds)) {
        const int sourceRow = m_tableModel->rowForId(id);
        if (sourceRow < 0) {
            continue;
        }
        const QModelIndex proxyIndex =
            m_proxyModel->mapFromSource(m_tableModel->index(sourceRow, 0));
        if (proxyIndex.isValid()) {
            selection.select(proxyIndex, proxyIndex);
        }
    }
    m_applyingSelection = true;
    m_table->selectionModel()->select(selection, QItemSelectionModel::ClearAndSelect |
                                                     QItemSelectionModel::Rows);
    m_applyingSelection = false;
}

void ServiceTableView::setSelectedIds(const QStringList& ids) {
    QStringList unique;
    for (const QString& id : ids) {
        if (!unique.contains(id)) {
            unique.append(id);
        }
    }
    setSelectedIdsInternal(std::move(unique));
    applySelectionToView();
}

void ServiceTableView::setSelectedIdsInternal(QStringList ids) {
    if (ids == m_selectedIds) {
        return;
    }
    m_selectedIds = std::move(ids);
    updateInspector();
    emit selectedIdsChanged();
}

std::optional<LaunchItem> ServiceTableView::selectedRecord() const {
    if (m_selectedIds.isEmpty()) {
        return std::nullopt;
    }
    const int row = m_tableModel->rowForId(m_selectedIds.first());
    if (row < 0) {
        return std::nullopt;
    }
    return m_tableModel->row(row).item;
}

void ServiceTableView::setSearchText(const QString& text) {
    if (text == m_searchText) {
        return;
    }
    m_searchText = text;
    m_proxyModel->setSearchText(text);
    updatePlaceholder();
}

bool ServiceTableView::changesOnly() const {
    return m_proxyModel->changesOnly();
}

void ServiceTableView::setChangesOnly(bool changesOnly) {
    m_proxyModel->setChangesOnly(changesOnly);
    updatePlaceholder();
}

void ServiceTableView::setRefreshTrigger(bool value) {
    if (value == m_refreshTrigger) {
        return;
    }
    m_refreshTrigger = value;
    emit refreshTriggerChanged(m_refreshTrigger);
    reload();
}

void ServiceTableView::reload() {
    m_viewModel->load(m_scope);
}

std::optional<bool> ServiceTableView::disabledState(const LaunchItem& item) const {
    return m_dependencies.appState->isDisabled(item);
}

bool ServiceTableView::showsDisabledItems() const {
    return m_proxyModel->showsDisabled();
}

void ServiceTableView::setShowDisabledItems(bool show) {
    m_proxyModel->setShowDisabled(show);
    updatePlaceholder();
}

bool ServiceTableView::isInspectorShown() const {
    return !m_inspector->isHidden();
}

bool ServiceTableView::isPlaceholderShown() const {
    return !m_placeholder->isHidden();
}

bool ServiceTableView::isProgressShown() const {
    return !m_progress->isHidden();
}

void ServiceTableView::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (event->spontaneous() || m_appeared) {
        return;
    }
    m_appeared = true;
    setSelectedIds({});
    reload();
}

bool ServiceTableView::eventFilter(QObject* watched, QEvent* event) {
    if ((watched == m_tableArea &&
         (event->type() == QEvent::Resize || event->type() == QEvent::Show)) ||
        (watched == m_table->viewport() &&
         (event->type() == QEvent::Resize || event->type() == QEvent::Move))) {
        layoutOverlays();
    }
    if (watched == m_table->viewport() && event->type() == QEvent::Resize) {
        fitColumns();
    }
    return QWidget::eventFilter(watched, event);
}

void ServiceTableView::layoutOverlays() {
    const QRect area = m_tableArea->rect();
    m_placeholder->setGeometry(area);
    m_placeholder->raise();
}

void ServiceTableView::updatePlaceholder() {
    const bool show = !m_viewModel->loading() && m_proxyModel->rowCount() == 0;
    if (show) {
        // Say what hides the rows, so that the user knows what to undo.
        QString title = tr("No Services Found");
        QString description = tr("Try adjusting your filters or checking another scope.");
        using Filter = ServiceFilterProxyModel::Filter;
        const std::optional<Filter> hider = m_proxyModel->hidingFilter();
        switch (hider.value_or(Filter::none)) {
        case Filter::none:
            break;
        case Filter::changesOnly: {
            const BaselineState* baseline = m_dependencies.baseline;
            title = tr("No changes since the baseline of %1")
                        .arg(baseline != nullptr ? baseline->dateText() : QString());
            description = tr("Turn off Show Changes Only to see every item.");
            break;
        }
        case Filter::search:
            title = tr("No Results for “%1”").arg(m_searchText);
            description = tr("Check the spelling or try another search.");
            break;
        case Filter::appleSigned:
            title = tr("Apple-signed items are hidden");
            description = tr("Turn off View ▸ Hide Apple-Signed Items to see them.");
            break;
        case Filter::disabled:
            title = tr("Disabled items are hidden");
            description = tr("Turn on View ▸ Show Disabled Items to see them.");
            break;
        }
        m_placeholder->setTexts(title, description);
    }
    if (show != !m_placeholder->isHidden()) {
        m_placeholder->setVisible(show);
        layoutOverlays();
    }
}

void ServiceTableView::updateProgress(bool show) {
    m_progressFade->stop();
    if (show) {
        m_progress->show();
        layoutOverlays();
        m_progressFade->setStartValue(m_progressOpacity->opacity());
        m_progressFade->setEndValue(1.0);
        m_progressFade->start();
    } else if (!m_progress->isHidden()) {
        m_progressFade->setStartValue(m_progressOpacity->opacity());
        m_progressFade->setEndValue(0.0);
        m_progressFade->start();
    }
}

void ServiceTableView::updateInspector() {
    // The proxy reports before the inspector column is built.
    if (m_proxyChanging > 0 || m_inspector == nullptr) {
        return;
    }
    // A record the filters hide has no live pane: its buttons would act on
    // something the table no longer shows. Its selection is kept for when
    // the filter lets it back. (A record gone from the list shows No
    // Selection instead.)
    const bool show = m_selectedIds.size() == 1 && !isFilteredOut(m_selectedIds.first());
    if (!show) {
        if (m_inspectorContent != nullptr) {
            delete m_inspectorContent;
            m_inspectorContent = nullptr;
            m_inspectedRecord.reset();
        }
        m_inspector->hide();
        return;
    }

    const std::optional<LaunchItem> record = selectedRecord();
    if (m_inspectorContent == nullptr || record != m_inspectedRecord) {
        if (record && m_inspectorContent != nullptr && m_dependencies.inspectorUpdater &&
            m_dependencies.inspectorUpdater(*m_inspectorContent, *record)) {
            m_inspectedRecord = record;
        } else {
            delete m_inspectorContent;
            m_inspectorContent = makeInspectorContent(record);
            m_inspectedRecord = record;
            m_inspector->layout()->addWidget(m_inspectorContent);
        }
    }
    updateInspectorNote();
    if (m_inspector->isHidden()) {
        m_inspector->show();
        const int total = m_splitter->width();
        m_splitter->setSizes({std::max(0, total - kInspectorIdealWidth), kInspectorIdealWidth});
    }
}

void ServiceTableView::updateInspectorNote() {
    if (m_inspectorContent == nullptr || m_selectedIds.size() != 1) {
        return;
    }
    // The content may be any widget; the detail pane declares the properties.
    const int row = m_tableModel->rowForId(m_selectedIds.first());
    const QString note = row < 0 ? QString() : m_tableModel->row(row).changeNote;
    m_inspectorContent->setProperty("baselineNote", note);
    m_inspectorContent->setProperty("removedRecord", row >= 0 && m_tableModel->row(row).removed);
}

bool ServiceTableView::isFilteredOut(const QString& id) const {
    const int row = m_tableModel->rowForId(id);
    return row >= 0 && !m_proxyModel->mapFromSource(m_tableModel->index(row, 0)).isValid();
}

QWidget* ServiceTableView::makeInspectorContent(const std::optional<LaunchItem>& record) {
    QWidget* content = nullptr;
    if (!record) {
        content = new ContentUnavailableView(tr("No Selection"), QStringLiteral("list.bullet"));
        content->setObjectName(QStringLiteral("noSelectionPlaceholder"));
    } else if (m_dependencies.inspectorFactory) {
        content = m_dependencies.inspectorFactory(*record, *this);
    }
    if (content == nullptr) {
        content = recordSummary(*record);
    }
    content->setParent(m_inspector);
    return content;
}

} // namespace daemonary
