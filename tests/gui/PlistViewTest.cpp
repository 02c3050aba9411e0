#include "inspector/PlistView.h"

#include "inspector/DisclosureButton.h"

#include <QApplication>
#include <QLabel>
#include <QSignalSpy>
#include <QTest>

using namespace daemonary;
using namespace Qt::StringLiterals;

namespace {

using Place = PlistView::Place;

PlistValue definition() {
    PlistDictionary root;
    root["ProgramArguments"] = PlistArray{std::string("/usr/bin/agent"), std::string("--verbose")};
    root["Label"] = std::string("com.example.agent");
    root["KeepAlive"] = true;
    root["label"] = std::string("lower");
    root["Sockets"] = PlistDictionary{};
    root["Nested"] = PlistArray{std::int64_t{1}, std::int64_t{2},
                                PlistArray{std::string("a"), std::string("b"), std::string("c")}};
    PlistDictionary inner;
    inner["Deep"] = PlistDictionary{{"Leaf", std::string("x")}};
    root["Outer"] = inner;
    return root;
}

QWidget* header(PlistView& view, const QString& place) {
    for (auto* widget : view.findChildren<QWidget*>(QStringLiteral("plistHeader"))) {
        if (widget->property("place").toString() == place) {
            return widget;
        }
    }
    return nullptr;
}

// A click on the header's title text, as a user would open a container.
void clickHeader(PlistView& view, const QString& place) {
    QWidget* row = header(view, place);
    QVERIFY2(row != nullptr, qPrintable(place));
    auto* title = row->findChild<QLabel*>();
    QVERIFY(title != nullptr);
    QTest::mouseClick(title, Qt::LeftButton);
}

} // namespace

class PlistViewTest : public QObject {
    Q_OBJECT

private slots:
    void rootStartsCollapsedAndShowsItsCount() {
        PlistDictionary twelve;
        for (int index = 0; index < 12; ++index) {
            twelve["key" + std::to_string(index)] = std::int64_t{index};
        }
        PlistView view;
        view.setValue(twelve);
        QCOMPARE(view.displayedRows(), QStringList{u"Plist Content (12 items)"_s});
        auto* title = view.findChild<QLabel*>(QStringLiteral("plistTitle"));
        QVERIFY(title != nullptr);
        QVERIFY(title->font().bold());
        QVERIFY(title->textInteractionFlags() & Qt::TextSelectableByMouse);

        PlistView array;
        array.setValue(PlistArray{std::string("a"), std::string("b")});
        QCOMPARE(array.displayedRows(), QStringList{u"Array (2 items)"_s});
    }

    void membersAreSortedByCodePointAndArraysByIndex() {
        PlistView view;
        PlistValue value = definition();
        view.setValue(value);
        clickHeader(view, QString());
        QCOMPARE(view.displayedRows(), (QStringList{
                                           u"Plist Content (7 items)"_s,
                                           u"  KeepAlive: true"_s,
                                           u"  Label: com.example.agent"_s,
                                           u"  Nested (3 items)"_s,
                                           u"  Outer (1 item)"_s,
                                           u"  ProgramArguments (2 items)"_s,
                                           u"  Sockets (0 items)"_s,
                                           u"  label: lower"_s,
                                       }));

        clickHeader(view, QStringLiteral("ProgramArguments"));
        clickHeader(view, QStringLiteral("Nested"));
        clickHeader(view, QStringLiteral("Sockets"));
        const QStringList rows = view.displayedRows();
        QVERIFY(rows.contains(u"    [0]: /usr/bin/agent"_s));
        QVERIFY(rows.contains(u"    [1]: --verbose"_s));
        QVERIFY(rows.contains(u"    [2] (3 items)"_s));
        // An open empty container shows nothing below itself.
        QCOMPARE(rows.indexOf(u"  Sockets (0 items)"_s) + 1, rows.indexOf(u"  label: lower"_s));

        // Keys beyond ASCII follow code-point order too: "Z" < "a" < "é" < "ž".
        PlistDictionary unicode{{"\xC5\xBE", std::int64_t{1}},
                                {"\xC3\xA9", std::int64_t{2}},
                                {"a", std::int64_t{3}},
                                {"Z", std::int64_t{4}}};
        PlistView other;
        other.setValue(unicode);
        other.setExpanded({}, true);
        QCOMPARE(
            other.displayedRows(),
            (QStringList{u"Plist Content (4 items)"_s, u"  Z: 4"_s, u"  a: 3"_s,
                         QString::fromUtf8("  \xC3\xA9: 2"), QString::fromUtf8("  \xC5\xBE: 1")}));
    }

