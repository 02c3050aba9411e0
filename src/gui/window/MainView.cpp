#include "window/MainView.h"

#include "style/ViewStyle.h"
#include "table/AppState.h"
#include "table/ServiceTableView.h"
#include "table/SignerStore.h"
#include "window/SidebarDelegate.h"
#include "window/SidebarModel.h"
#include "window/ToolbarButtonsView.h"

#include <QItemSelectionModel>
#include <QLabel>
#include <QListView>
#include <QShowEvent>
#include <QSplitter>
#include <QToolBar>
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
    if (m_dependencies.signers != nullptr) {
        m_dependencies.appState->setSignerStore(m_dependencies.signers);
        connect(m_dependencies.appState, &AppState::scopeLoaded, this, [this](LaunchScope scope) {
            if (const auto* items = m_dependencies.appState->items(scope)) {
                m_dependencies.signers->request(*items);
            }
        });
    }

    m_sidebarModel = new SidebarModel(*m_dependencies.appState, this);
    m_sidebar = new QListView(m_splitter);
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
    QPalette sidebarPalette = m_sidebar->palette();
    sidebarPalette.setColor(QPalette::Base, sidebarPalette.color(QPalette::Window));
    m_sidebar->setPalette(sidebarPalette);

    m_detail = new QWidget(m_splitter);
    m_detail->setObjectName(QStringLiteral("detailColumn"));
    m_detailLayout = new QVBoxLayout(m_detail);
    m_detailLayout->setContentsMargins(0, 0, 0, 0);
    m_noCategory = new QLabel(tr("Select a category"), m_detail);
    m_noCategory->setObjectName(QStringLiteral("selectCategoryLabel"));
    m_noCategory->setAlignment(Qt::AlignCenter);
    QPalette secondaryPalette = m_noCategory->palette();
    secondaryPalette.setColor(QPalette::WindowText, ViewStyle::secondary(palette()));
    m_noCategory->setPalette(secondaryPalette);
    m_detailLayout->addWidget(m_noCategory);

    m_splitter->addWidget(m_sidebar);
    m_splitter->addWidget(m_detail);
    m_splitter->setStretchFactor(0, 0);
    m_splitter->setStretchFactor(1, 1);
    m_splitter->setSizes({kSidebarWidth, 900});
    setCentralWidget(m_splitter);

    m_toolbar = new QToolBar(tr("Toolbar"), this);
    m_toolbar->setObjectName(QStringLiteral("mainToolbar"));
    m_toolbar->setAccessibleName(tr("Toolbar"));
    m_toolbar->setMovable(false);
    m_toolbar->setFloatable(false);
    m_toolbar->toggleViewAction()->setEnabled(false);
    m_toolbarButtons = new ToolbarButtonsView(m_toolbar);
    m_toolbar->addWidget(m_toolbarButtons);
    addToolBar(Qt::TopToolBarArea, m_toolbar);

    connect(m_toolbarButtons, &ToolbarButtonsView::searchTextChanged, this,
            &MainView::setSearchText);
    connect(m_sidebar->selectionModel(), &QItemSelectionModel::selectionChanged, this, [this] {
        const QModelIndexList rows = m_sidebar->selectionModel()->selectedRows();
        setSelectedScope(rows.isEmpty() ? std::nullopt
                                        : std::optional(SidebarModel::scopeAt(rows.first().row())));
    });

    m_sidebar->selectionModel()->setCurrentIndex(
        m_sidebarModel->index(SidebarModel::rowOf(*m_selectedScope)),
        QItemSelectionModel::ClearAndSelect);
    showDetail();
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
    if (m_table != nullptr) {
        m_table->setHideAppleSigned(hide);
    }
    m_dependencies.appState->setAppleSignedHidden(hide);
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
    if (m_selectedScope) {
        m_table =
            new ServiceTableView(*m_selectedScope, m_searchText, {}, m_dependencies, m_detail);
        m_table->setHideAppleSigned(m_hideAppleSigned);
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

void MainView::loadStartUpScope(std::size_t position) {
    const auto& scopes = allScopes();
    if (position >= scopes.size()) {
        emit startUpLoadingFinished();
        return;
    }
    m_dependencies.appState->loadScope(scopes[position], this,
                                       [this, position] { loadStartUpScope(position + 1); });
}

} // namespace daemonary
