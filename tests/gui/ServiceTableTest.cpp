#include "TestSupport.h"
#include "style/ViewStyle.h"
#include "table/DisplayName.h"
#include "table/NaturalCompare.h"
#include "table/ServiceFilterProxyModel.h"
#include "table/ServiceTableModel.h"
#include "table/SignerStore.h"

#include <QAbstractItemModelTester>
#include <QFont>
#include <QGuiApplication>
#include <QPixmap>
#include <QSignalSpy>
#include <QTest>
#include <algorithm>
#include <set>

using namespace daemonary;
using namespace daemonary::test;

namespace {

QStringList titles(const ServiceTableModel& model) {
    QStringList result;
    for (int section = 0; section < model.columnCount(); ++section) {
        result.append(model.headerData(section, Qt::Horizontal).toString());
    }
    return result;
}

// The shown column of the proxy, top to bottom.
QStringList column(const QAbstractItemModel& model, int section, int role = Qt::DisplayRole) {
    QStringList result;
    for (int row = 0; row < model.rowCount(); ++row) {
        result.append(model.index(row, section).data(role).toString());
    }
    return result;
}

} // namespace

class ServiceTableTest : public QObject {
    Q_OBJECT

private slots:
    void naturalCompareOrdersNumbersByValueAndIgnoresCase() {
        QVERIFY(naturalCompare(u"item2", u"item10") < 0);
        QVERIFY(naturalCompare(u"item10", u"item2") > 0);
        QVERIFY(naturalCompare(u"File9.txt", u"file10.txt") < 0);
        QCOMPARE(naturalCompare(u"com.Apple.X", u"COM.apple.x"), 0);
        QVERIFY(naturalCompare(u"abc", u"ABD") < 0);
        QVERIFY(naturalCompare(u"", u"a") < 0);
        QVERIFY(naturalCompare(u"a", u"a1") < 0);
        QVERIFY(naturalCompare(u"v1.2.10", u"v1.2.9") > 0);
        // Numbers longer than any integer type still compare by value.
        QVERIFY(naturalCompare(u"n99999999999999999999", u"n100000000000000000000") < 0);
        // Leading zeros only break ties, so the order stays total and consistent.
        QVERIFY(naturalCompare(u"x7", u"x07") != 0);
        QCOMPARE(naturalCompare(u"x7", u"x07"), -naturalCompare(u"x07", u"x7"));
        QVERIFY(naturalCompare(u"x07", u"x8") < 0);

        const QStringList sample = {u"a10"_qs, u"A2"_qs, u"a02"_qs, u"b"_qs, u"B1"_qs,
                                    u"_x"_qs,  u"10"_qs, u"9"_qs,   u""_qs};
        for (const QString& a : sample) {
            for (const QString& b : sample) {
                QCOMPARE(naturalCompare(a, b) < 0, naturalCompare(b, a) > 0);
                for (const QString& c : sample) {
                    if (naturalCompare(a, b) < 0 && naturalCompare(b, c) < 0) {
                        QVERIFY(naturalCompare(a, c) < 0);
                    }
                }
            }
        }
    }

    void displayNameDropsPlistThenApp() {
        QCOMPARE(displayName(u"com.example.agent.plist"_qs), u"com.example.agent"_qs);
        QCOMPARE(displayName(u"Mail.app"_qs), u"Mail"_qs);
        QCOMPARE(displayName(u"Helper.app.plist"_qs), u"Helper"_qs);
        QCOMPARE(displayName(u"Helper.plist.app"_qs), u"Helper.plist"_qs);
        QCOMPARE(displayName(u"Shouting.APP"_qs), u"Shouting.APP"_qs);
        QCOMPARE(displayName(u"Odd.PLIST"_qs), u"Odd.PLIST"_qs);
        QCOMPARE(displayName(u".plist"_qs), QString());
    }

