#include "CardStackTwoWidget.h"
#include "CardStackWidget.h"
#include "CardWidget.h"
#include "EngineCommandType.h"
#include "NotationGlyph.h"
#include "NotationGraphics.h"
#include "PageRig.h"
#include "WendleBallWidget.h"
#include "WendleNoteEvent.h"

#include <QLabel>
#include <QSvgRenderer>
#include <QtTest>
#include <cmath>

namespace {

int gWarnings = 0;

void countWarnings(QtMsgType type, const QMessageLogContext&, const QString&)
{
    gWarnings += type == QtWarningMsg;
}

QString text(const CardWidget* card, const char* label)
{
    return card->findChild<QLabel*>(QLatin1String(label))->text();
}

WendleRatio ratioOf(const QString& text)
{
    return WendleRatio(text.section('/', 0, 0).toULongLong(), text.section('/', 1).toULongLong());
}

// Sounds a lattice path ("/3") by its ball or a bare ratio ("7/5") by
// engine command, and returns its card.
CardWidget* sound(PageRig& rig, const QString& source)
{
    if (source.startsWith(QLatin1Char('/'))) {
        rig.click(rig.item(source));
        return rig.page.cardStack()->cards().value(rig.item(source));
    }
    rig.post(WendleNoteEvent(ToggleRatioNote, 1.0f, WendlePath(), ratioOf(source)));
    return rig.page.cardStackTwo()->cards().value(ratioOf(source));
}

} // namespace

