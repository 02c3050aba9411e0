#include "updates/Appcast.h"

#include <QXmlStreamReader>
#include <algorithm>

namespace daemonary {

namespace {

// Feeds normally declare the framework's namespace under the "sparkle"
// prefix; any URI of the framework's namespace family is accepted too.
bool isSparkleName(QStringView namespaceUri, QStringView prefix, QStringView name,
                   QStringView wanted) {
    if (name != wanted) {
        return false;
    }
    return prefix == u"sparkle" || namespaceUri.endsWith(u"/xml-namespaces/sparkle");
}

bool isPlainName(QStringView namespaceUri, QStringView name, QStringView wanted) {
    return namespaceUri.isEmpty() && name == wanted;
}

struct ParsedItem {
    AppcastItem item;
    QString elementVersion;
    QString elementShortVersion;
    QString channel;
    QString operatingSystem;
};

void readEnclosure(const QXmlStreamAttributes& attributes, ParsedItem& parsed) {
    for (const QXmlStreamAttribute& attribute : attributes) {
        const QStringView name = attribute.name();
        const QStringView uri = attribute.namespaceUri();
        const QStringView prefix = attribute.prefix();
        if (isPlainName(uri, name, u"url")) {
            parsed.item.downloadUrl = attribute.value().trimmed().toString();
        } else if (isPlainName(uri, name, u"length")) {
            // Feeds often write 0 for "unknown"; a malformed size is no size.
            bool ok = false;
            const qint64 length = attribute.value().trimmed().toLongLong(&ok);
            parsed.item.length = ok && length > 0 ? length : -1;
        } else if (isSparkleName(uri, prefix, name, u"edSignature")) {
            parsed.item.edSignature = attribute.value().trimmed().toString();
        } else if (isSparkleName(uri, prefix, name, u"version")) {
            parsed.item.version = attribute.value().trimmed().toString();
        } else if (isSparkleName(uri, prefix, name, u"shortVersionString")) {
            parsed.item.shortVersion = attribute.value().trimmed().toString();
        } else if (isSparkleName(uri, prefix, name, u"os")) {
            parsed.operatingSystem = attribute.value().trimmed().toString();
        }
    }
}

bool isForThisSystem(const QString& operatingSystem) {
    if (operatingSystem.isEmpty()) {
        return true;
    }
#if defined(Q_OS_MACOS)
    return operatingSystem == u"macos";
#elif defined(Q_OS_WIN)
    return operatingSystem == u"windows";
#else
    return operatingSystem == u"linux";
#endif
}

void finishItem(ParsedItem parsed, std::vector<AppcastItem>& items) {
    // Elements win over the enclosure's attributes, as in current feeds.
    if (!parsed.elementVersion.isEmpty()) {
        parsed.item.version = parsed.elementVersion;
    }
    if (!parsed.elementShortVersion.isEmpty()) {
        parsed.item.shortVersion = parsed.elementShortVersion;
    }
    if (!parsed.item.version.isEmpty() && parsed.channel.isEmpty() &&
        isForThisSystem(parsed.operatingSystem)) {
        items.push_back(std::move(parsed.item));
    }
}

struct VersionComponent {
    QStringView digits; // without leading zeros
    QStringView suffix;
};

VersionComponent splitComponent(QStringView component) {
    qsizetype end = 0;
    while (end < component.size() && component[end].isDigit()) {
        ++end;
    }
    qsizetype start = 0;
    while (start < end && component[start] == u'0') {
        ++start;
    }
    return {component.sliced(start, end - start), component.sliced(end)};
}

int compareComponents(QStringView left, QStringView right) {
    const VersionComponent a = splitComponent(left);
    const VersionComponent b = splitComponent(right);
    // Compared as digit strings so that no number is too long to compare.
    if (a.digits.size() != b.digits.size()) {
        return a.digits.size() < b.digits.size() ? -1 : 1;
    }
    if (const int byDigits = a.digits.compare(b.digits); byDigits != 0) {
        return byDigits < 0 ? -1 : 1;
    }
    if (a.suffix.isEmpty() != b.suffix.isEmpty()) {
        return a.suffix.isEmpty() ? 1 : -1;
    }
    const int bySuffix = a.suffix.compare(b.suffix);
    return bySuffix < 0 ? -1 : (bySuffix > 0 ? 1 : 0);
}

} // namespace

int compareVersions(QStringView left, QStringView right) {
    const auto a = left.trimmed().split(u'.');
    const auto b = right.trimmed().split(u'.');
    const qsizetype count = std::max(a.size(), b.size());
    for (qsizetype i = 0; i < count; ++i) {
        const QStringView x = i < a.size() ? a[i] : QStringView(u"0");
        const QStringView y = i < b.size() ? b[i] : QStringView(u"0");
        if (const int result = compareComponents(x, y); result != 0) {
            return result;
        }
    }
    return 0;
}

std::variant<Appcast, QString> Appcast::parse(const QByteArray& xml) {
    QXmlStreamReader reader(xml);
    Appcast appcast;
    bool sawRoot = false;
    int depth = 0;
    int itemDepth = 0;
    std::optional<ParsedItem> current;

    const auto text = [&reader] {
        return reader.readElementText(QXmlStreamReader::SkipChildElements).trimmed();
    };

    while (!reader.atEnd()) {
        reader.readNext();
        if (reader.isStartElement()) {
            ++depth;
            const QStringView name = reader.name();
            const QStringView uri = reader.namespaceUri();
            const QStringView prefix = reader.prefix();
            if (!sawRoot) {
                if (!isPlainName(uri, name, u"rss")) {
                    return QStringLiteral("not an RSS feed (root element <%1>)")
                        .arg(reader.qualifiedName().toString());
                }
                sawRoot = true;
                continue;
            }
            if (!current) {
                if (isPlainName(uri, name, u"item")) {
                    current.emplace();
                    itemDepth = depth;
                }
                continue;
            }
            if (depth != itemDepth + 1) {
                continue; // only the item's own children describe it
            }
            // readElementText consumes the end element, so these leave depth as it was.
            if (isPlainName(uri, name, u"enclosure")) {
                readEnclosure(reader.attributes(), *current);
            } else if (isPlainName(uri, name, u"title")) {
                current->item.title = text();
                --depth;
            } else if (isPlainName(uri, name, u"link")) {
                current->item.infoUrl = text();
                --depth;
            } else if (isSparkleName(uri, prefix, name, u"version")) {
                current->elementVersion = text();
                --depth;
            } else if (isSparkleName(uri, prefix, name, u"shortVersionString")) {
                current->elementShortVersion = text();
                --depth;
            } else if (isSparkleName(uri, prefix, name, u"channel")) {
                current->channel = text();
                --depth;
            }
        } else if (reader.isEndElement()) {
            if (current && depth == itemDepth) {
                finishItem(std::move(*current), appcast.items);
                current.reset();
            }
            --depth;
        }
    }
    if (reader.hasError()) {
        return QStringLiteral("malformed feed (line %1: %2)")
            .arg(reader.lineNumber())
            .arg(reader.errorString());
    }
    if (!sawRoot) {
        return QStringLiteral("empty feed");
    }
    return appcast;
}

std::optional<AppcastItem> Appcast::newestItem() const {
    const auto newest =
        std::max_element(items.begin(), items.end(), [](const auto& a, const auto& b) {
            return compareVersions(a.version, b.version) < 0;
        });
    if (newest == items.end()) {
        return std::nullopt;
    }
    return *newest;
}

} // namespace daemonary