    void columnsDependOnTheCategory() {
        const QStringList launchColumns = {u"Label"_qs, u"PID"_qs, u"Status"_qs, u"Signed By"_qs};
        for (const LaunchScope scope : allScopes()) {
            ServiceTableModel model(scope);
            QAbstractItemModelTester tester(&model);
            if (scope == LaunchScope::others) {
                QCOMPARE(titles(model), (QStringList{u"Label"_qs, u"Type"_qs, u"Signed By"_qs}));
            } else if (scope == LaunchScope::kernel) {
                QCOMPARE(titles(model),
                         (QStringList{u"Label"_qs, u"Index"_qs, u"Status"_qs, u"Signed By"_qs}));
            } else if (scope == LaunchScope::mach) {
                // Job-table entries have no executable to sign-check.
                QCOMPARE(titles(model), (QStringList{u"Label"_qs, u"PID"_qs, u"Status"_qs}));
            } else {
                QCOMPARE(titles(model), launchColumns);
            }
        }
    }

    void cellsCarryTheirTextsAndStyles() {
        ServiceTableModel model(LaunchScope::system, [](const LaunchItem& item) {
            return item.label == "com.apple.default.plist";
        });
        QAbstractItemModelTester tester(&model);
        model.setItems(
            {makeItem("com.apple.default.plist", ServiceStatus::active, LaunchScope::system, 7),
             makeItem("idle.app", ServiceStatus::inactive),
             makeItem("running", ServiceStatus::active, LaunchScope::system, 42)});
        const QPalette palette = QGuiApplication::palette();

        QCOMPARE(model.index(0, 0).data().toString(), u"com.apple.default"_qs);
        QCOMPARE(model.index(0, 0).data(Qt::ForegroundRole).value<QColor>(),
                 ViewStyle::tertiary(palette));
        QCOMPARE(model.index(1, 0).data().toString(), u"idle"_qs);
        QCOMPARE(model.index(1, 0).data(Qt::ForegroundRole).value<QColor>(),
                 ViewStyle::secondary(palette));
        QVERIFY(!model.index(2, 0).data(Qt::ForegroundRole).isValid());

        // PID: monospaced number, or a tertiary dash.
        QCOMPARE(model.index(2, 1).data().toString(), u"42"_qs);
        QCOMPARE(model.index(2, 1).data(Qt::FontRole).value<QFont>(), ViewStyle::monospacedBody());
        QCOMPARE(model.index(1, 1).data().toString(), u"-"_qs);
        QCOMPARE(model.index(1, 1).data(Qt::ForegroundRole).value<QColor>(),
                 ViewStyle::tertiary(palette));

        // Status: the text with an 8-point dot, green only when active.
        QCOMPARE(model.index(1, 2).data().toString(), u"Inactive"_qs);
        const QPixmap activeDot = model.index(2, 2).data(Qt::DecorationRole).value<QPixmap>();
        const QPixmap idleDot = model.index(1, 2).data(Qt::DecorationRole).value<QPixmap>();
        QCOMPARE(activeDot.deviceIndependentSize(), QSizeF(8, 8));
        QCOMPARE(activeDot.toImage().pixelColor(activeDot.width() / 2, activeDot.height() / 2),
                 ViewStyle::activeGreen());
        QCOMPARE(idleDot.toImage().pixelColor(idleDot.width() / 2, idleDot.height() / 2),
                 ViewStyle::inactiveGray());
    }

    // A process that only carries the record's name: the cell says it is a
    // guess and the row is not shown as running.
    void aPidFoundByNameIsAGuessNotARunningJob() {
        ServiceTableModel model(LaunchScope::user, {});
        QAbstractItemModelTester tester(&model);
        LaunchItem guessed = makeItem("decoy", ServiceStatus::unknown, LaunchScope::user, 4242);
        guessed.pidSource = PidSource::processName;
        model.setItems({guessed});
        QCOMPARE(model.index(0, 1).data().toString(), u"4242?"_qs);
        QCOMPARE(model.index(0, 2).data().toString(), u"Unknown"_qs);
        QVERIFY(!ServiceTableModel::isActive(guessed));
        guessed.pidSource = PidSource::launchd;
        QVERIFY(ServiceTableModel::isActive(guessed));
    }

