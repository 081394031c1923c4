// Volume, macros and the transpose row on the real window and engine: what
// each control sends, and how the engine's answers come back.
#include "EngineCommandType.h"
#include "PrimeToggleButton.h"
#include "TransposeButton.h"
#include "TransposeWidget.h"
#include "Wendle.h"
#include "WindowRig.h"

#include <QLabel>
#include <QSlider>
#include <QtTest>
#include <cmath>

class TestControls : public QObject
{
    Q_OBJECT

    WindowRig rig;
    PdPlayer& engine() { return WindowRig::app()->engine(); }
    TransposeWidget* row() { return rig.window->transposeWidget(); }
    QSlider* slider(const QString& name) { return rig.child<QSlider>(qPrintable(name)); }

    // What a widget paints on a transparent ground.
    static QImage painted(QWidget* w)
    {
        QImage image(w->size(), QImage::Format_ARGB32);
        image.fill(Qt::transparent);
        w->render(&image, QPoint(), QRegion(), QWidget::DrawChildren);
        return image;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(WindowRig::prepare());
        QVERIFY(rig.open());
    }

    void cleanupTestCase()
    {
        rig.window.reset();
        WindowRig::finish();
    }

    // The slider sends its share of the range; the engine's answer moves it without a second command.
    void volume()
    {
        for (const auto& [value, sent] : { std::pair { 140, 1.0f }, { 0, 0.0f }, { 70, 0.5f } }) {
            slider("volumeSlider")->setValue(value);
            WindowRig::run();
            QCOMPARE(engine().masterVolume(), sent);
        }
        WindowRig::post(WendleEvent(MasterVolumeSet, 0.75f));
        QCOMPARE(slider("volumeSlider")->value(), 105);
        QCOMPARE(WindowRig::freeSlots(), 255);
    }

    // Sine names three macros; macro 3 at 90 is one command, and its echo none.
    void macros()
    {
        for (int i = 1; i <= 8; ++i) {
            auto label = rig.child<QLabel>(qPrintable(QString("macroLabel%1").arg(i)));
            QCOMPARE(label->text() == "Unused", i > 3);
            QCOMPARE(slider(QString("macroSlider%1").arg(i))->isEnabled(), i <= 3);
            QCOMPARE(label->isEnabled(), i <= 3);
        }
        QCOMPARE(rig.child<QLabel>("macroLabel1")->text(), engine().macroNames().value(0).left(1).toUpper() + engine().macroNames().value(0).mid(1).toLower());
        slider("macroSlider3")->setValue(90);
        QCOMPARE(WindowRig::freeSlots(), 254);
        WindowRig::run();
        QCOMPARE(engine().macro(3), 0.75f);
        QCOMPARE(slider("macroSlider3")->value(), 90);
        QCOMPARE(WindowRig::freeSlots(), 255);
    }

    // Answers that do not fit eight macros never reach other commands or undefined conversions.
    void oddAnswers()
    {
        MainWindow* w = rig.window.get();
        const float glissBefore = engine().glissPosition(0);
        w->onMacroDefaultsReceived({ NAN, 1.5f, -1.0f, 0.25f, 0.5f, 0.5f, 0.5f, 0.5f, 0.9f, 0.9f });
        QCOMPARE(255 - WindowRig::freeSlots(), 6);
        WindowRig::run();
        QCOMPARE(engine().macro(2), 1.0f);
        QCOMPARE(engine().macro(4), 0.25f);
        QCOMPARE(engine().glissPosition(0), glissBefore);
        w->onMacroNamesReceived({ "a", "", "c", "d", "e", "f", "g", "h", "i", "j" });
        QCOMPARE(rig.child<QLabel>("macroLabel8")->text(), QString("H"));
        QVERIFY(!slider("macroSlider2")->isEnabled() && slider("macroSlider8")->isEnabled());
        slider("macroSlider5")->setValue(12);
        WindowRig::run();
        for (const auto& [macro, value] : { std::pair { 0, 0.5f }, { 9, 0.5f }, { 5, NAN }, { 5, 1e30f } })
            w->onMacroValueChanged(macro, value);
        QCOMPARE(slider("macroSlider5")->value(), 120);
        QCOMPARE(WindowRig::freeSlots(), 255);
    }

