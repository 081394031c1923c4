#include "WendlePath.h"

#include <QtTest>

class TestWendlePath : public QObject
{
    Q_OBJECT

private slots:
    void fromText_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("valid");
        QTest::addColumn<QList<int>>("steps");
        QTest::addColumn<QString>("canonical");
        QTest::newRow("root") << "/" << true << QList<int>{} << "/";
        QTest::newRow("empty text") << "" << true << QList<int>{} << "/";
        QTest::newRow("three steps") << "/2/-3/3" << true << QList<int>{ 2, -3, 3 } << "/2/-3/3";
        QTest::newRow("empty parts") << "/2//-3/" << true << QList<int>{ 2, -3 } << "/2/-3";
        QTest::newRow("no leading slash") << "2/-3" << true << QList<int>{ 2, -3 } << "/2/-3";
        QTest::newRow("seven steps") << "/3/3/3/3/3/3/3" << true << QList<int>{ 3, 3, 3, 3, 3, 3 } << "/3/3/3/3/3/3";
        QTest::newRow("seventh part bad") << "/3/3/3/3/3/3/x" << true << QList<int>{ 3, 3, 3, 3, 3, 3 } << "/3/3/3/3/3/3";
        QTest::newRow("31 and -31") << "/31/-31" << true << QList<int>{ 31, -31 } << "/31/-31";
        QTest::newRow("letter") << "/2/x" << false << QList<int>{} << "";
        QTest::newRow("four") << "/4" << false << QList<int>{} << "";
        QTest::newRow("zero") << "/0" << false << QList<int>{} << "";
        QTest::newRow("one") << "/1" << false << QList<int>{} << "";
        QTest::newRow("minus one") << "/-1" << false << QList<int>{} << "";
        QTest::newRow("minus 32") << "/-32" << false << QList<int>{} << "";
        QTest::newRow("33") << "/33" << false << QList<int>{} << "";
        QTest::newRow("nine") << "/3/9" << false << QList<int>{} << "";
        QTest::newRow("INT_MIN") << "/-2147483648" << false << QList<int>{} << "";
        QTest::newRow("INT_MAX") << "/2147483647" << false << QList<int>{} << "";
        QTest::newRow("beyond 32 bits") << "/99999999999999999999" << false << QList<int>{} << "";
        QTest::newRow("decimal") << "/3.0" << false << QList<int>{} << "";
        QTest::newRow("hex") << "/0x3" << false << QList<int>{} << "";
    }

    void fromText()
    {
        QFETCH(QString, text);
        QFETCH(bool, valid);
        QFETCH(QList<int>, steps);
        QFETCH(QString, canonical);
        WendlePath path = WendlePath::fromSteps({ 5, 7 });
        if (!valid)
            QTest::ignoreMessage(QtDebugMsg, qPrintable(QStringLiteral("Invalid path: ") + text));
        path.fromText(text);
        QCOMPARE(path.isInvalid(), !valid);
        if (valid) {
            QCOMPARE(path.toList(), steps);
            QCOMPARE(path.toString(), canonical);
            WendlePath again;
            again.fromText(path.toString());
            QCOMPARE(again, path);
        } else {
            QCOMPARE(int(path.steps[0]), 127);
            QCOMPARE(int(path.steps[1]), 0);
        }
    }

    void appendAndDropLast()
    {
        WendlePath p;
        p.dropLast();
        QVERIFY(p.isEmpty());
        for (int i = 0; i < 6; ++i)
            p.append(3);
        const WendlePath full = p;
        p.append(5);
        QCOMPARE(p, full);
        QCOMPARE(p.size(), 6);
        QCOMPARE(int(p.steps[6]), 0);
        p.dropLast();
        QCOMPARE(p.toList(), QList<int>(5, 3));
    }

    void equalityIgnoresBytesAfterTerminator()
    {
        WendlePath a = WendlePath::fromSteps({ 3, -5 });
        WendlePath b = a;
        b.steps[4] = 99;
        b.steps[6] = -7;
        QCOMPARE(a, b);
        QCOMPARE(qHash(a, 11), qHash(b, 11));
        // h = seed; h = 31h + step, steps signed.
        QCOMPARE(qHash(a, 11), size_t(quint32((11u * 31u + 3u) * 31u + quint32(-5))));
        QVERIFY(a != WendlePath::fromSteps({ 3, 5 }));
        QVERIFY(WendlePath() != a);
        // A path with no terminator within its 7 bytes equals nothing, not even itself.
        WendlePath broken;
        std::fill(std::begin(broken.steps), std::end(broken.steps), qint8(3));
        QVERIFY(broken != broken);
    }

    void copiesAreIndependent()
    {
        WendlePath a = WendlePath::fromSteps({ 2, 3 });
        WendlePath b = a;
        b.append(5);
        QCOMPARE(a.toString(), QStringLiteral("/2/3"));
        QCOMPARE(b.toString(), QStringLiteral("/2/3/5"));
    }
};

QTEST_APPLESS_MAIN(TestWendlePath)
#include "tst_wendlepath.moc"