    void leavesAndCountsUseTheirStyles() {
        PlistView view;
        view.setValue(definition());
        view.setExpanded({}, true);
        auto* value = view.findChild<QLabel*>(QStringLiteral("plistValue"));
        QVERIFY(value != nullptr);
        // The font asked for: which family a machine then picks is its own
        // business (some monospaced ones do not call themselves fixed-pitch).
        QVERIFY(value->font().fixedPitch());
        QCOMPARE(value->font().styleHint(), QFont::Monospace);
        // Secondary texts are drawn dimmed.
        QVERIFY(value->palette().color(QPalette::WindowText).alpha() < 255);
        auto* count = view.findChild<QLabel*>(QStringLiteral("plistCount"));
        QVERIFY(count != nullptr);
        QVERIFY(count->font().pointSizeF() < QApplication::font().pointSizeF());
        QVERIFY(count->palette().color(QPalette::WindowText).alpha() < 255);
        auto* key = view.findChild<QLabel*>(QStringLiteral("plistKey"));
        QCOMPARE(key->font().weight(), QFont::Medium);
    }

    void clickTogglesAndTurnsTheChevron() {
        PlistView view;
        view.setValue(definition());
        QSignalSpy changes(&view, &PlistView::expansionChanged);
        auto* chevron = header(view, QString())->findChild<DisclosureButton*>();
        QCOMPARE(chevron->rotation(), 0);

        clickHeader(view, QString());
        QVERIFY(view.isExpanded({}));
        QCOMPARE(chevron->rotation(), 90);
        QCOMPARE(view.displayedRows().size(), 8);

        // The chevron itself toggles too (keyboard users reach it by tab).
        QTest::mouseClick(chevron, Qt::LeftButton);
        QVERIFY(!view.isExpanded({}));
        QCOMPARE(chevron->rotation(), 0);
        QCOMPARE(view.displayedRows().size(), 1);
        QCOMPARE(changes.count(), 2);
    }

    void closingAParentForgetsItsChildren() {
        PlistView view;
        view.setValue(definition());
        clickHeader(view, QString());
        clickHeader(view, QStringLiteral("Outer"));
        clickHeader(view, QStringLiteral("Outer/Deep"));
        QVERIFY(view.displayedRows().contains(u"      Leaf: x"_s));

        clickHeader(view, QString());
        clickHeader(view, QString());
        QVERIFY(!view.isExpanded({std::string("Outer")}));
        QVERIFY(!view.isExpanded({std::string("Outer"), std::string("Deep")}));
        QVERIFY(view.displayedRows().contains(u"  Outer (1 item)"_s));
        QVERIFY(!view.displayedRows().contains(u"    Deep (1 item)"_s));

        // A child cannot be opened under a closed parent.
        view.setExpanded({}, false);
        view.setExpanded({std::string("Outer")}, true);
        QVERIFY(!view.isExpanded({std::string("Outer")}));
    }

    void anotherValueKeepsTheSharedPlaces() {
        PlistView view;
        view.setValue(definition());
        view.setExpanded({}, true);
        view.setExpanded({std::string("ProgramArguments")}, true);
        view.setExpanded({std::string("Outer")}, true);
        view.setExpanded({std::string("Nested")}, true);
        view.setExpanded({std::string("Nested"), std::size_t{2}}, true);

        PlistDictionary next;
        next["ProgramArguments"] = PlistArray{std::string("/bin/other")};
        next["Outer"] = std::string("now a leaf");
        next["Nested"] = PlistArray{std::int64_t{1}};
        view.setValue(next);

        QVERIFY(view.isExpanded({}));
        QVERIFY(view.isExpanded({std::string("ProgramArguments")}));
        QVERIFY(!view.isExpanded({std::string("Outer")}));
        QVERIFY(view.isExpanded({std::string("Nested")}));
        QVERIFY(!view.isExpanded({std::string("Nested"), std::size_t{2}}));
        QCOMPARE(view.displayedRows(),
                 (QStringList{u"Plist Content (3 items)"_s, u"  Nested (1 item)"_s, u"    [0]: 1"_s,
                              u"  Outer: now a leaf"_s, u"  ProgramArguments (1 item)"_s,
                              u"    [0]: /bin/other"_s}));

        // Once the tree has been dropped, the next value starts collapsed.
        view.clear();
        QVERIFY(view.displayedRows().isEmpty());
        view.setValue(definition());
        QCOMPARE(view.displayedRows(), QStringList{u"Plist Content (7 items)"_s});
    }
};

QTEST_MAIN(PlistViewTest)
#include "PlistViewTest.moc"
