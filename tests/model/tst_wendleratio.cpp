#include "RatioContext.h"
#include "WendleRatio.h"

#include <QRandomGenerator>
#include <QSet>
#include <QtTest>

namespace {

const int kPrimes[] = { 2, 3, 5, 7, 11, 13, 17, 19, 23, 29, 31 };

WendlePath pathOf(const QList<int>& steps)
{
    WendlePath p;
    for (int s : steps)
        p.append(qint8(s));
    return p;
}

QList<int> stepsOf(const WendleRatio& r)
{
    const auto buffer = r.toSteps();
    QList<int> list;
    for (int i = 0; buffer[i] != 0; ++i)
        list.append(buffer[i]);
    return list;
}

// The exact product of the intervals of a step list, formed independently of
// the code under test with 128-bit numerator and denominator.
QPair<quint64, quint64> productOf(const QList<int>& steps)
{
    unsigned __int128 n = 1, d = 1;
    for (int s : steps) {
        const int p = std::abs(s);
        quint64 octave = 1;
        while (p != 2 && octave * 2 < quint64(p))
            octave *= 2;
        const quint64 up = quint64(p);
        if (s > 0) {
            n *= up;
            d *= octave;
        } else {
            n *= octave;
            d *= up;
        }
    }
    unsigned __int128 a = n, b = d;
    while (b) {
        const unsigned __int128 t = a % b;
        a = b;
        b = t;
    }
    return { quint64(n / a), quint64(d / a) };
}

} // namespace

