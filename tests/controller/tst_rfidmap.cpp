#include "ControllerTestSupport.h"
#include "RfidMap.h"
#include "WendleNoteEvent.h"

#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>

namespace {

using L = QStringList;

// The table as "key=type value", a note event as "key=note path", in key order.
QStringList entries(const RfidMap& map)
{
    QStringList list;
    for (auto it = map.table().cbegin(); it != map.table().cend(); ++it) {
        const WendleEvent* e = it.value().get();
        if (const auto* note = dynamic_cast<const WendleNoteEvent*>(e))
            list << QStringLiteral("%1=note %2 %3 %4").arg(it.key(), note->path.toString()).arg(note->value).arg(note->ratio.toString());
        else
            list << QStringLiteral("%1=%2 %3").arg(it.key()).arg(e->type).arg(e->value);
    }
    list.sort();
    return list;
}

QString mapped(const QString& key, int type, const QString& value)
{
    return QStringLiteral("RFID %1 mapped to: event %2, value %3").arg(key).arg(type).arg(value);
}

// A good member beside the bad ones: the rest of the table still loads.
const QByteArray Good = R"("goodgoodgo": {"event": 2})";
const QString GoodEntry = QStringLiteral("goodgoodgo=2 0");
const QString GoodMapped = mapped(QStringLiteral("goodgoodgo"), 2, QStringLiteral("0"));

} // namespace

class TestRfidMap : public QObject
{
    Q_OBJECT

    QTemporaryDir mHome;

private slots:
    void initTestCase()
    {
        QVERIFY(mHome.isValid());
        qputenv("XDG_DATA_HOME", mHome.path().toUtf8());
    }

    void loads_data()
    {
        QTest::addColumn<QByteArray>("members");
        QTest::addColumn<QStringList>("expected");
        QTest::addColumn<QStringList>("warnings");

        const QString k = QStringLiteral("abcdefghij");
        const QByteArray m = R"("abcdefghij": )";
        auto skipped = [&](const QString& why) { return L { QStringLiteral("RFID %1 %2 Ignoring.").arg(k, why), GoodMapped }; };

        QTest::newRow("path") << m + R"({"value": "/3"})" << L { k + "=note /3 1 0/1" } << L { mapped(k, 0, "/3") };
        QTest::newRow("path / is 1/1") << m + R"({"event": 19, "value": "/"})" << L { k + "=note / 1 0/1" } << L { mapped(k, 0, "/") };
        QTest::newRow("number") << m + R"({"event": 23, "value": 5})" << L { k + "=23 5" } << L { mapped(k, 23, "5") };
        QTest::newRow("volume") << m + R"({"event": 19, "value": 0.5})" << L { k + "=19 0.5" } << L { mapped(k, 19, "0.5") };
        QTest::newRow("missing value is 0") << m + R"({"event": 2})" << L { k + "=2 0" } << L { mapped(k, 2, "0") };
        QTest::newRow("23.9 is 23") << m + R"({"event": 23.9, "value": 3})" << L { k + "=23 3" } << L { mapped(k, 23, "3") };

        QTest::newRow("not an object") << m + R"("x", )" + Good << L { GoodEntry }
                                       << skipped(QStringLiteral("is not mapped to an object with \"event\" and \"value\"."));
        QTest::newRow("event missing") << m + R"({"value": 1}, )" + Good << L { GoodEntry }
                                       << skipped(QStringLiteral("has no command number in \"event\"."));
        QTest::newRow("event text") << m + R"({"event": "x", "value": 1}, )" + Good << L { GoodEntry }
                                    << skipped(QStringLiteral("has no command number in \"event\"."));
        QTest::newRow("event 43") << m + R"({"event": 43, "value": 1}, )" + Good << L { GoodEntry }
                                  << skipped(QStringLiteral("has event 43, which is no command (0 to 42)."));
        QTest::newRow("event -1") << m + R"({"event": -1, "value": 1}, )" + Good << L { GoodEntry }
                                  << skipped(QStringLiteral("has event -1, which is no command (0 to 42)."));
        QTest::newRow("value 1e300") << m + R"({"event": 19, "value": 1e300}, )" + Good << L { GoodEntry }
                                     << skipped(QStringLiteral("has value 1e+300, which is out of the range of a float."));
        QTest::newRow("value \"0.5\"") << m + R"({"event": 19, "value": "0.5"}, )" + Good << L { GoodEntry }
                                       << skipped(QStringLiteral("has value \"0.5\", which is neither a number nor a path beginning with \"/\"."));
        QTest::newRow("value true") << m + R"({"event": 19, "value": true}, )" + Good << L { GoodEntry }
                                    << skipped(QStringLiteral("has a value that is neither a number nor a path."));
        QTest::newRow("path /4") << m + R"({"value": "/4"}, )" + Good << L { GoodEntry }
                                 << skipped(QStringLiteral("was assigned invalid path /4."));
        QTest::newRow("path of seven steps") << m + R"({"value": "/3/3/3/3/3/3/5"}, )" + Good << L { GoodEntry }
                                             << skipped(QStringLiteral("was assigned invalid path /3/3/3/3/3/3/5."));

        QTest::newRow("long key") << QByteArray(R"("ABCDEFGHIJKLMN": {"event": 2})") << L { k + "=2 0" } << L { mapped(k, 2, "0") };
        QTest::newRow("short key") << QByteArray(R"("ABC": {"event": 2})") << L { "abc=2 0" }
                                   << L { mapped("abc", 2, "0"), "RFID abc is not 10 bytes long as a wand sends it, so no tag will match it." };
        // The object's order is the order of its keys: upper case first.
        QTest::newRow("keys equal but for case")
            << QByteArray(R"("abcdefghij": {"event": 19, "value": 0.75}, "ABCDEFGHIJ": {"event": 19, "value": 0.25})")
            << L { k + "=19 0.75" }
            << L { mapped(k, 19, "0.25"), mapped(k, 19, "0.75"), QStringLiteral("RFID %1 is named more than once; \"%1\" replaced the earlier entry.").arg(k) };
    }

    // Each member becomes one entry or one warning that names it; the rest loads.
    void loads()
    {
        QFETCH(QByteArray, members);
        QFETCH(QStringList, expected);
        QFETCH(QStringList, warnings);
        QVERIFY(writeConfigFile(QLatin1String(RfidMap::FileName), "{" + members + "}"));
        LogCapture log;
        RfidMap map;
        QVERIFY(map.loadFromFile(QLatin1String(RfidMap::FileName)));
        QCOMPARE(entries(map), expected);
        QCOMPARE(log.lines('W'), warnings);
    }

    // What it writes reads back as the same table.
    void writesWhatItReads()
    {
        QVERIFY(writeConfigFile(QLatin1String(RfidMap::FileName),
                                R"({"aaaaaaaaaa": {"value": "/-5/3"}, "bbbbbbbbbb": {"event": 19, "value": 0.25}, "cccccccccc": {"event": 23, "value": 7}})"));
        LogCapture log;
        RfidMap map;
        QVERIFY(map.loadFromFile(QLatin1String(RfidMap::FileName)));
        QJsonObject json;
        map.writeJson(json);
        RfidMap again;
        again.readJson(json);
        QCOMPARE(entries(again), entries(map));
        QCOMPARE(entries(map).size(), 3);
    }
};

QTEST_GUILESS_MAIN(TestRfidMap)
#include "tst_rfidmap.moc"
