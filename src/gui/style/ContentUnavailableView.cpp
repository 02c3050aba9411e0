#include "style/ContentUnavailableView.h"

#include "style/SymbolIcon.h"
#include "style/ViewStyle.h"

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

    auto* symbol = new QLabel(this);
    symbol->setObjectName(QStringLiteral("contentUnavailableSymbol"));
    symbol->setAlignment(Qt::AlignCenter);
    symbol->setPixmap(SymbolIcon::pixmap(symbolName, ViewStyle::secondary(palette()), kSymbolSize,
                                         devicePixelRatioF()));
    symbol->setAccessibleName(title);
    layout->addWidget(symbol);

    m_title = new QLabel(title, this);
    m_title->setObjectName(QStringLiteral("contentUnavailableTitle"));
    m_title->setAlignment(Qt::AlignCenter);
    m_title->setFont(ViewStyle::title());
    layout->addWidget(m_title);

    m_description = new QLabel(description, this);
    m_description->setObjectName(QStringLiteral("contentUnavailableDescription"));
    m_description->setAlignment(Qt::AlignCenter);
    m_description->setWordWrap(true);
    QPalette descriptionPalette = m_description->palette();
    descriptionPalette.setColor(QPalette::WindowText, ViewStyle::secondary(palette()));
    m_description->setPalette(descriptionPalette);
    m_description->setVisible(!description.isEmpty());
    layout->addWidget(m_description);

    setAccessibleName(title);
}

QString ContentUnavailableView::title() const {
    return m_title->text();
}

QString ContentUnavailableView::description() const {
    return m_description->text();
}

} // namespace daemonary
