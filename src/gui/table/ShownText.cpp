#include "table/ShownText.h"

#include "text/Text.h"

namespace daemonary {

QString shownText(std::string_view bytes) {
    return QString::fromStdString(displayableText(bytes));
}

QString shownText(const QString& text) {
    const QByteArray bytes = text.toUtf8();
    return shownText(std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size())));
}

} // namespace daemonary
