#include "style/ContentUnavailableView.h"

#include "style/SymbolIcon.h"
#include "style/ViewStyle.h"

#include <QEvent>
#include <QLabel>
#include <QVBoxLayout>

namespace daemonary {

namespace {
constexpr int kSymbolSize = 40;
}

ContentUnavailableView::ContentUnavailableView(const QString& title, const QString& symbolName,
                                               const QString& description, QWidget* parent)
    : QWidget(parent), m_symbolName(symbolName) {
    auto* layout = new QVBoxLayout(this);
    layout->setAlignment(Qt::AlignCenter);
    layout->setSpacing(8);

    m_symbol = new QLabel(this);
    m_symbol->setObjectName(QStringLiteral("contentUnavailableSymbol"));
    m_symbol->setAlignment(Qt::AlignCenter);
    m_symbol->setAccessibleName(title);
    layout->addWidget(m_symbol);

    m_title = new QLabel(title, this);
    m_title->setObjectName(QStringLiteral("contentUnavailableTitle"));
    m_title->setTextFormat(Qt::PlainText);
    m_title->setAlignment(Qt::AlignCenter);
    m_title->setFont(ViewStyle::title());
    m_title->setTextFormat(Qt::PlainText);
    layout->addWidget(m_title);

    m_description = new QLabel(description, this);
    m_description->setObjectName(QStringLiteral("contentUnavailableDescription"));
    m_description->setTextFormat(Qt::PlainText);
    m_description->setAlignment(Qt::AlignCenter);
    m_description->setWordWrap(true);
    m_description->setTextFormat(Qt::PlainText);
    m_description->setVisible(!description.isEmpty());
    layout->addWidget(m_description);

    setAccessibleName(title);
    applyPalette();
}

void ContentUnavailableView::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() == QEvent::PaletteChange) {
        applyPalette();
    }
}

void ContentUnavailableView::applyPalette() {
    const QColor secondary = ViewStyle::secondary(palette());
    m_symbol->setPixmap(
        SymbolIcon::pixmap(m_symbolName, secondary, kSymbolSize, devicePixelRatioF()));
    m_symbol->setProperty("symbolColor", secondary);
    QPalette descriptionPalette = m_description->palette();
    descriptionPalette.setColor(QPalette::WindowText, secondary);
    m_description->setPalette(descriptionPalette);
}

QString ContentUnavailableView::title() const {
    return m_title->text();
}

void ContentUnavailableView::setTexts(const QString& title, const QString& description) {
    m_title->setText(title);
    m_symbol->setAccessibleName(title);
    setAccessibleName(title);
    m_description->setText(description);
    m_description->setVisible(!description.isEmpty());
}

QString ContentUnavailableView::description() const {
    return m_description->text();
}

} // namespace daemonary