    void kernelAndOthersCells() {
        ServiceTableModel kernel(LaunchScope::kernel);
        LaunchItem loaded =
            makeItem("com.example.kext", ServiceStatus::active, LaunchScope::kernel);
        loaded.index = 12;
        kernel.setItems(
            {loaded, makeItem("unloaded", ServiceStatus::inactive, LaunchScope::kernel)});
        QCOMPARE(column(kernel, 1), (QStringList{u"12"_qs, u"-"_qs}));
        // A loaded extension has no PID, yet is drawn as active is everywhere.
        ServiceTableModel system(LaunchScope::system);
        system.setItems({makeItem("running", ServiceStatus::active, LaunchScope::system, 42)});
        QCOMPARE(kernel.index(0, 0).data(Qt::ForegroundRole),
                 system.index(0, 0).data(Qt::ForegroundRole));
        QVERIFY(kernel.index(1, 0).data(Qt::ForegroundRole).isValid());
        const auto dot = [](const ServiceTableModel& model, int row) {
            const int status = model.section(ServiceTableModel::Column::status);
            return model.index(row, status).data(Qt::DecorationRole).value<QPixmap>().cacheKey();
        };
        QCOMPARE(dot(kernel, 0), dot(system, 0));
        QVERIFY(dot(kernel, 1) != dot(system, 0));

        QCOMPARE(
            ServiceTableModel::typeText(std::string("/Library/Internet Plug-Ins/Flash.plugin")),
            u"PLUGIN"_qs);
        QCOMPARE(ServiceTableModel::typeText(std::string("/Library/Audio/Plug-Ins/HAL/x.driver/")),
                 u"DRIVER"_qs);
        QCOMPARE(ServiceTableModel::typeText(std::string("/Library/Some.dir/noextension")),
                 QString());
        QCOMPARE(ServiceTableModel::typeText(std::nullopt), u"-"_qs);
    }

    // The class always comes with the names: an "Unknown" signature that
    // carries an organisation's names must not read like a Developer ID.
    void signerCellsShowTheOrganisationAfterTheClass_data() {
        QTest::addColumn<int>("kind");
        QTest::addColumn<QString>("organization");
        QTest::addColumn<QString>("team");
        QTest::addColumn<QString>("prefix");
        QTest::addColumn<QString>("name");
        QTest::newRow("developer ID") << int(SignerKind::developerId) << "Northwind Traders"
                                      << "N7W4D2TR8S"
                                      << "Developer ID"
                                      << "Northwind Traders (N7W4D2TR8S)";
        QTest::newRow("no names: the class alone") << int(SignerKind::apple) << ""
                                                   << ""
                                                   << ""
                                                   << "Apple";
        QTest::newRow("names on an unknown signature")
            << int(SignerKind::unknown) << "Northwind Traders"
            << "N7W4D2TR8S"
            << "Unknown"
            << "Northwind Traders (N7W4D2TR8S)";
    }

    void signerCellsShowTheOrganisationAfterTheClass() {
        QFETCH(int, kind);
        QFETCH(QString, organization);
        QFETCH(QString, team);
        QFETCH(QString, prefix);
        QFETCH(QString, name);
        const Signer signer{
            static_cast<SignerKind>(kind), organization.toStdString(), team.toStdString(), "", {}};
        QCOMPARE(ServiceTableModel::signerParts(signer), std::make_pair(prefix, name));
    }