class TestWendleRatio : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        RatioContext::publishTransposition(Rational(1, 1), Rational(1, 1));
        RatioContext::bindWithinOctave(nullptr);
    }

    void tables()
    {
        QCOMPARE(primeIntervalTable[2], Rational(2, 1));
        QCOMPARE(primeIntervalTable[7], Rational(7, 4));
        QCOMPARE(primeIntervalTable[13], Rational(13, 8));
        QCOMPARE(primeIntervalTable[31], Rational(31, 16));
        QCOMPARE(primeIntervalTable[9], Rational(0, 1));
        QCOMPARE(primeList.front(), 1);
        QCOMPARE(primeList.back(), 31);
        for (int i = 0; i < 32; ++i) {
            const bool prime = isPrimeStep(i);
            QCOMPARE(primeIntervalFloats[i] > 0.0f, prime);
            if (prime)
                QCOMPARE(double(primeIntervalFloats[i]),
                         double(primeIntervalTable[i].numerator()) / double(primeIntervalTable[i].denominator()));
        }
    }

    void fromPath_data()
    {
        QTest::addColumn<QList<int>>("steps");
        QTest::addColumn<quint64>("num");
        QTest::addColumn<quint64>("den");
        QTest::newRow("empty") << QList<int>{} << quint64(1) << quint64(1);
        QTest::newRow("3,3") << QList<int>{ 3, 3 } << quint64(9) << quint64(4);
        QTest::newRow("-2") << QList<int>{ -2 } << quint64(1) << quint64(2);
        QTest::newRow("3,-2") << QList<int>{ 3, -2 } << quint64(3) << quint64(4);
        QTest::newRow("5,-5") << QList<int>{ 5, -5 } << quint64(1) << quint64(1);
        QTest::newRow("31x6") << QList<int>{ 31, 31, 31, 31, 31, 31 } << quint64(887503681) << quint64(16777216);
        QTest::newRow("-13,7") << QList<int>{ -13, 7 } << quint64(14) << quint64(13);
    }

    void fromPath()
    {
        QFETCH(QList<int>, steps);
        QFETCH(quint64, num);
        QFETCH(quint64, den);
        const WendleRatio r(pathOf(steps));
        QCOMPARE(r.numerator(), num);
        QCOMPARE(r.denominator(), den);
        QCOMPARE(r.transposedRatio, Rational(num, den));
    }

    // Steps that are not signed primes must neither throw nor read past the table.
    void fromPathInvalidSteps_data()
    {
        QTest::addColumn<int>("step");
        for (int s : { 1, -1, 4, -4, 9, -9, 32, -32, 100, -100, 127, -128 })
            QTest::newRow(qPrintable(QString::number(s))) << s;
    }

    void fromPathInvalidSteps()
    {
        QFETCH(int, step);
        WendlePath p;
        p.steps[0] = 3;
        p.steps[1] = qint8(step);
        p.steps[2] = 0;
        const WendleRatio r(p);
        QVERIFY(r.isNull());
        QCOMPARE(r.denominator(), quint64(1));
        QCOMPARE(r.toString(false), QStringLiteral("0/1"));
    }

    void transposedRatioFollowsLatticePath()
    {
        RatioContext::publishTransposition(Rational(3, 2), Rational(3, 2));
        const WendleRatio r(pathOf({ 5 }));
        QCOMPARE(r.ratio, Rational(5, 4));
        QCOMPARE(r.transposedRatio, Rational(15, 8));
        const WendleRatio copy(r);
        QCOMPARE(copy, r);
        QCOMPARE(copy.transposedRatio, Rational(0, 1));
        WendleRatio assigned;
        assigned = r;
        QCOMPARE(assigned.transposedRatio, Rational(0, 1));
    }

    void equalityAndHash()
    {
        const WendleRatio a(pathOf({ 3 }));
        const WendleRatio b(6, 4);
        QCOMPARE(a, b);
        QCOMPARE(qHash(a, 7), qHash(b, 7));
        QCOMPARE(b.numerator(), quint64(3));
        QVERIFY(WendleRatio(3, 2) != WendleRatio(2, 3));
        // A family that a hash of h*31 + term puts in one bucket, whatever the seed.
        QSet<size_t> hashes;
        for (quint64 k = 1; k <= 1000; ++k)
            hashes.insert(qHash(WendleRatio(k, 4000037 - 31 * k), 7));
        QCOMPARE(hashes.size(), 1000);

        QSet<WendleRatio> set { a, b, WendleRatio(5, 4) };
        QCOMPARE(set.size(), 2);
    }

    void text_data()
    {
        QTest::addColumn<quint64>("num");
        QTest::addColumn<quint64>("den");
        QTest::addColumn<QString>("plain");
        QTest::addColumn<QString>("octave");
        QTest::newRow("15/8") << quint64(15) << quint64(8) << "15/8" << "15/8";
        QTest::newRow("3/1") << quint64(3) << quint64(1) << "3/1" << "3/2";
        QTest::newRow("1/3") << quint64(1) << quint64(3) << "1/3" << "4/3";
        QTest::newRow("8/1") << quint64(8) << quint64(1) << "8/1" << "1/1";
        QTest::newRow("5/1") << quint64(5) << quint64(1) << "5/1" << "5/4";
        QTest::newRow("9/8") << quint64(9) << quint64(8) << "9/8" << "9/8";
        QTest::newRow("2/1") << quint64(2) << quint64(1) << "2/1" << "1/1";
        QTest::newRow("1/1") << quint64(1) << quint64(1) << "1/1" << "1/1";
        QTest::newRow("0/1") << quint64(0) << quint64(1) << "0/1" << "0/1";
        // Reducing must not overflow 64 bits on the way.
        QTest::newRow("huge") << quint64(1) << quint64(18446744073709551557ull)
                              << "1/18446744073709551557" << "18446744073709551616/18446744073709551557";
        QTest::newRow("max/1") << quint64(18446744073709551615ull) << quint64(1)
                               << "18446744073709551615/1" << "18446744073709551615/9223372036854775808";
    }

    void text()
    {
        QFETCH(quint64, num);
        QFETCH(quint64, den);
        QFETCH(QString, plain);
        QFETCH(QString, octave);
        const WendleRatio r(num, den);
        QCOMPARE(r.toString(false), plain);
        QCOMPARE(r.toString(true), octave);
        bool flag = false;
        RatioContext::bindWithinOctave(&flag);
        QCOMPARE(r.toString(), plain);
        flag = true;
        QCOMPARE(r.toString(), octave);
    }

    void toSteps_data()
    {
        QTest::addColumn<quint64>("num");
        QTest::addColumn<quint64>("den");
        QTest::addColumn<QList<int>>("steps");
        QTest::newRow("15/8") << quint64(15) << quint64(8) << QList<int>{ 3, 5 };
        QTest::newRow("9/8") << quint64(9) << quint64(8) << QList<int>{ 3, 3, -2 };
        QTest::newRow("4/3") << quint64(4) << quint64(3) << QList<int>{ -3, 2 };
        QTest::newRow("1/1") << quint64(1) << quint64(1) << QList<int>{};
        QTest::newRow("0/1") << quint64(0) << quint64(1) << QList<int>{};
        QTest::newRow("10/21") << quint64(10) << quint64(21) << QList<int>{ 5, -3, -7 };
    }

    void toSteps()
    {
        QFETCH(quint64, num);
        QFETCH(quint64, den);
        QFETCH(QList<int>, steps);
        QCOMPARE(stepsOf(WendleRatio(num, den)), steps);
    }

    void toStepsLongDecomposition()
    {
        // 3^40 is about the longest decomposition that 64 bits allow.
        quint64 n = 1;
        for (int i = 0; i < 40; ++i)
            n *= 3;
        const QList<int> steps = stepsOf(WendleRatio(n, 1));
        QCOMPARE(steps.size(), 80);
        QCOMPARE(steps.mid(0, 40), QList<int>(40, 3));
        QCOMPARE(steps.mid(40), QList<int>(40, 2));
    }

    // Path → ratio → steps → ratio gives back the exact product, for many random paths.
    void roundTripRandomPaths()
    {
        QRandomGenerator rng(20261208);
        for (int iter = 0; iter < 5000; ++iter) {
            QList<int> steps;
            const int len = int(rng.bounded(7));
            for (int i = 0; i < len; ++i) {
                const int p = kPrimes[rng.bounded(int(std::size(kPrimes)))];
                steps.append(rng.bounded(2) ? p : -p);
            }
            const WendleRatio r(pathOf(steps));
            const auto expected = productOf(steps);
            QCOMPARE(r.numerator(), expected.first);
            QCOMPARE(r.denominator(), expected.second);
            const QList<int> back = stepsOf(r);
            QCOMPARE(productOf(back), expected);
            // Steps come as raising primes ascending, then lowering, then octaves.
            for (int i = 1; i < back.size(); ++i) {
                const bool octaveBefore = std::abs(back[i - 1]) == 2;
                QVERIFY(!octaveBefore || std::abs(back[i]) == 2);
            }
            QVERIFY(highestPrime(r.toSteps().get()) <= 31);
        }
    }

    void highestPrimeOfSteps()
    {
        const qint8 empty[] = { 0 };
        const qint8 mixed[] = { 3, -5, 0 };
        const qint8 down[] = { -7, 0 };
        QCOMPARE(highestPrime(empty), 1);
        QCOMPARE(highestPrime(mixed), 5);
        QCOMPARE(highestPrime(down), 7);
    }

    void absoluteAndRelative()
    {
        const WendleRatio fifth(3, 2);
        QCOMPARE(fifth.absoluteRatio(), Rational(3, 2));
        RatioContext::publishTransposition(Rational(5, 4), Rational(5, 4));
        QCOMPARE(fifth.absoluteRatio(), Rational(15, 8));
        QCOMPARE(fifth.relativeRatio(), Rational(6, 5));
        QCOMPARE(WendleRatio(5, 4).relativeRatio(), Rational(1, 1));
        QCOMPARE(WendleRatio(4, 5).absoluteRatio(), Rational(1, 1));
        QCOMPARE(fifth.toAbsoluteString(), QStringLiteral("15/8"));
    }

    void multiplyExact()
    {
        Rational out;
        QVERIFY(WendleRatio::multiplyExact(Rational(3, 2), Rational(4, 3), out));
        QCOMPARE(out, Rational(2, 1));
        // Large factors that cancel must still come out exact.
        const quint64 big = 4294967311ull; // prime above 2^32
        QVERIFY(WendleRatio::multiplyExact(Rational(big, 3), Rational(3, big), out));
        QCOMPARE(out, Rational(1, 1));
        QVERIFY(!WendleRatio::multiplyExact(Rational(big, 1), Rational(big, 1), out));
        QCOMPARE(out, Rational(0, 1));
    }

    void snapshotIsConsistentAcrossThreads()
    {
        // A reader on another thread must never see a ratio from one version
        // and a path product from another.
        std::atomic<bool> stop { false };
        std::atomic<int> torn { 0 };
        QThread* reader = QThread::create([&] {
            while (!stop.load()) {
                const auto t = RatioContext::transposition();
                if (t.ratio != t.pathRatio)
                    torn.fetch_add(1);
            }
        });
        reader->start();
        for (quint64 i = 1; i < 20000; ++i)
            RatioContext::publishTransposition(Rational(i + 1, i), Rational(i + 1, i));
        stop.store(true);
        reader->wait();
        delete reader;
        QCOMPARE(torn.load(), 0);
    }
};

QTEST_APPLESS_MAIN(TestWendleRatio)
#include "tst_wendleratio.moc"
