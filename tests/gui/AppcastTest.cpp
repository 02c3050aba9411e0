#include "updates/Appcast.h"

#include <QTest>

using namespace daemonary;

namespace {

QByteArray feed(const QByteArray& items) {
    return "<?xml version='1.0' encoding='utf-8'?>\n"
           "<rss version='2.0' "
           "xmlns:sparkle='http://www.andymatuschak.org/xml-namespaces/sparkle'>\n"
           "<channel><title>Daemonary</title>" +
           items + "</channel></rss>";
}

Appcast parsed(const QByteArray& xml) {
    auto result = Appcast::parse(xml);
    if (auto* error = std::get_if<QString>(&result)) {
        qWarning("unexpected parse error: %s", qPrintable(*error));
        return {};
    }
    return std::get<Appcast>(result);
}

} // namespace

class AppcastTest : public QObject {
    Q_OBJECT

private slots:
    void compareVersions_data() {
        QTest::addColumn<QString>("left");
        QTest::addColumn<QString>("right");
        QTest::addColumn<int>("expected");
        QTest::newRow("equal") << "1.2.3"
                               << "1.2.3" << 0;
        QTest::newRow("numeric, not textual") << "1.10"
                                              << "1.9" << 1;
        QTest::newRow("missing component is zero") << "1.0"
                                                   << "1.0.0" << 0;
        QTest::newRow("longer and greater") << "1.0.1"
                                            << "1.0" << 1;
        QTest::newRow("leading zeros") << "01.002"
                                       << "1.2" << 0;
        QTest::newRow("pre-release before release") << "2.0b2"
                                                    << "2.0" << -1;
        QTest::newRow("pre-release after previous") << "2.0b2"
                                                    << "1.9" << 1;
        QTest::newRow("huge numbers do not overflow") << "1.184467440737095516170"
                                                      << "1.99" << 1;
        QTest::newRow("surrounding space") << " 3 "
                                           << "3" << 0;
        QTest::newRow("build numbers") << "120"
                                       << "99" << 1;
    }

    void compareVersions() {
        QFETCH(QString, left);
        QFETCH(QString, right);
        QFETCH(int, expected);
        QCOMPARE(daemonary::compareVersions(left, right), expected);
        QCOMPARE(daemonary::compareVersions(right, left), -expected);
    }

    void readsVersionsFromEnclosureAndElements() {
        const Appcast appcast = parsed(feed(
            "\n"
            "<item><title>Old</title>\n"
            "  <enclosure url='https://daemonary.example/Daemonary-1.0.zip' sparkle:version='100'\n"
            "             sparkle:shortVersionString='1.0' length='10' "
            "sparkle:edSignature=' c2lnbmF0dXJl ' type='application/octet-stream'/>\n"
            "</item>\n"
            "<item><title>New</title><link>https://daemonary.example/1.1</link>\n"
            "  <sparkle:version>110</sparkle:version>\n"
            "  <sparkle:shortVersionString>1.1</sparkle:shortVersionString>\n"
            "  <enclosure url='https://daemonary.example/Daemonary-1.1.zip' "
            "sparkle:version='999' length='many'/>\n"
            "</item>"));
        QCOMPARE(appcast.items.size(), std::size_t(2));
        QCOMPARE(appcast.items[0].version, QStringLiteral("100"));
        QCOMPARE(appcast.items[0].shortVersion, QStringLiteral("1.0"));
        QCOMPARE(appcast.items[0].downloadUrl,
                 QStringLiteral("https://daemonary.example/Daemonary-1.0.zip"));
        QCOMPARE(appcast.items[0].length, qint64(10));
        QCOMPARE(appcast.items[0].edSignature, QStringLiteral("c2lnbmF0dXJl"));
        // No usable length and no signature: unknown, not zero or garbage.
        QCOMPARE(appcast.items[1].length, qint64(-1));
        QVERIFY(appcast.items[1].edSignature.isEmpty());
        // The element wins over the enclosure's attribute, wherever it stands.
        QCOMPARE(appcast.items[1].version, QStringLiteral("110"));
        QCOMPARE(appcast.items[1].infoUrl, QStringLiteral("https://daemonary.example/1.1"));
        QCOMPARE(appcast.newestItem()->title, QStringLiteral("New"));
    }

    void leavesOutItemsNotForThisBuild() {
        const Appcast appcast = parsed(
            feed("\n"
                 "<item><title>No version</title><enclosure url='https://x/a.zip'/></item>\n"
                 "<item><title>Beta</title><sparkle:channel>beta</"
                 "sparkle:channel><sparkle:version>9</sparkle:version></item>\n"
                 "<item><title>Other system</title><enclosure url='https://x/b.zip' "
                 "sparkle:os='windows' sparkle:version='8'/></item>\n"
                 "<item><title>Wrapper</title><sparkle:version>2</sparkle:version>\n"
                 "  <description><item><sparkle:version>7</sparkle:version></item></description>\n"
                 "</item>"));
        QCOMPARE(appcast.items.size(), std::size_t(1));
        QCOMPARE(appcast.items[0].title, QStringLiteral("Wrapper"));
        QCOMPARE(appcast.items[0].version, QStringLiteral("2"));
    }

    void newestItemComparesNumerically() {
        const Appcast appcast =
            parsed(feed("\n"
                        "<item><title>a</title><sparkle:version>1.9</sparkle:version></item>\n"
                        "<item><title>b</title><sparkle:version>1.10</sparkle:version></item>\n"
                        "<item><title>c</title><sparkle:version>1.2</sparkle:version></item>"));
        QCOMPARE(appcast.newestItem()->title, QStringLiteral("b"));
        QVERIFY(!parsed(feed("")).newestItem());
    }

    void rejectsWhatIsNotAFeed_data() {
        QTest::addColumn<QByteArray>("xml");
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("html page") << QByteArray("<html><body>Sign in</body></html>");
        QTest::newRow("truncated") << feed("<item><sparkle:version>2</sparkle:version>").left(120);
        QTest::newRow("unclosed item")
            << QByteArray("<rss><channel><item><title>x</title></channel></rss>");
        QTest::newRow("undeclared prefix")
            << QByteArray("<rss><channel><item><sparkle:version>2</sparkle:version></item>"
                          "</channel></rss>");
    }

    void rejectsWhatIsNotAFeed() {
        QFETCH(QByteArray, xml);
        QVERIFY(std::holds_alternative<QString>(Appcast::parse(xml)));
    }
};

QTEST_GUILESS_MAIN(AppcastTest)
#include "AppcastTest.moc"
