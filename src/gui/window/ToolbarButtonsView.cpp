#include "window/ToolbarButtonsView.h"

#include "style/SymbolIcon.h"
#include "style/ViewStyle.h"

#include <QEvent>
#include <QFrame>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QToolButton>

namespace daemonary {

namespace {
constexpr int kSymbolSize = 14;
}

ToolbarButtonsView::ToolbarButtonsView(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("toolbarButtonsView"));
    setAccessibleName(tr("Toolbar"));
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);

    auto* field = new QFrame(this);
    field->setObjectName(QStringLiteral("searchField"));
    field->setAccessibleName(tr("Search"));
    field->setFixedWidth(kSearchFieldWidth);
    field->setStyleSheet(QStringLiteral("QFrame#searchField { border: 1px solid palette(mid); "
                                        "border-radius: 6px; background: palette(base); }"));
    auto* row = new QHBoxLayout(field);
    row->setContentsMargins(8, 4, 8, 4);
    row->setSpacing(4);

    m_searchIcon = new QLabel(field);
    m_searchIcon->setObjectName(QStringLiteral("searchIcon"));
    m_searchIcon->setAccessibleName(tr("Search"));
    row->addWidget(m_searchIcon);

    m_lineEdit = new QLineEdit(field);
    m_lineEdit->setObjectName(QStringLiteral("searchLineEdit"));
    m_lineEdit->setAccessibleName(tr("Search"));
    m_lineEdit->setPlaceholderText(tr("Search"));
    m_lineEdit->setFrame(false);
    m_lineEdit->setAttribute(Qt::WA_MacShowFocusRect, false);
    m_lineEdit->setStyleSheet(
        QStringLiteral("QLineEdit { background: transparent; border: none; }"));
    row->addWidget(m_lineEdit, 1);
    m_lineEdit->installEventFilter(this);

    m_clearButton = new QToolButton(field);
    m_clearButton->setObjectName(QStringLiteral("clearSearchButton"));
    m_clearButton->setAccessibleName(tr("Clear Search"));
    m_clearButton->setToolTip(tr("Clear Search"));
    m_clearButton->setAutoRaise(true);
    m_clearButton->setCursor(Qt::ArrowCursor);
    m_clearButton->setFocusPolicy(Qt::NoFocus);
    m_clearButton->setIconSize(QSize(kSymbolSize, kSymbolSize));
    m_clearButton->setStyleSheet(QStringLiteral("QToolButton { border: none; padding: 0; }"));
    m_clearButton->hide();
    row->addWidget(m_clearButton);

    layout->addWidget(field);
    layout->addStretch(1);
    m_trailing = new QHBoxLayout;
    m_trailing->setContentsMargins(0, 0, 0, 0);
    layout->addLayout(m_trailing);

    connect(m_lineEdit, &QLineEdit::textChanged, this, [this](const QString& text) {
        m_clearButton->setVisible(!text.isEmpty());
        emit searchTextChanged(text);
    });
    connect(m_clearButton, &QToolButton::clicked, this, [this] { setSearchText(QString()); });
    applyPalette();
}

void ToolbarButtonsView::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() == QEvent::PaletteChange) {
        applyPalette();
    }
}

bool ToolbarButtonsView::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_lineEdit && event->type() == QEvent::KeyPress &&
        static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape &&
        static_cast<QKeyEvent*>(event)->modifiers() == Qt::NoModifier) {
        if (m_lineEdit->text().isEmpty()) {
            emit searchFieldLeft();
        } else {
            setSearchText(QString());
        }
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

void ToolbarButtonsView::applyPalette() {
    const QColor secondary = ViewStyle::secondary(palette());
    m_searchIcon->setPixmap(SymbolIcon::pixmap(QStringLiteral("magnifyingglass"), secondary,
                                               kSymbolSize, devicePixelRatioF()));
    m_searchIcon->setProperty("symbolColor", secondary);
    m_clearButton->setIcon(SymbolIcon::icon(QStringLiteral("xmark.circle.fill"), secondary));
}

QString ToolbarButtonsView::searchText() const {
    return m_lineEdit->text();
}

void ToolbarButtonsView::setSearchText(const QString& text) {
    if (text != m_lineEdit->text()) {
        m_lineEdit->setText(text);
    }
}

void ToolbarButtonsView::addTrailingWidget(QWidget* widget) {
    m_trailing->addWidget(widget);
}

} // namespace daemonary
