#include "style/SymbolIcon.h"

#include "platform/Log.h"

#include <QFile>
#include <QHash>
#include <QIconEngine>
#include <QPainter>
#include <QPixmap>
#include <QSvgRenderer>
#include <utility>

// The resource is compiled into a static library, so something must pull its
// initialiser in; this must sit outside any namespace.
static void initSymbolResources() {
    Q_INIT_RESOURCE(symbols);
}

namespace daemonary {

namespace {

// System symbol name → lucide icon file.
const QHash<QString, QString>& symbolFiles() {
    static const QHash<QString, QString> files = {
        {QStringLiteral("externaldrive.trianglebadge.exclamationmark"),
         QStringLiteral("hard-drive")},
        {QStringLiteral("gearshape.2"), QStringLiteral("cog")},
        {QStringLiteral("person.circle"), QStringLiteral("circle-user")},
        {QStringLiteral("apple.logo"), QStringLiteral("apple")},
        {QStringLiteral("cpu"), QStringLiteral("cpu")},
        {QStringLiteral("checkmark.seal"), QStringLiteral("badge-check")},
        {QStringLiteral("ellipsis.circle"), QStringLiteral("circle-ellipsis")},
        {QStringLiteral("clock.arrow.circlepath"), QStringLiteral("history")},
        {QStringLiteral("magnifyingglass"), QStringLiteral("search")},
        {QStringLiteral("xmark.circle.fill"), QStringLiteral("circle-x")},
        {QStringLiteral("list.bullet"), QStringLiteral("list")},
        {QStringLiteral("folder"), QStringLiteral("folder")},
        {QStringLiteral("play.fill"), QStringLiteral("play")},
        {QStringLiteral("stop.fill"), QStringLiteral("square")},
        {QStringLiteral("trash"), QStringLiteral("trash-2")},
        {QStringLiteral("info.circle"), QStringLiteral("info")},
        {QStringLiteral("app.dashed"), QStringLiteral("square-dashed")},
        {QStringLiteral("chevron.right"), QStringLiteral("chevron-right")},
        {QStringLiteral("arrow.down.app.dashed"), QStringLiteral("download")},
        {QStringLiteral("checkmark.circle.fill"), QStringLiteral("circle-check")},
        {QStringLiteral("checkmark.circle.dotted"), QStringLiteral("circle-dashed-check")},
    };
    return files;
}

// The SVG text of one file, read from the resource once.
QByteArray svgSource(const QString& resourcePath) {
    static QHash<QString, QByteArray> cache;
    const auto found = cache.constFind(resourcePath);
    if (found != cache.constEnd()) {
        return *found;
    }
    initSymbolResources();
    QFile file(resourcePath);
    QByteArray bytes;
    if (file.open(QIODevice::ReadOnly)) {
        bytes = file.readAll();
    }
    cache.insert(resourcePath, bytes);
    return bytes;
}

class TintedSvgEngine : public QIconEngine {
public:
    TintedSvgEngine(QByteArray svg, QColor color, QColor selectedColor)
        : m_svg(std::move(svg)), m_color(color), m_selectedColor(selectedColor) {}

    void paint(QPainter* painter, const QRect& rect, QIcon::Mode mode,
               QIcon::State /*state*/) override {
        QSvgRenderer renderer(tinted(mode));
        renderer.render(painter, QRectF(rect));
    }

    QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State state) override {
        return scaledPixmap(size, mode, state, 1.0);
    }

    QPixmap scaledPixmap(const QSize& size, QIcon::Mode mode, QIcon::State state,
                         qreal scale) override {
        QPixmap pixmap(size * scale);
        pixmap.fill(Qt::transparent);
        {
            QPainter painter(&pixmap);
            paint(&painter, QRect(QPoint(0, 0), size * scale), mode, state);
        }
        pixmap.setDevicePixelRatio(scale);
        return pixmap;
    }

    QIconEngine* clone() const override {
        return new TintedSvgEngine(m_svg, m_color, m_selectedColor);
    }

    QString key() const override { return QStringLiteral("daemonary-symbol"); }

private:
    QByteArray tinted(QIcon::Mode mode) const {
        QColor color =
            mode == QIcon::Selected && m_selectedColor.isValid() ? m_selectedColor : m_color;
        if (mode == QIcon::Disabled) {
            color.setAlphaF(color.alphaF() * 0.4f);
        }
        QByteArray svg = m_svg;
        svg.replace("currentColor", color.name(QColor::HexRgb).toLatin1());
        if (color.alpha() < 255) {
            const QByteArray opacity =
                " opacity=\"" + QByteArray::number(color.alphaF(), 'f', 3) + "\"";
            svg.replace("<svg", "<svg" + opacity);
        }
        return svg;
    }

    QByteArray m_svg;
    QColor m_color;
    QColor m_selectedColor;
};

} // namespace

QString SymbolIcon::resourcePath(const QString& symbolName) {
    const auto found = symbolFiles().constFind(symbolName);
    if (found == symbolFiles().constEnd()) {
        return {};
    }
    return QStringLiteral(":/symbols/%1.svg").arg(*found);
}

QIcon SymbolIcon::icon(const QString& symbolName, const QColor& color,
                       const QColor& selectedColor) {
    const QString path = resourcePath(symbolName);
    const QByteArray svg = path.isEmpty() ? QByteArray() : svgSource(path);
    if (svg.isEmpty()) {
        Log::line("SymbolIcon: no icon for symbol " + symbolName.toStdString());
        return {};
    }
    return QIcon(new TintedSvgEngine(svg, color, selectedColor));
}

QPixmap SymbolIcon::pixmap(const QString& symbolName, const QColor& color, int size,
                           qreal devicePixelRatio) {
    const QIcon symbol = icon(symbolName, color);
    if (symbol.isNull()) {
        return {};
    }
    QPixmap result(QSize(size, size) * devicePixelRatio);
    result.fill(Qt::transparent);
    {
        QPainter painter(&result);
        symbol.paint(&painter, QRect(0, 0, result.width(), result.height()));
    }
    result.setDevicePixelRatio(devicePixelRatio);
    return result;
}

} // namespace daemonary
