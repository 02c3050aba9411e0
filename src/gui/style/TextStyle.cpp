#include "style/TextStyle.h"

#include "style/ViewStyle.h"

#include <QApplication>
#include <QEvent>
#include <QPalette>
#include <QTextDocument>
#include <QWidget>

namespace daemonary {

namespace {

QFont scaled(QFont font, double factor) {
    if (font.pointSizeF() > 0) {
        font.setPointSizeF(font.pointSizeF() * factor);
    } else if (font.pixelSize() > 0) {
        font.setPixelSize(qMax(1, qRound(font.pixelSize() * factor)));
    }
    return font;
}

} // namespace

QFont TextStyle::title2() {
    return scaled(ViewStyle::body(), 1.3);
}
QFont TextStyle::headline() {
    return withWeight(ViewStyle::body(), QFont::Bold);
}
QFont TextStyle::subheadline() {
    return scaled(ViewStyle::body(), 0.92);
}
QFont TextStyle::caption2() {
    return scaled(ViewStyle::body(), 0.8);
}
QFont TextStyle::monospacedCaption() {
    return scaled(ViewStyle::monospacedBody(), 0.85);
}

QFont TextStyle::withWeight(QFont font, QFont::Weight weight) {
    font.setWeight(weight);
    return font;
}

void TextStyle::setTextColor(QWidget& widget, const QColor& color) {
    QPalette palette = widget.palette();
    palette.setColor(QPalette::WindowText, color);
    palette.setColor(QPalette::Text, color);
    widget.setPalette(palette);
}

namespace {

// Sets the secondary colour on its widget now and whenever the widget's
// palette changes. The widget's own text colour is then one it holds as its
// own, so the colour is taken from the parent's palette (or the
// application's), never from the widget's.
class SecondaryColor : public QObject {
public:
    static constexpr char kObjectName[] = "secondaryColor";

    explicit SecondaryColor(QWidget& widget) : QObject(&widget), m_widget(widget) {
        setObjectName(QLatin1String(kObjectName));
        widget.installEventFilter(this);
    }

    void apply() {
        m_applying = true;
        const QWidget* parent = m_widget.parentWidget();
        const QPalette base =
            parent != nullptr ? parent->palette() : QApplication::palette(&m_widget);
        TextStyle::setTextColor(m_widget, ViewStyle::secondary(base));
        m_applying = false;
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched == &m_widget && !m_applying &&
            (event->type() == QEvent::PaletteChange || event->type() == QEvent::ParentChange)) {
            apply();
        }
        return QObject::eventFilter(watched, event);
    }

private:
    QWidget& m_widget;
    bool m_applying = false;
};

} // namespace

void TextStyle::setSecondary(QWidget& widget) {
    // The follower is a plain QObject to Qt's lookup, found by its name.
    auto* found = widget.findChild<QObject*>(QLatin1String(SecondaryColor::kObjectName),
                                             Qt::FindDirectChildrenOnly);
    auto* follower =
        found != nullptr ? static_cast<SecondaryColor*>(found) : new SecondaryColor(widget);
    follower->apply();
}

QString TextStyle::plainToolTip(const QString& text) {
    return text.isEmpty() ? QString() : Qt::convertFromPlainText(text, Qt::WhiteSpaceNoWrap);
}

} // namespace daemonary