    void sortsByTheRecordsKeys() {
        ServiceTableModel model(LaunchScope::system);
        ServiceFilterProxyModel proxy;
        proxy.setSourceModel(&model);
        QAbstractItemModelTester tester(&proxy);
        model.setItems({makeItem("svc10", ServiceStatus::active, LaunchScope::system, 300),
                        makeItem("Svc2.plist", ServiceStatus::inactive),
                        makeItem("svc1", ServiceStatus::active, LaunchScope::system, 5),
                        makeItem("svc3", ServiceStatus::onDemand)});

        proxy.sort(0, Qt::AscendingOrder);
        QCOMPARE(column(proxy, 0), (QStringList{u"svc1"_qs, u"Svc2"_qs, u"svc3"_qs, u"svc10"_qs}));

        // Not running (key -1) first, then by PID as a number.
        proxy.sort(1, Qt::AscendingOrder);
        QCOMPARE(column(proxy, 1), (QStringList{u"-"_qs, u"-"_qs, u"5"_qs, u"300"_qs}));
        proxy.sort(1, Qt::DescendingOrder);
        QCOMPARE(column(proxy, 1).first(), u"300"_qs);
        QCOMPARE(column(proxy, 1).last(), u"-"_qs);

        proxy.sort(2, Qt::AscendingOrder);
        QCOMPARE(column(proxy, 2),
                 (QStringList{u"Active"_qs, u"Active"_qs, u"Inactive"_qs, u"On Demand"_qs}));
    }

    void tiesFollowLabelThenPathWhateverTheArrivalOrder() {
        ServiceTableModel model(LaunchScope::system);
        ServiceFilterProxyModel proxy;
        proxy.setSourceModel(&model);
        QAbstractItemModelTester tester(&proxy);
        auto idle = [](const std::string& label, const std::string& path) {
            return makeItem(label, ServiceStatus::inactive, LaunchScope::system, std::nullopt,
                            std::nullopt, path);
        };
        std::vector<LaunchItem> items = {
            idle("svc10", "/Library/LaunchAgents/svc10.plist"),
            idle("svc2", "/Library/LaunchDaemons/svc2.plist"),
            makeItem("running", ServiceStatus::active, LaunchScope::system, 7),
            idle("svc2", "/Library/LaunchAgents/svc2.plist"),
            idle("Alpha", "/Library/LaunchAgents/alpha.plist")};
        // Rows of one label say their folders.
        const QStringList idleOrder = {u"Alpha"_qs, u"svc2 \u2014 in /Library/LaunchAgents"_qs,
                                       u"svc2 \u2014 in /Library/LaunchDaemons"_qs, u"svc10"_qs};
        const QStringList pathsOfTwo = {u"/Library/LaunchAgents/svc2.plist"_qs,
                                        u"/Library/LaunchDaemons/svc2.plist"_qs};
        const auto pathsOf = [&](const QString& label) {
            QStringList paths;
            for (int row = 0; row < proxy.rowCount(); ++row) {
                const QModelIndex index = proxy.mapToSource(proxy.index(row, 0));
                const LaunchItem& item = model.row(index.row()).item;
                if (QString::fromStdString(item.label) == label) {
                    paths.append(QString::fromStdString(item.path.value_or(std::string())));
                }
            }
            return paths;
        };

        const auto idleLabels = [&] {
            QStringList labels = column(proxy, 0);
            labels.removeAll(u"running"_qs);
            return labels;
        };

        // Every arrival order (a reload, a search that brings rows back) sorts alike.
        for (int round = 0; round < 3; ++round) {
            model.setItems(items);
            proxy.setSearchText(u"zzz"_qs);
            proxy.setSearchText(QString());
            for (const int section : {1, 2}) { // PID and Status: four equal keys
                proxy.sort(section, Qt::AscendingOrder);
                QCOMPARE(idleLabels(), idleOrder);
                QCOMPARE(pathsOf(u"svc2"_qs), pathsOfTwo);
                // Reversed, the equal rows keep reading by label.
                proxy.sort(section, Qt::DescendingOrder);
                QCOMPARE(idleLabels(), idleOrder);
                QCOMPARE(pathsOf(u"svc2"_qs), pathsOfTwo);
            }
            // Equal labels: by path.
            proxy.sort(0, Qt::AscendingOrder);
            QCOMPARE(pathsOf(u"svc2"_qs), pathsOfTwo);
            std::rotate(items.begin(), items.begin() + 2, items.end());
        }
    }

