#pragma once

#include <QColor>
#include <QFont>
#include <QString>

class QWidget;

namespace daemonary {

// The text styles the inspector needs beyond ViewStyle's (title 2, headline,
// subheadline, caption 2, monospaced caption), in the same proportions to the
// application font, and small helpers to colour a label.
class TextStyle {
public:
    static QFont title2();
    static QFont headline();
    static QFont subheadline();
    static QFont caption2();
    static QFont monospacedCaption();

    static QFont withWeight(QFont font, QFont::Weight weight);

    // Sets the widget's text colour (QPalette::WindowText and Text).
    static void setTextColor(QWidget& widget, const QColor& color);
    // ViewStyle's secondary colour, from the palette the widget takes from its
    // parent; set again whenever that palette changes (light and dark).
    static void setSecondary(QWidget& widget);

    // A tool tip that shows text from files and tools as it is: Qt reads a
    // tip that looks like markup as rich text, so such text is escaped and
    // marked as rich text on purpose. Empty stays empty (no tip).
    static QString plainToolTip(const QString& text);
};

} // namespace daemonary
