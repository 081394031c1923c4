// The keyboard on the real window: each key with its modifiers against what
// it posts to the engine or changes in the window.
#include "EngineCommandType.h"
#include "PrimeToggleButton.h"
#include "StoreAndRecall.h"
#include "TransposeWidget.h"
#include "WendleNoteEvent.h"
#include "WindowRig.h"

#include <QPushButton>
#include <QSlider>
#include <QStackedWidget>
#include <QtTest>
#include <algorithm>

class TestKeys : public QObject
{
    Q_OBJECT

    WindowRig rig;
    QStringList mTypes;

    // The command types posted since the last call, read off the ring
    // offline, as the engine would read them.
    QString types()
    {
        EngineCommandList list;
        WindowRig::app()->engine().guiCommandBuffer().drain(list);
        for (qint64 i = 0; i < list.count; ++i)
            mTypes << QString::number(list.items[i]->type);
        return mTypes.join(QLatin1Char(' '));
    }

    QString litRows()
    {
        QStringList lit;
        for (int i = 0; i < TransposeWidget::PrimeCount; ++i) {
            if (rig.window->transposeWidget()->primeButton(i)->isHighlighted())
                lit << QString::number(i);
        }
        return lit.join(QLatin1Char(','));
    }

    QString state(const QString& kind)
    {
        MainWindow* w = rig.window.get();
        if (kind == "types")
            return types();
        if (kind == "volume")
            return QString::number(rig.child<QSlider>("volumeSlider")->value());
        if (kind == "row") // the row stored and the only row lit
            return QString("%1 %2 %3").arg(w->transposeRow()).arg(w->transposeWidget()->highlightedRow()).arg(litRows());
        if (kind == "chordRow")
            return QString::number(w->chordRow());
        if (kind == "absRel")
            return QString::number(WindowRig::app()->options().absRelView);
        if (kind == "page")
            return QString::number(rig.child<QStackedWidget>("centralStack")->currentIndex());
        if (kind == "asked")
            return rig.modals->seen.join(';');
        if (kind == "stored")
            return WindowRig::stored();
        if (kind.startsWith("checked:"))
            return rig.child<QAbstractButton>(qPrintable(kind.mid(8)))->isChecked() ? "1" : "0";
        return "unknown kind " + kind;
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

    void keys_data()
    {
        QTest::addColumn<int>("key");
        QTest::addColumn<int>("mods");
        QTest::addColumn<QString>("setup");
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("expected");
        const int none = Qt::NoModifier, ctrl = Qt::ControlModifier, alt = Qt::AltModifier, shift = Qt::ShiftModifier;
        QTest::newRow("Esc") << int(Qt::Key_Escape) << none << "" << "types" << "1";
        QTest::newRow("Alt+Esc") << int(Qt::Key_Escape) << alt << "" << "types" << "3";
        QTest::newRow("Ctrl+Alt+Esc") << int(Qt::Key_Escape) << ctrl + alt << "" << "types" << "2";
        QTest::newRow("Backspace") << int(Qt::Key_Backspace) << none << "transposed" << "types" << "15";
        QTest::newRow("= once") << int(Qt::Key_Equal) << none << "transposed" << "types" << "15";
        QTest::newRow("= untransposed") << int(Qt::Key_Equal) << none << "" << "types" << "";
        QTest::newRow("Left") << int(Qt::Key_Left) << none << "" << "types" << "15";
        QTest::newRow("Up at row 1") << int(Qt::Key_Up) << none << "" << "row" << "1 1 1";
        QTest::newRow("Down") << int(Qt::Key_Down) << none << "" << "row" << "2 2 2";
        QTest::newRow("Down at row 11") << int(Qt::Key_Down) << none << "row11" << "row" << "11 11 11";
        QTest::newRow("X at 2: fixed") << int(Qt::Key_X) << none << "" << "types" << "";
        QTest::newRow("X at 5") << int(Qt::Key_X) << none << "row3" << "types" << "23";
        QTest::newRow("Alt+X") << int(Qt::Key_X) << alt << "row3" << "types" << "5";
        QTest::newRow("1 recalls") << int(Qt::Key_1) << none << "slot1" << "types" << "34 39";
        QTest::newRow("J then 1: slot 11") << int(Qt::Key_1) << none << "rowJ" << "types" << "";
        QTest::newRow("Alt+1 in silence keeps") << int(Qt::Key_1) << alt << "slot1" << "stored" << "1:3/2";
        QTest::newRow("Alt+2 stores") << int(Qt::Key_2) << alt << "sounding" << "stored" << "2:7/4";
        QTest::newRow("U") << int(Qt::Key_U) << shift << "rowJ" << "chordRow" << "0";
        QTest::newRow("A") << int(Qt::Key_A) << none << "relative" << "absRel" << "1";
        QTest::newRow("Shift+A") << int(Qt::Key_A) << shift << "relative" << "absRel" << "0";
        QTest::newRow("Ctrl+A") << int(Qt::Key_A) << ctrl << "" << "checked:chordAdditiveRecallButton" << "1";
        QTest::newRow("Alt+A") << int(Qt::Key_A) << alt << "" << "types" << "14";
        QTest::newRow("Alt+R") << int(Qt::Key_R) << alt << "" << "types" << "8";
        QTest::newRow("Ctrl+Alt+R") << int(Qt::Key_R) << ctrl + alt << "" << "types" << "9";
        QTest::newRow("Ctrl+Alt+N") << int(Qt::Key_N) << ctrl + alt << "" << "types" << "7";
        QTest::newRow("Alt+N") << int(Qt::Key_N) << alt << "" << "types" << "6";
        QTest::newRow("Shift+N: otherwise") << int(Qt::Key_N) << shift << "" << "checked:normalizeRatiosButton" << "1";
        QTest::newRow("Ctrl+Alt+Z") << int(Qt::Key_Z) << ctrl + alt << "" << "types" << "5";
        QTest::newRow("Alt+Z") << int(Qt::Key_Z) << alt << "" << "types" << "4";
        QTest::newRow("Ctrl+T") << int(Qt::Key_T) << ctrl << "" << "checked:chordStoreToButton" << "1";
        QTest::newRow("Alt+T") << int(Qt::Key_T) << alt << "" << "types" << "13";
        QTest::newRow("Shift+C") << int(Qt::Key_C) << shift << "" << "checked:tonebudColourButton" << "0";
        QTest::newRow("Ctrl+C") << int(Qt::Key_C) << ctrl << "" << "checked:chordClearButton" << "1";
        QTest::newRow("Alt+C") << int(Qt::Key_C) << alt << "slot1" << "asked" << "|Clear all memory?";
        QTest::newRow("B") << int(Qt::Key_B) << none << "" << "checked:tonebudBWButton" << "1";
        QTest::newRow("F") << int(Qt::Key_F) << none << "grapes" << "page" << "0";
        QTest::newRow("G") << int(Qt::Key_G) << none << "circles" << "page" << "1";
        QTest::newRow("Alt+G") << int(Qt::Key_G) << alt << "gliss" << "types" << "33 32";
        QTest::newRow("Shift+H") << int(Qt::Key_H) << shift << "" << "types" << "";
        QTest::newRow("H") << int(Qt::Key_H) << none << "" << "types" << "40";
        QTest::newRow("Alt+H") << int(Qt::Key_H) << alt << "" << "types" << "40";
        QTest::newRow("M") << int(Qt::Key_M) << none << "" << "types" << "20";
        QTest::newRow("Alt+M") << int(Qt::Key_M) << alt << "defaults" << "types" << "24";
        QTest::newRow("Alt+S") << int(Qt::Key_S) << alt << "defaults gliss" << "types" << "24 33 32";
        QTest::newRow("P") << int(Qt::Key_P) << none << "" << "types" << "20";
        QTest::newRow("K at 1") << int(Qt::Key_K) << none << "vol1" << "volume" << "1";
        QTest::newRow("Shift+K at 10") << int(Qt::Key_K) << shift << "vol10" << "volume" << "8";
        QTest::newRow("Ctrl+K") << int(Qt::Key_K) << ctrl << "vol10" << "volume" << "0";
        QTest::newRow("O at 139") << int(Qt::Key_O) << none << "vol139" << "volume" << "139";
        QTest::newRow("O at 10") << int(Qt::Key_O) << none << "vol10" << "volume" << "12";
        QTest::newRow("Ctrl+O") << int(Qt::Key_O) << ctrl << "vol10" << "volume" << "105";
        QTest::newRow("Ctrl+S, no set") << int(Qt::Key_S) << ctrl << "" << "types" << "";
    }

    void keys()
    {
        QFETCH(int, key);
        QFETCH(int, mods);
        QFETCH(QString, setup);
        QFETCH(QString, kind);
        QFETCH(QString, expected);
        MainWindow* w = rig.window.get();
        WindowRig::post(WendleEvent(TransposeByPrime, 0.0f));
        WindowRig::sound("");
        WindowRig::app()->chordStore().chords.clear();
        w->refreshChordButtons();
        for (int i = 0; i < 10; ++i)
            QTest::keyClick(w, Qt::Key_Up);
        QTest::keyClick(w, Qt::Key_U);
        for (const char* name : { "chordAdditiveRecallButton", "chordAlternatingRecallButton", "chordStoreToButton",
                                  "chordClearButton", "normalizeRatiosButton", "tonebudColourButton", "tonebudBWButton" })
            rig.child<QAbstractButton>(name)->setChecked(false);
        WindowRig::app()->options().absRelView = 1;
        if (setup == "transposed")
            WindowRig::post(WendleEvent(TransposeByPrime, 3.0f));
        if (setup == "rowJ")
            QTest::keyClick(w, Qt::Key_J);
        for (int i = 1; setup.startsWith("row") && i < setup.mid(3).toInt(); ++i)
            QTest::keyClick(w, Qt::Key_Down);
        if (setup == "grapes" || setup == "circles")
            w->onSwitcherClicked(setup);
        if (setup.contains("gliss")) {
            rig.child<QSlider>("glissSliderBig")->setValue(100);
            rig.child<QSlider>("glissFineSliderBig")->setValue(100);
        }
        if (setup == "slot1") {
            WindowRig::app()->chordStore().chords.insert(1, { WendleRatio(3, 2) });
            w->refreshChordButtons();
        }
        if (setup == "sounding")
            WindowRig::sound("7/4");
        if (setup == "relative")
            WindowRig::app()->options().absRelView = 0;
        if (setup.startsWith("defaults"))
            w->onMacroDefaultsReceived({ 0.5f });
        if (setup.startsWith("vol"))
            rig.child<QSlider>("volumeSlider")->setValue(setup.mid(3).toInt());
        types();
        mTypes.clear();
        rig.modals->seen.clear();

        QTest::keyClick(w, Qt::Key(key), Qt::KeyboardModifiers(mods));
        // Clicks are animated: the button shows down, and clicks as it comes up.
        const QList<QAbstractButton*> buttons = w->findChildren<QAbstractButton*>();
        QTRY_VERIFY(std::none_of(buttons.begin(), buttons.end(), [](const QAbstractButton* b) { return b->isDown(); }));
        QCoreApplication::processEvents();
        QTRY_COMPARE(state(kind), expected);
        if (setup == "rowJ" && kind == "types") {
            WindowRig::app()->chordStore().chords.insert(11, { WendleRatio(5, 4) });
            QTest::keyClick(w, Qt::Key_1);
            QTRY_COMPARE(state(kind), QString("34 39"));
            QVERIFY(w->chordButtons().at(10)->isChecked() && !w->chordButtons().at(0)->isChecked());
        }
    }

    // Ctrl+G hides the gliss sliders and brings back the ones shown before.
    void glissToggle()
    {
        MainWindow* w = rig.window.get();
        QTest::mouseClick(rig.child<QPushButton>("glissFineButton"), Qt::LeftButton);
        QVERIFY(rig.child<QWidget>("glissFineSliderBig")->isVisible() && !rig.child<QWidget>("glissSliderBig")->isVisible());
        QTest::keyClick(w, Qt::Key_G, Qt::ControlModifier);
        QVERIFY(!rig.child<QWidget>("glissFineSliderBig")->isVisible() && !rig.child<QWidget>("glissCLineCenter")->isVisible());
        QVERIFY(!rig.child<QPushButton>("glissFineButton")->isChecked());
        QTest::keyClick(w, Qt::Key_G, Qt::ControlModifier);
        QVERIFY(rig.child<QWidget>("glissFineSliderBig")->isVisible() && rig.child<QWidget>("glissCLineCenter")->isVisible());
        QVERIFY(rig.child<QPushButton>("glissFineButton")->isChecked() && !rig.child<QPushButton>("glissButton")->isChecked());
    }

    void altRelease_data()
    {
        QTest::addColumn<QString>("slider");
        QTest::addColumn<QList<float>>("defaults");
        QTest::addColumn<QString>("how");
        QTest::addColumn<int>("after");
        QTest::newRow("volume") << "volumeSlider" << QList<float>() << "alt" << 105;
        QTest::newRow("volume, no Alt") << "volumeSlider" << QList<float>() << "" << 50;
        QTest::newRow("volume, Alt+Tab") << "volumeSlider" << QList<float>() << "alt away" << 50;
        QTest::newRow("gliss") << "glissSliderBig" << QList<float>() << "alt" << 200;
        QTest::newRow("macro 2") << "macroSlider2" << QList<float> { 0.5f, 0.25f } << "alt" << 30;
        QTest::newRow("macro 3, short list") << "macroSlider3" << QList<float> { 0.5f, 0.25f } << "alt" << 50;
        QTest::newRow("macro 1, no default") << "macroSlider1" << QList<float> { -1.0f } << "alt" << 50;
    }

    // Released with Alt held a slider jumps to its default and sends it.
    void altRelease()
    {
        QFETCH(QString, slider);
        QFETCH(QList<float>, defaults);
        QFETCH(QString, how);
        QFETCH(int, after);
        MainWindow* w = rig.window.get();
        w->onMacroDefaultsReceived(defaults);
        auto s = rig.child<QSlider>(qPrintable(slider));
        s->setValue(50);
        types();
        mTypes.clear();
        if (how.contains("alt"))
            QTest::keyPress(w, Qt::Key_Alt, Qt::AltModifier);
        QWidget other;
        if (how.contains("away")) {
            other.show();
            QApplication::setActiveWindow(&other);
            QTRY_VERIFY(!w->altDown());
        }
        s->setSliderDown(true);
        s->setSliderDown(false);
        QTest::keyRelease(w, Qt::Key_Alt);
        QApplication::setActiveWindow(w);
        QCOMPARE(s->value(), after);
        QCOMPARE(types().isEmpty(), after == 50);
        QVERIFY(!w->altDown());
    }

    // The hidden mode buttons set one interaction mode at a time.
    void interactionModes()
    {
        auto toggle = rig.child<QPushButton>("toggleModeButton");
        auto remove = rig.child<QPushButton>("removeModeButton");
        toggle->click();
        QCOMPARE(WindowRig::app()->interactionMode, qint16(1));
        remove->click();
        QVERIFY(!toggle->isChecked());
        QCOMPARE(WindowRig::app()->interactionMode, qint16(3));
        remove->click();
        QCOMPARE(WindowRig::app()->interactionMode, qint16(0));
    }
};

WINDOW_TEST_MAIN(TestKeys)
#include "tst_keys.moc"