    void othersTypeSortsByWholePath() {
        ServiceTableModel model(LaunchScope::others);
        ServiceFilterProxyModel proxy;
        proxy.setSourceModel(&model);
        QAbstractItemModelTester tester(&proxy);
        auto entry = [](const std::string& label, std::optional<std::string> path) {
            return makeItem(label, ServiceStatus::unknown, LaunchScope::others, std::nullopt,
                            std::nullopt, std::move(path));
        };
        model.setItems({entry("z (Internet Plug-Ins)", "/Library/Internet Plug-Ins/z.bundle"),
                        entry("a (Spotlight)", "/Library/Spotlight/a.mdimporter"),
                        entry("nowhere", std::nullopt),
                        entry("b (Internet Plug-Ins)", "/Library/Internet Plug-Ins/b.plugin")});
        proxy.sort(1, Qt::AscendingOrder);
        // Grouped by folder, not by the extension shown; no path first.
        QCOMPARE(column(proxy, 1),
                 (QStringList{u"-"_qs, u"PLUGIN"_qs, u"BUNDLE"_qs, u"MDIMPORTER"_qs}));
    }

    void searchMatchesLabelOrExecutableOnly() {
        ServiceTableModel model(LaunchScope::user);
        ServiceFilterProxyModel proxy;
        proxy.setSourceModel(&model);
        QAbstractItemModelTester tester(&proxy);
        model.setItems(
            {makeItem("com.example.first", ServiceStatus::active, LaunchScope::user, 3,
                      "/opt/needle/bin/first"),
             makeItem("com.example.second", ServiceStatus::inactive, LaunchScope::user,
                      std::nullopt, std::nullopt, "/Users/demo/Library/LaunchAgents/needle.plist"),
             makeItem("Needle Helper", ServiceStatus::inactive, LaunchScope::user)});
        proxy.sort(0, Qt::AscendingOrder);

        proxy.setSearchText(u"NEEDLE"_qs);
        QCOMPARE(column(proxy, 0), (QStringList{u"com.example.first"_qs, u"Needle Helper"_qs}));
        proxy.setSearchText(u"second"_qs);
        QCOMPARE(column(proxy, 0), QStringList{u"com.example.second"_qs});
        proxy.setSearchText(u"absent"_qs);
        QCOMPARE(proxy.rowCount(), 0);
        proxy.setSearchText(QString());
        QCOMPARE(proxy.rowCount(), 3);
    }