// Cards of sounding balls and ratios, with the program's style sheet, on a
// page whose engine runs offline. 1/1 is 440 Hz, which is also A4.
class TestCardWidget : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(PageRig::initProcess());
        QVERIFY(PageRig::applyStyleSheet());
    }

    // By hand from A4: /3 a fifth up is E5; /-2/7 an octave down and a
    // minor seventh up, G4; 7/5 a minor seventh up (G5) and a major third
    // down, 4 semitones below G: E flat; /-2/-2 is A2; /2/3/3 is B6, two
    // octaves above the staff's reach, so written with "15". Staff positions
    // in half spaces down from the top line: E5 the top space, G4 the second
    // line from the bottom, A2 the bass staff's bottom space.
    void labels_data()
    {
        QTest::addColumn<QString>("source");
        QTest::addColumn<QString>("note"); // letter, accidental, octave
        QTest::addColumn<QString>("exact");
        QTest::addColumn<QString>("ratio");
        QTest::addColumn<QString>("hz");
        QTest::addColumn<float>("position");
        QTest::addColumn<QString>("shift");
        QTest::newRow("/3") << "/3" << "E 0 5" << "3/2" << "3/2" << "660.000 Hz" << 0.5f << "";
        QTest::newRow("/-2/7") << "/-2/7" << "G 0 4" << "7/8" << "7/4" << "385.000 Hz" << 3.0f << "";
        QTest::newRow("7/5 without a ball") << "7/5" << "E -1 5" << "7/5" << "7/5" << "616.000 Hz" << 0.5f << "";
        QTest::newRow("/-2/-2 in the bass") << "/-2/-2" << "A 0 2" << "1/4" << "1/1" << "110.000 Hz" << 3.5f << "";
        QTest::newRow("/2/3/3, 15 down") << "/2/3/3" << "B 0 6" << "9/2" << "9/8" << "1980.00 Hz" << 2.0f << "15";
        // 3^20 / 2^31, 20 fifths and 11 octaves down from A: the 17th fifth
        // would be F triple sharp, so the nearest spelling: 839.1 cents above
        // A4 is F5 + 39.1, on the top line. A numerator above 2^31 - 1 is not shown.
        QTest::newRow("3^20/2^31 out of bounds") << "3486784401/2147483648" << "F 0 5" << "3486784401/2147483648"
                                                 << "out of\nbounds" << "714.411 Hz" << 0.0f << "";
    }

    void labels()
    {
        QFETCH(QString, source);
        QFETCH(QString, note);
        QFETCH(QString, exact);
        QFETCH(QString, ratio);
        QFETCH(QString, hz);
        QFETCH(float, position);
        QFETCH(QString, shift);
        PageRig rig(0);
        rig.settings.centsShowDecimals = 2;
        CardWidget* card = sound(rig, source);
        QVERIFY(card && card->isVisible());
        QCOMPARE(rig.sounding(), QStringList { exact });
        QCOMPARE(card->objectName(), QString(source.startsWith('/') ? "" : "CardAtStack2"));
        const QStringList n = note.split(' ');
        QCOMPARE(text(card, "noteLabel") + ' ' + text(card, "octaveLabel"), n[0] + ' ' + n[2]);
        QCOMPARE(card->staffAccidental()->isVisibleTo(card), n[1] != "0");
        QCOMPARE(text(card, "ratioLabel"), ratio);
        QCOMPARE(text(card, "freqLabel"), hz);
        QCOMPARE(text(card, "octaveShiftLabel"), shift);
        QCOMPARE(card->staffPosition(), position);
        const int number = NoteSpelling::LetterOffsets[QString("CDEFGAB").indexOf(n[0])] + n[1].toInt() + 12 * n[2].toInt();
        const long double cents = 1200.0L * std::log2((long double)ratioOf(exact).toDouble()) + 5700.0L - 100.0L * number;
        const QString shown = text(card, "centsLabel");
        QVERIFY2(std::fabs(shown.toDouble() - double(cents)) < 0.006, qPrintable(shown));
        // The style sheet sizes the card, and nothing of it falls outside.
        QCOMPARE(card->size(), QSize(172, 92));
        for (QWidget* child : card->findChildren<QWidget*>())
            QVERIFY(!child->isVisibleTo(card) || card->rect().contains(child->geometry()));
    }

    // Bare ratios with odd frequencies: a frequency without a logarithm warns
    // once and the card still shows ratio and frequency; cents that round to
    // zero from below read "+0". 1200 log2(439.999 / 440) = -0.0039 cents;
    // 439.99 Hz gives -0.039.
    void bareRatio_data()
    {
        QTest::addColumn<double>("calibration");
        QTest::addColumn<float>("base");
        QTest::addColumn<int>("decimals");
        QTest::addColumn<QString>("ratio");
        QTest::addColumn<QString>("shown"); // note, cents, ratio, frequency
        QTest::addColumn<int>("warnings");
        QTest::newRow("base 0") << 440.0 << 0.0f << 0 << "3/2" << "A|+0|3/2|0.00000 Hz" << 1;
        QTest::newRow("calibration NaN") << std::nan("") << 440.0f << 0 << "3/2" << "A|+0|3/2|660.000 Hz" << 1;
        QTest::newRow("calibration negative") << -440.0 << 440.0f << 0 << "3/2" << "A|+0|3/2|660.000 Hz" << 1;
        QTest::newRow("-0.004 cents") << 440.0 << 439.999f << 2 << "1/1" << "A|+0.00|1/1|439.999 Hz" << 0;
        QTest::newRow("-0.04 cents, no decimals") << 440.0 << 439.99f << 0 << "1/1" << "A|+0|1/1|439.990 Hz" << 0;
        QTest::newRow("-0.04 cents, two") << 440.0 << 439.99f << 2 << "1/1" << "A|-0.04|1/1|439.990 Hz" << 0;
    }

    void bareRatio()
    {
        QFETCH(double, calibration);
        QFETCH(float, base);
        QFETCH(int, decimals);
        QFETCH(QString, ratio);
        QFETCH(QString, shown);
        QFETCH(int, warnings);
        PageRig rig(0);
        rig.settings.calibrationFrequency = calibration;
        rig.settings.baseFrequency = base;
        rig.settings.centsShowDecimals = decimals;
        rig.lattice.baseFrequency = base;
        gWarnings = 0;
        const QtMessageHandler previous = qInstallMessageHandler(countWarnings);
        rig.page.cardStackTwo()->addCard(ratioOf(ratio));
        qInstallMessageHandler(previous);
        QCOMPARE(gWarnings, warnings);
        const CardWidget* card = rig.page.cardStackTwo()->cards().value(ratioOf(ratio));
        QStringList texts;
        for (const char* label : { "noteLabel", "centsLabel", "ratioLabel", "freqLabel" })
            texts << text(card, label);
        QCOMPARE(texts.join('|'), shown);
    }

    // The note head's own pixels take the colour of the highest prime,
    // black too, and every recoloured graphic still parses.
    void primeColour_data()
    {
        QTest::addColumn<QString>("source");
        QTest::addColumn<int>("prime");
        QTest::addColumn<QColor>("colour");
        QTest::newRow("/3") << "/3" << 3 << QColor();
        QTest::newRow("7/5") << "7/5" << 7 << QColor();
        QTest::newRow("/5 in black") << "/5" << 5 << QColor(Qt::black);
    }

    void primeColour()
    {
        QFETCH(QString, source);
        QFETCH(int, prime);
        QFETCH(QColor, colour);
        PageRig rig(0);
        if (colour.isValid())
            rig.lattice.primeColors.insert(prime, colour);
        colour = rig.lattice.primeColor(prime);
        CardWidget* card = sound(rig, source);
        QCOMPARE(card->colourPrime(), prime);
        const QImage image = card->grab().toImage();
        const QRect head = card->noteHead()->geometry();
        int matching = 0;
        for (int y = head.top(); y <= head.bottom(); ++y) {
            for (int x = head.left(); x <= head.right(); ++x)
                matching += image.pixelColor(x, y).rgb() == colour.rgb();
        }
        QVERIFY2(matching >= 12, qPrintable(QString::number(matching)));
        const NotationGraphics& n = *rig.page.notation();
        for (int i = 0; i < NotationGraphics::Count; ++i) {
            const QByteArray svg = card->colourSvg(n[i], prime);
            QVERIFY(QSvgRenderer(svg).isValid());
            const QByteArray hex = colour.name().toLatin1();
            QCOMPARE(svg.count("fill:" + hex) + svg.count("stroke:" + hex),
                     n[i].count("fill:#000000") + n[i].count("stroke:#000000"));
        }
    }

    // Each gesture changes what the engine sounds, or its transposition, once.
    void gestures_data()
    {
        QTest::addColumn<QString>("source");
        QTest::addColumn<QString>("gesture");
        QTest::addColumn<QString>("after"); // what sounds; the transposition
        QTest::newRow("shift on /3") << "/3" << "shift" << "3/2; 3/2";
        QTest::newRow("shift on 7/5") << "7/5" << "shift" << "7/5; 7/5";
        QTest::newRow("ctrl on /3") << "/3" << "ctrl" << "; 1/1";
        QTest::newRow("right with alt on 7/5") << "7/5" << "right" << "; 1/1";
        QTest::newRow("double on 7/5") << "7/5" << "double" << "; 1/1";
        QTest::newRow("double on /3") << "/3" << "double" << "; 1/1";
        QTest::newRow("plain on /3") << "/3" << "plain" << "3/2; 1/1";
        QTest::newRow("shift+ctrl on 7/5") << "7/5" << "shift+ctrl" << "7/5; 1/1";
    }

    void gestures()
    {
        QFETCH(QString, source);
        QFETCH(QString, gesture);
        QFETCH(QString, after);
        PageRig rig(0);
        CardWidget* card = sound(rig, source);
        const QPoint centre = card->rect().center();
        if (gesture == "double")
            QTest::mouseDClick(card, Qt::LeftButton, {}, centre);
        else if (gesture == "right")
            QTest::mouseClick(card, Qt::RightButton, Qt::AltModifier, centre);
        else
            QTest::mouseClick(card, Qt::LeftButton,
                              (gesture.contains("shift") ? Qt::ShiftModifier : Qt::NoModifier)
                                  | (gesture.contains("ctrl") ? Qt::ControlModifier : Qt::NoModifier),
                              centre);
        rig.run();
        rig.run();
        QCOMPARE(rig.sounding().join(' ') + "; " + rig.lattice.transpositionRatio.toString(false), after);
    }

    // Tonebud notation of 1001/640 = 7 x 11 x 13 / (5 x 2^7): a large arrow
    // each way and a head for each further prime up; or the primes as
    // labels, with a count for a prime taken twice (539/640 = 7^2 x 11 /
    // (5 x 2^7)). One decimal fewer: 688.1875 and 370.5625 Hz.
    void tonebud_data()
    {
        QTest::addColumn<int>("mode");
        QTest::addColumn<QString>("source");
        QTest::addColumn<int>("arrows");
        QTest::addColumn<QStringList>("labels");
        QTest::addColumn<QString>("hz");
        QTest::newRow("arrows") << 1 << "1001/640" << 4 << QStringList {} << "688.19 Hz";
        QTest::newRow("labels") << 2 << "1001/640" << 0 << QStringList { "5", "7,11,13" } << "688.19 Hz";
        QTest::newRow("labels, a count") << 2 << "539/640" << 0
                                         << QStringList { "5", "7<sup style=\"font-size:11pt\">2</sup>,11" } << "370.56 Hz";
    }

    void tonebud()
    {
        QFETCH(int, mode);
        QFETCH(QString, source);
        QFETCH(int, arrows);
        QFETCH(QStringList, labels);
        QFETCH(QString, hz);
        PageRig rig(0);
        rig.settings.toneBudNotation = mode;
        const CardWidget* card = sound(rig, source);
        QCOMPARE(card->tonebudArrows().size(), arrows);
        QCOMPARE(card->findChildren<NotationGlyph*>("lastArrow").size(), std::max(0, arrows - 2));
        for (const NotationGlyph* arrow : card->tonebudArrows())
            QVERIFY(arrow->renderer()->isValid() && card->rect().contains(arrow->geometry()));
        QStringList shown;
        for (const QLabel* l : card->findChildren<QLabel*>("SGBWLabel"))
            shown << l->text();
        QCOMPARE(shown, labels);
        QCOMPARE(card->downStem().isNull(), labels.isEmpty());
        QCOMPARE(text(card, "freqLabel"), hz);
        // The arrows carry the primes; the note head takes the colour of 1.
        QCOMPARE(card->colourPrime(), 1);
    }
};

QTEST_MAIN(TestCardWidget)
#include "tst_cardwidget.moc"
