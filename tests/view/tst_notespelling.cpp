#include "NoteSpelling.h"

#include <QtTest>
#include <cmath>

namespace {

int gWarnings = 0;

void countWarnings(QtMsgType type, const QMessageLogContext&, const QString&)
{
    gWarnings += type == QtWarningMsg;
}

} // namespace

class TestNoteSpelling : public QObject
{
    Q_OBJECT

private slots:
    // Worked out by hand, step by step: a step moves the letter by its
    // interval's number (fifth 4 letters, major third 2, minor seventh 6,
    // augmented fourth 3, minor second 1, major seventh 6, octave 7) and the
    // pitch by its semitones (7, 4, 10, 6, 1, 11, 12); the accidental makes
    // up the difference. Cents come from the exact ratio, in long double.
    void spellByIntervals_data()
    {
        QTest::addColumn<double>("calibration");
        QTest::addColumn<double>("base");
        QTest::addColumn<QString>("name"); // the base-note name, and whether it matches the base
        QTest::addColumn<QList<int>>("transposition");
        QTest::addColumn<QList<int>>("steps");
        QTest::addColumn<QString>("ratio");
        QTest::addColumn<QString>("spelled"); // letter, accidental, octave, "enh" when the nearest took over
        using L = QList<int>;
        const double c4 = double(440.0L * std::pow(2.0L, -9.0L / 12)), bb4 = double(440.0L * std::pow(2.0L, 1.0L / 12));
        QTest::newRow("1/1 on C4") << 440.0 << c4 << "" << L {} << L {} << "1/1" << "C 0 4";
        // C + fifth: G; C down a fifth: F below; C + minor seventh: B, 10 semitones where B is 11.
        QTest::newRow("+3") << 440.0 << c4 << "" << L {} << L { 3 } << "3/2" << "G 0 4";
        QTest::newRow("-3") << 440.0 << c4 << "" << L {} << L { -3 } << "2/3" << "F 0 3";
        QTest::newRow("+7") << 440.0 << c4 << "" << L {} << L { 7 } << "7/4" << "B -1 4";
        // C + augmented fourth: F sharp at -48.7 cents; + minor second: D flat; + major seventh: B.
        QTest::newRow("+11") << 440.0 << c4 << "" << L {} << L { 11 } << "11/8" << "F 1 4";
        QTest::newRow("+17") << 440.0 << c4 << "" << L {} << L { 17 } << "17/16" << "D -1 4";
        QTest::newRow("+31") << 440.0 << c4 << "" << L {} << L { 31 } << "31/16" << "B 0 4";
        QTest::newRow("+3+3") << 440.0 << c4 << "" << L {} << L { 3, 3 } << "9/4" << "D 0 5";
        // Transposed to G4, then a major third: B4.
        QTest::newRow("/3, +5") << 440.0 << c4 << "" << L { 3 } << L { 5 } << "15/8" << "B 0 4";
        // Two fifths down, F3 then B flat 2; a minor seventh up: A, 44 semitones where A3 is 45.
        QTest::newRow("/-3/-3, +7") << 440.0 << c4 << "" << L { -3, -3 } << L { 7 } << "7/9" << "A -1 3";
        // A4 sounds at 415: a major third above is C sharp 5; a fifth and an octave down, E4.
        QTest::newRow("415: +5") << 415.0 << 415.0 << "" << L {} << L { 5 } << "5/4" << "C 1 5";
        QTest::newRow("415: /3, -2") << 415.0 << 415.0 << "" << L { 3 } << L { -2 } << "3/4" << "E 0 4";
        // 440 Hz is a semitone above A4 at 415, B flat 4; a major third above it is D5.
        QTest::newRow("415: 1/1 at 440, +5") << 415.0 << 440.0 << "" << L {} << L { 5 } << "5/4" << "D 0 5";
        // A matching name spells the 1/1: A sharp + major third is C double sharp.
        QTest::newRow("named A#4, +5") << 440.0 << bb4 << "A#4 matches" << L {} << L { 5 } << "5/4" << "C 2 5";
        QTest::newRow("A#4 far off, +5") << 440.0 << bb4 << "A#4" << L {} << L { 5 } << "5/4" << "D 0 5";
        // Six fourths down: F3, B flat 2, E flat 2, A flat 1, D flat 1, G flat 0.
        QTest::newRow("six -3") << 440.0 << c4 << "" << L {} << L(6, -3) << "64/729" << "G -1 0";
        // Nineteen fifths reach B double sharp; the twentieth would be F triple
        // sharp: 20 x 701.955 cents is 140 semitones + 39.1 above C4, G sharp 15.
        QTest::newRow("twenty +3") << 440.0 << c4 << "" << L {} << L(20, 3) << "3486784401/1048576" << "G 1 15 enh";
        // F sharp 4, then B sharp 4; but 121/64 lies 97 cents below it: B4 +2.6.
        QTest::newRow("+11+11") << 440.0 << c4 << "" << L {} << L { 11, 11 } << "121/64" << "B 0 4 enh";
        // Nothing to take a logarithm of: A4 and one warning.
        QTest::newRow("base 0") << 440.0 << 0.0 << "" << L {} << L { 3 } << "3/2" << "A 0 4 warned";
        QTest::newRow("calibration NaN") << std::nan("") << 440.0 << "" << L {} << L { 3 } << "3/2" << "A 0 4 warned";
        QTest::newRow("frequency 0") << 440.0 << 440.0 << "" << L {} << L { 3 } << "0/1" << "A 0 4 warned";
        QTest::newRow("base infinite") << 440.0 << HUGE_VAL << "" << L {} << L {} << "1/1" << "A 0 4 warned";
    }

    void spellByIntervals()
    {
        QFETCH(double, calibration);
        QFETCH(double, base);
        QFETCH(QString, name);
        QFETCH(QList<int>, transposition);
        QFETCH(QList<int>, steps);
        QFETCH(QString, ratio);
        const long double exact = (long double)ratio.section('/', 0, 0).toULongLong() / ratio.section('/', 1).toULongLong();
        QFETCH(QString, spelled);
        const QString baseNote = name.isEmpty() ? QStringLiteral("A 4") : name.left(3);
        SpellingInputs in { calibration, base, baseNote, !name.endsWith("matches"), transposition };
        bool enharmonic = false;
        gWarnings = 0;
        const QtMessageHandler previous = qInstallMessageHandler(countWarnings);
        const NoteSpelling s = NoteSpelling::spellByIntervals(steps, float(exact) * float(base), in, &enharmonic);
        qInstallMessageHandler(previous);
        const QStringList expected = spelled.split(' ');
        const QString shown = QStringLiteral("%1 %2 %3").arg(s.letterName()).arg(s.accidental).arg(s.octave);
        QCOMPARE(shown, expected.mid(0, 3).join(' '));
        QCOMPARE(enharmonic, expected.contains("enh"));
        QCOMPARE(gWarnings, int(expected.contains("warned")));
        const long double cents = expected.contains("warned")
            ? 0.0L
            : 1200.0L * std::log2(exact * base / calibration) + 5700.0L - 100.0L * s.noteNumber();
        QVERIFY2(std::fabs(double(cents) - s.cents) < 0.05, qPrintable(QString::number(s.cents)));
    }
};

QTEST_GUILESS_MAIN(TestNoteSpelling)
#include "tst_notespelling.moc"