    void aReloadOfTheSameRecordsRenewsSearchSortAndSignersWithoutAReset() {
        SignerStore signers{SignerChecker(), QString()};
        ServiceTableModel model(LaunchScope::system);
        model.setSignerStore(&signers);
        ServiceFilterProxyModel proxy;
        proxy.setSourceModel(&model);
        QAbstractItemModelTester tester(&proxy);
        const auto records = [](std::int32_t firstPid, const std::string& secondProgram) {
            return std::vector<LaunchItem>{
                makeItem("com.example.a", ServiceStatus::active, LaunchScope::system, firstPid,
                         "/opt/needle/a", "/Library/LaunchDaemons/a.plist"),
                makeItem("com.example.b", ServiceStatus::active, LaunchScope::system, 20,
                         secondProgram, "/Library/LaunchDaemons/b.plist"),
                makeItem("com.example.c", ServiceStatus::active, LaunchScope::system, 30,
                         "/opt/needle/c", "/Library/LaunchDaemons/c.plist")};
        };
        model.setItems(records(10, "/opt/needle/b"));
        proxy.sort(model.section(ServiceTableModel::Column::pid), Qt::AscendingOrder);
        proxy.setSearchText(u"NEEDLE"_qs);
        QCOMPARE(column(proxy, 0),
                 (QStringList{u"com.example.a"_qs, u"com.example.b"_qs, u"com.example.c"_qs}));

        // The same records: one restarted with a higher PID, one now runs a
        // program the search does not name and that has a signer of its own.
        QSignalSpy reset(&model, &QAbstractItemModel::modelReset);
        model.setItems(records(40, "/usr/libexec/b"));
        QCOMPARE(reset.count(), 0);
        QCOMPARE(column(proxy, 0), (QStringList{u"com.example.c"_qs, u"com.example.a"_qs}));
        proxy.setSearchText(u"libexec"_qs);
        QCOMPARE(column(proxy, 0), QStringList{u"com.example.b"_qs});

        // The store's answer for the new program reaches the row.
        QSignalSpy learned(&signers, &SignerStore::signersChanged);
        signers.insert(u"/usr/libexec/b"_qs, Signer{SignerKind::apple, "", "", "", {}});
        QVERIFY(learned.wait());
        QCOMPARE(model.row(1).signerKind, std::optional<SignerKind>(SignerKind::apple));
        proxy.setHideAppleSigned(true);
        QCOMPARE(proxy.rowCount(), 0);

        // A reload with other records resets the model as before.
        model.setItems({makeItem("com.example.d", ServiceStatus::active)});
        QCOMPARE(reset.count(), 1);
        proxy.setSearchText(QString());
        QCOMPARE(column(proxy, 0), QStringList{u"com.example.d"_qs});
    }

    void backgroundCaptionsInWordsAndSpeech() {
        struct Case {
            bool allowed;
            bool orphaned;
            QString caption;
            QString speech;
        };
        const Case cases[] = {
            {false, false, u"job \u2014 Not Allowed"_qs, u"job, not allowed in the background"_qs},
            {true, true, u"job \u2014 Orphaned"_qs, u"job, orphaned"_qs},
            {true, false, u"job"_qs, QString()},
        };
        for (const Case& c : cases) {
            ServiceTableModel model(LaunchScope::background);
            QAbstractItemModelTester tester(&model);
            LaunchItem item = makeItem("job", ServiceStatus::inactive, LaunchScope::background);
            item.allowedInBackground = c.allowed;
            item.orphaned = c.orphaned;
            model.setItems({item});
            QCOMPARE(model.index(0, 0).data().toString(), c.caption);
            QCOMPARE(model.index(0, 0).data(Qt::AccessibleTextRole).toString(), c.speech);
        }
    }