    void transposeRow_data()
    {
        QTest::addColumn<QList<int>>("steps");
        QTest::addColumn<float>("base");
        QTest::addColumn<QString>("labels"); // "-p/+p:text" of every arrow with a text
        QTest::addColumn<QString>("coloured"); // arrows drawn in their prime's colour
        QTest::addColumn<QString>("hidden"); // arrows disabled and unpainted
        QTest::newRow("none") << QList<int>() << 440.0f << "" << "" << "";
        QTest::newRow("3 3 -5") << QList<int> { 3, 3, -5 } << 440.0f << "+3:+2 -5:-1" << "+3 -5" << "";
        QTest::newRow("high base") << QList<int>() << 19000.0f << "" << "" << "+2 +3 +5 +7 +11 +13 +17 +19 +23 +29 +31";
        QTest::newRow("low base") << QList<int>() << 21.0f << "" << "" << "-2 -3 -5 -7 -11 -13 -17 -19 -23 -29 -31";
    }

    void transposeRow()
    {
        QFETCH(QList<int>, steps);
        QFETCH(float, base);
        QFETCH(QString, labels);
        QFETCH(QString, coloured);
        QFETCH(QString, hidden);
        WindowRig::post(WendleEvent(TransposeByPrime, 0.0f));
        WindowRig::post(WendleEvent(SetBaseFrequency, base));
        for (int s : steps)
            WindowRig::post(WendleEvent(TransposeByPrime, float(s)));
        QStringList seenLabels, seenColoured, seenHidden;
        const Wendle& lattice = WindowRig::app()->lattice();
        for (int i = 1; i < TransposeWidget::PrimeCount; ++i) {
            for (TransposeButton* b : { row()->downButton(i), row()->upButton(i) }) {
                const QString name = QString::asprintf("%+d", b->stepValue());
                if (!b->countLabel()->text().isEmpty())
                    seenLabels << name + ':' + b->countLabel()->text();
                const QImage image = painted(b);
                const QColor centre = image.pixelColor(image.width() / 2, image.height() / 2);
                if (!b->isEnabled()) {
                    QImage blank(image.size(), image.format());
                    blank.fill(Qt::transparent);
                    QVERIFY2(image == blank, qPrintable(name));
                    seenHidden << name;
                    const int free = WindowRig::freeSlots();
                    QMetaObject::invokeMethod(b, "onTransposeClicked");
                    QCOMPARE(WindowRig::freeSlots(), free);
                } else if (centre == lattice.primeColor(std::abs(b->stepValue()))) {
                    seenColoured << name;
                }
            }
        }
        QCOMPARE(seenLabels.join(' '), labels);
        QCOMPARE(seenColoured.join(' '), coloured);
        QCOMPARE(seenHidden.join(' '), hidden);
        QCOMPARE(row()->resetButtonWidget()->isEnabled(), !steps.isEmpty());

        // "=" posts one command a click, though the row and the window both connect it.
        if (!steps.isEmpty()) {
            QTest::mouseClick(row()->resetButtonWidget(), Qt::LeftButton);
            QCOMPARE(255 - WindowRig::freeSlots(), 1);
            WindowRig::run();
            QVERIFY(lattice.transpositionPath().isEmpty());
        }
        WindowRig::post(WendleEvent(SetBaseFrequency, 440.0f));
    }

    // A prime button shows what the engine has: a toggle from elsewhere, or a command that never got there.
    void primeButtons()
    {
        PrimeToggleButton* five = row()->primeButton(3);
        QVERIFY(!row()->primeButton(2)->isEnabled() && five->isChecked());
        WindowRig::post(WendleEvent(TogglePrime, 5.0f));
        QVERIFY(!five->isChecked() && !engine().primeEnabled(5));
        QTest::mouseClick(five, Qt::LeftButton);
        WindowRig::run();
        QVERIFY(five->isChecked() && engine().primeEnabled(5));
        const WendleEvent filler(NodesRecalled, 1.0f);
        while (WindowRig::freeSlots() > 0)
            engine().guiCommandBuffer().post(&filler);
        QTest::mouseClick(five, Qt::LeftButton);
        QVERIFY(five->isChecked());
        EngineCommandList drained;
        engine().guiCommandBuffer().drain(drained);
        // Both shadows stay on until each is switched off.
        row()->highlight(4, true);
        row()->highlight(6, true);
        row()->highlight(4, false);
        QVERIFY(!row()->primeButton(4)->isHighlighted() && row()->primeButton(6)->isHighlighted());
        row()->highlight(12, true);
        row()->transposeUp(0);
        row()->highlight(6, false);
    }
};

WINDOW_TEST_MAIN(TestControls)
#include "tst_controls.moc"
