#pragma once

#include <QColor>
#include <QIcon>
#include <QString>

namespace daemonary {

// Renders a system symbol name (e.g. "magnifyingglass") from the bundled SVG
// icons, tinted with one colour.
class SymbolIcon {
public:
    // The bundled resource that stands for the symbol, or an empty text for a
    // name that has no icon.
    static QString resourcePath(const QString& symbolName);

    // An icon drawn in the given colour (and in `selectedColor`, when valid, on a
    // selected row); a null icon (and one log line) for an unknown name.
    static QIcon icon(const QString& symbolName, const QColor& color,
                      const QColor& selectedColor = QColor());

    // The same as a pixmap of the given size in points.
    static QPixmap pixmap(const QString& symbolName, const QColor& color, int size,
                          qreal devicePixelRatio = 1.0);
};

} // namespace daemonary