    // Labels, paths and signers come from files anyone can write: a label
    // ending in U+202E "txt.exe" must not display reversed, a newline in a
    // path must not make a second line, in the cells and the tool tips.
    void textFromFilesIsShownNotObeyed() {
        ServiceTableModel model(LaunchScope::others);
        QAbstractItemModelTester tester(&model);
        LaunchItem item =
            makeItem("invoice\u202Etxt.exe", ServiceStatus::unknown, LaunchScope::others,
                     std::nullopt, std::nullopt, "/Library/Spotlight/x\ny.mdimporter\u2066");
        LaunchItem twin = item;
        twin.path = "/Users/demo/Library/Spotlight/\x1b[2Jz.mdimporter";
        model.setItems({item, twin});
        const auto visible = [](const QString& text) {
            for (const QChar ch : text) {
                const char16_t code = ch.unicode();
                if (code < 0x20 || (code >= 0x7F && code <= 0x9F) ||
                    (code >= 0x202A && code <= 0x202E) || (code >= 0x2066 && code <= 0x2069)) {
                    return false;
                }
            }
            return true;
        };
        const int type = model.section(ServiceTableModel::Column::type);
        for (int row = 0; row < 2; ++row) {
            const QString label = model.index(row, 0).data().toString();
            QVERIFY2(visible(label), qPrintable(label));
            QVERIFY(label.startsWith(u"invoice\\u{202E}txt.exe"_qs));
            QVERIFY(visible(model.index(row, 0).data(Qt::AccessibleTextRole).toString()));
            QVERIFY(visible(model.index(row, type).data().toString()));
            const QString tip = model.index(row, 0).data(Qt::ToolTipRole).toString();
            QVERIFY(!tip.contains(QChar(0x202E)) && !tip.contains(QChar(0x1B)));
        }
        QVERIFY(model.index(0, 0).data().toString().endsWith(u"\u2014 in /Library"_qs));
        QVERIFY(model.index(1, 0).data().toString().endsWith(u"\u2014 in /Users/demo/Library"_qs));

        Signer forged{SignerKind::developerId, "Contoso\u202Ed.exe", "C0N7050L7D", "", {}};
        const auto [signerClass, names] = ServiceTableModel::signerParts(forged);
        QVERIFY2(visible(names), qPrintable(names));
        QVERIFY(visible(signerClass));
    }

    // The job table has no Signed By column, but its jobs' programs are
    // checked all the same: a proven Apple job leaves as soon as it is known,
    // not at the next reload.
    void appleJobsLeaveTheJobTableOnceProven() {
        SignerStore signers{SignerChecker(), QString()};
        ServiceTableModel model(LaunchScope::mach);
        model.setSignerStore(&signers);
        ServiceFilterProxyModel proxy;
        proxy.setSourceModel(&model);
        proxy.setHideAppleSigned(true);
        QAbstractItemModelTester tester(&proxy);
        model.setItems({makeItem("com.apple.job", ServiceStatus::active, LaunchScope::mach, 5,
                                 "/usr/libexec/job"),
                        makeItem("com.example.job", ServiceStatus::active, LaunchScope::mach, 6,
                                 "/opt/example/job")});
        QCOMPARE(proxy.rowCount(), 2);
        QSignalSpy changed(&signers, &SignerStore::signersChanged);
        signers.insert(u"/usr/libexec/job"_qs, Signer{SignerKind::apple, "", "", "", {}});
        QVERIFY(changed.wait());
        QCOMPARE(proxy.rowCount(), 1);
        QCOMPARE(proxy.index(0, 0).data().toString(), u"com.example.job"_qs);
    }

    void disabledRecordsCarryACaptionAndCanBeHidden() {
        std::set<std::string> disabled = {"com.example.off"};
        ServiceTableModel model(LaunchScope::user);
        model.setDisabledPredicate(
            [&disabled](const LaunchItem& item) { return disabled.contains(item.label); });
        ServiceFilterProxyModel proxy;
        proxy.setSourceModel(&model);
        QAbstractItemModelTester tester(&proxy);
        model.setItems(
            {makeItem("com.example.off", ServiceStatus::inactive, LaunchScope::user),
             makeItem("com.example.on", ServiceStatus::active, LaunchScope::user, 9),
             makeItem("com.example.late", ServiceStatus::active, LaunchScope::user, 12)});
        proxy.sort(0, Qt::AscendingOrder);
        const int status = model.section(ServiceTableModel::Column::status);

        // A caption in words and for assistive technology; the status keeps
        // saying whether it runs.
        QCOMPARE(model.index(0, 0).data().toString(), u"com.example.off \u2014 Disabled"_qs);
        QCOMPARE(model.index(0, 0).data(Qt::AccessibleTextRole).toString(),
                 u"com.example.off, disabled"_qs);
        QVERIFY(model.index(0, 0).data(Qt::ToolTipRole).toString().contains(u"Disabled"_qs));
        QCOMPARE(model.index(0, status).data().toString(), u"Inactive"_qs);
        QCOMPARE(model.index(0, status).data(Qt::AccessibleTextRole).toString(),
                 u"Inactive, disabled"_qs);
        QVERIFY(!model.index(0, status).data(Qt::ToolTipRole).toString().isEmpty());
        QVERIFY(model.index(0, 0).data(ServiceTableModel::DisabledRole).toBool());
        QCOMPARE(model.index(1, 0).data().toString(), u"com.example.on"_qs);
        QCOMPARE(model.index(1, status).data().toString(), u"Active"_qs);
        QVERIFY(!model.index(1, status).data(Qt::AccessibleTextRole).isValid());
        QVERIFY(!model.index(1, 0).data(ServiceTableModel::DisabledRole).toBool());

        proxy.setShowDisabled(false);
        QCOMPARE(column(proxy, 0), (QStringList{u"com.example.late"_qs, u"com.example.on"_qs}));

        // The state changes while the records stay: only the rows whose mark
        // changed report it, and the proxy follows at once.
        QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);
        disabled = {"com.example.late"};
        model.refreshDisabledMarks();
        QCOMPARE(changed.size(), 2);
        QCOMPARE(column(proxy, 0), (QStringList{u"com.example.off"_qs, u"com.example.on"_qs}));
        changed.clear();
        model.refreshDisabledMarks();
        QCOMPARE(changed.size(), 0);

        proxy.setShowDisabled(true);
        QCOMPARE(proxy.rowCount(), 3);
        // Sorting by label reads the record's label, not the caption.
        proxy.sort(0, Qt::DescendingOrder);
        QCOMPARE(column(proxy, 0), (QStringList{u"com.example.on"_qs, u"com.example.off"_qs,
                                                u"com.example.late \u2014 Disabled"_qs}));
    }

    void emptyTableNamesTheFilterThatHidesItsRows() {
        ServiceTableModel model(LaunchScope::user);
        model.setDisabledPredicate(
            [](const LaunchItem& item) { return item.label == "com.example.off"; });
        ServiceFilterProxyModel proxy;
        proxy.setSourceModel(&model);
        using Filter = ServiceFilterProxyModel::Filter;
        struct Case {
            QString search;
            bool showDisabled;
            std::optional<Filter> expected;
        };
        const Case cases[] = {
            {u"nothing"_qs, true, Filter::search},
            // The search finds it, the view filter hides it: named is the filter.
            {u"off"_qs, false, Filter::disabled},
            {u"nothing"_qs, false, Filter::search},
            // Rows are shown: nothing to explain.
            {u"on"_qs, false, std::nullopt},
        };
        model.setItems({makeItem("com.example.off", ServiceStatus::inactive, LaunchScope::user),
                        makeItem("com.example.on", ServiceStatus::active, LaunchScope::user, 9)});
        for (const Case& c : cases) {
            proxy.setSearchText(c.search);
            proxy.setShowDisabled(c.showDisabled);
            QCOMPARE(proxy.hidingFilter(), c.expected);
        }
        // An empty category is not hidden by anything.
        model.setItems({});
        QCOMPARE(proxy.hidingFilter(), std::nullopt);
    }

    void rowsAreFoundByIdFirstMatchWins() {
        ServiceTableModel model(LaunchScope::mach);
        LaunchItem first = makeItem("job", ServiceStatus::active, LaunchScope::mach, 1);
        LaunchItem second = makeItem("job", ServiceStatus::active, LaunchScope::mach, 2);
        model.setItems({first, second});
        QCOMPARE(model.rowForId(u"job-Mach-"_qs), 0);
        QCOMPARE(model.index(1, 0).data(ServiceTableModel::IdRole).toString(), u"job-Mach-"_qs);
        QCOMPARE(model.rowForId(u"other-Mach-"_qs), -1);
    }
};

QTEST_MAIN(ServiceTableTest)
#include "ServiceTableTest.moc"
