#include "EngineCommandType.h"
#include "EngineRig.h"
#include "PdPlayerTestSupport.h"
#include "RatioContext.h"
#include "SignalLog.h"
#include "WarningCatcher.h"
#include "WendleNodeRemoveEvent.h"
#include "WendleNodeResetEvent.h"
#include "WendleNoteEvent.h"
#include "WendleTransposeEvent.h"

#include <QtTest>

#include <atomic>
#include <limits>
#include <thread>

using namespace PdPlayerTest;

// Command dispatch: what each command type does to the engine, what it
// refuses, and the selection, transposition, replay and resets it drives.
class TestPdPlayer : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { initLibpd(); }
    void init() { initTest(); }

    void ignoredCommands_data()
    {
        QTest::addColumn<int>("type");
        QTest::addColumn<QString>("path"); // for type 0: an invalid path
        QTest::newRow("43") << 43 << QString();
        QTest::newRow("-1") << -1 << QString();
        QTest::newRow("min") << std::numeric_limits<int>::min() << QString();
        QTest::newRow("max") << std::numeric_limits<int>::max() << QString();
        QTest::newRow("0, invalid path") << 0 << "/4";
        QTest::newRow("0, invalid marker before steps") << 0 << "marked";
    }

    void ignoredCommands()
    {
        QFETCH(int, type);
        QFETCH(QString, path);
        EngineRig rig;
        rig.toggle(R(5, 4));
        rig.togglePath({ 3 });
        rig.select(R(7, 4));
        clearSent();
        const QStringList before = stateOf(*rig);
        SignalLog log(rig.get());
        if (path.isEmpty()) {
            rig.exec(type);
            rig.exec(WendleNoteEvent(type, 2.0f, WendlePath::fromSteps({ 3 }), R(5, 4)));
            rig.exec(WendleTransposeEvent(type, 1.0f, R(3, 2)));
        } else {
            WendlePath invalid = WendlePath::fromSteps({ 3 });
            if (path == "marked")
                invalid.steps[0] = WendlePath::InvalidMarker;
            else
                invalid.fromText(path);
            QVERIFY(invalid.isInvalid());
            rig.exec(WendleNoteEvent(TogglePathNote, 1.0f, invalid, WendleRatio()));
        }
        QCOMPARE(log.take(), L{});
        QCOMPARE(sent().size(), 0);
        QCOMPARE(stateOf(*rig), before);
        QVERIFY(!rig->voiceOf(R(5, 4))->inRelease && !rig->voiceOf(R(3, 2))->inRelease);
        QCOMPARE(rig->selection(), QList<WendleRatio>{ R(7, 4) });
    }

    void togglePathNote_data()
    {
        QTest::addColumn<QList<int>>("steps");
        QTest::addColumn<int>("transposeStep"); // the player's own, by type 15
        QTest::newRow("root") << QList<int>{} << 0;
        QTest::newRow("fifth an octave down") << QList<int>{ 3, -2 } << 0;
        QTest::newRow("third, transposed up a fifth") << QList<int>{ 5 } << 3;
        QTest::newRow("two steps, transposed by -11") << QList<int>{ 13, -5 } << -11;
        QTest::newRow("six steps") << QList<int>{ 3, 3, -5, 7, -2, 11 } << 0;
    }

    void togglePathNote()
    {
        QFETCH(QList<int>, steps);
        QFETCH(int, transposeStep);
        EngineRig rig;
        if (transposeStep != 0)
            rig.exec(TransposeByPrime, float(transposeStep));
        const WendleRatio expected(pathRatio(steps) * (transposeStep ? stepInterval(transposeStep) : Rational(1, 1)));
        SignalLog log(rig.get(), { "noteToggled" });
        rig.togglePath(steps);
        QCOMPARE(parameters(sent(0)), NoteOnOrder);
        QCOMPARE(sent(0).at(8).value, frequency(expected));
        rig.togglePath(steps);
        // Toggled while in release: sounds again, on a voice of its own.
        rig.togglePath(steps);
        QCOMPARE(rig->voiceOf(expected)->voice, 1);
        QCOMPARE(log.take(), (L{ entry("noteToggled", expected, true), entry("noteToggled", expected, false),
                                 entry("noteToggled", expected, true) }));
    }

    void togglePathNotePrimeOff_data()
    {
        QTest::addColumn<QList<int>>("steps");
        QTest::addColumn<int>("prime");
        QTest::newRow("last step 5") << QList<int>{ 3, 5 } << 5;
        QTest::newRow("last step -7") << QList<int>{ 3, -7 } << 7;
        QTest::newRow("root, entry 0 of the prime list") << QList<int>{} << primeList[0];
    }

    // A path whose last prime is switched off neither sounds nor stops.
    void togglePathNotePrimeOff()
    {
        QFETCH(QList<int>, steps);
        QFETCH(int, prime);
        EngineRig rig;
        rig.togglePath(steps);
        rig.exec(TogglePrime, float(prime));
        SignalLog log(rig.get(), { "noteToggled" });
        clearSent();
        rig.togglePath(steps);
        if (!steps.isEmpty())
            rig.togglePath(QList<int>{ 2 } + steps);
        QCOMPARE(sent().size(), 0);
        rig.togglePath({ 13 });
        rig.exec(TogglePrime, float(prime));
        rig.togglePath(steps);
        QCOMPARE(log.take(), (L{ "noteToggled(13/8,true)", entry("noteToggled", WendleRatio(pathRatio(steps)), false) }));
    }

    void everyDeselectionReportsItsNode_data()
    {
        QTest::addColumn<int>("type"); // -1: patch close
        QTest::addColumn<bool>("reselected");
        QTest::newRow("3 deselect all") << int(DeselectAll) << false;
        QTest::newRow("4 reset selected") << int(ResetSelectedNodes) << true;
        QTest::newRow("5 reset selected, deselect") << int(ResetSelectedNodesAndDeselect) << false;
        QTest::newRow("6 reset altered") << int(ResetAlteredNodes) << true;
        QTest::newRow("9 reset all, deselect") << int(ResetAllParametersAndDeselect) << false;
        QTest::newRow("12 gliss reset") << int(NodeResetGliss) << true;
        QTest::newRow("patch close") << -1 << false;
    }

    // Each deselected node is announced by its own ratio, once.
    void everyDeselectionReportsItsNode()
    {
        QFETCH(int, type);
        QFETCH(bool, reselected);
        EngineRig rig;
        if (type < 0)
            QVERIFY(rig->loadPendingPatch(dataDir(), QStringLiteral("engine_macros.pd")));
        for (const WendleRatio& r : { R(5, 4), R(3, 2), R(7, 4) })
            rig.select(r);
        SignalLog log(rig.get(), { "nodeSelected" });
        if (type < 0)
            rig->unloadPatch();
        else
            rig.exec(type);
        QStringList seen = log.take();
        seen.sort();
        L expected{ "nodeSelected(3/2,false)", "nodeSelected(5/4,false)", "nodeSelected(7/4,false)" };
        if (reselected)
            expected << "nodeSelected(3/2,true)" << "nodeSelected(5/4,true)" << "nodeSelected(7/4,true)";
        expected.sort();
        QCOMPARE(seen, expected);
    }

    void commandsWithoutRatio_data()
    {
        QTest::addColumn<int>("type");
        QTest::addColumn<QString>("warning");
        const QString none = QStringLiteral("Command %1 ignored: it carries no ratio");
        QTest::newRow("34 toggle") << int(ToggleRatioNote) << none.arg(34);
        QTest::newRow("37 select") << int(ToggleNodeSelection) << none.arg(37);
        QTest::newRow("38 reset") << int(ResetNode) << none.arg(38);
        QTest::newRow("36 transpose") << int(TransposeByRatio) << QStringLiteral("Transposition by a ratio without value ignored");
        QTest::newRow("35 remove: harmless, reported") << int(RemoveNode) << QString();
        QTest::newRow("3 deselect all: harmless, reported") << int(DeselectAll) << QString();
    }

    // A plain event carries the ratio 0/1: a note, card or transposition of "no
    // ratio" is refused.
    void commandsWithoutRatio()
    {
        QFETCH(int, type);
        QFETCH(QString, warning);
        EngineRig rig;
        rig.toggle(R(3, 2));
        clearSent();
        const QStringList before = stateOf(*rig);
        SignalLog log(rig.get());
        rig.exec(type);
        WarningCatcher catcher;
        const bool reported = type == RemoveNode || type == DeselectAll;
        QCOMPARE(log.take(), reported ? L{ "removeNodeInStack(0/1)" } : L{});
        QCOMPARE(catcher.warnings(), warning.isEmpty() ? L{} : L{ warning });
        QVERIFY(sent().isEmpty());
        QVERIFY(rig->selection().isEmpty() && rig->altered().isEmpty());
        QCOMPARE(stateOf(*rig), before);
    }

    void resetTypes_data()
    {
        QTest::addColumn<int>("type");
        QTest::addColumn<bool>("selectionKept");
        QTest::addColumn<bool>("unselectedAlteredReset");
        QTest::addColumn<bool>("globalsToDefaults");
        QTest::newRow("4 reset selected") << int(ResetSelectedNodes) << true << false << false;
        QTest::newRow("5 reset selected, deselect") << int(ResetSelectedNodesAndDeselect) << false << false << false;
        QTest::newRow("6 reset altered") << int(ResetAlteredNodes) << true << true << false;
        QTest::newRow("7 reset altered, deselect") << int(ResetAlteredNodesAndDeselect) << false << true << false;
        QTest::newRow("8 reset all") << int(ResetAllParameters) << true << true << true;
        QTest::newRow("9 reset all, deselect") << int(ResetAllParametersAndDeselect) << false << true << true;
    }

    void resetTypes()
    {
        QFETCH(int, type);
        QFETCH(bool, selectionKept);
        QFETCH(bool, unselectedAlteredReset);
        QFETCH(bool, globalsToDefaults);
        EngineRig rig;
        rig->parseMacroNames("m1(0.2):m2(0.4)");
        const WendleRatio a(5, 4), b(3, 2), c(7, 4), d(9, 8);
        rig.toggle(a);
        rig.toggle(b);
        for (const WendleRatio& r : { a, c, d, d }) // d: altered, not selected
            rig.select(r);
        rig.exec(SetMacro1, 0.9f);
        rig.exec(SetGlissOne, 0.7f);
        const NodeParameters dBefore = *rig->alteredParameters(d);
        SignalLog log(rig.get(), { "nodeSelected", "nodeAltered", "macroValueChanged", "resetGlissSliders" });
        rig.exec(type);

        QCOMPARE(rig->selection(), selectionKept ? (QList<WendleRatio>{ a, c }) : QList<WendleRatio>{});
        // Selected nodes end altered again only because they are selected again.
        QList<WendleRatio> expectedAltered = selectionKept ? QList<WendleRatio>{ a, c } : QList<WendleRatio>{};
        if (!unselectedAlteredReset)
            expectedAltered << d;
        QCOMPARE(asSet(rig->altered()), asSet(expectedAltered));
        L expected;
        if (!unselectedAlteredReset) {
            // Node by node: deselected, reset, selected again.
            for (const WendleRatio& r : { a, c }) {
                expected << entry("nodeSelected", r, false) << entry("nodeAltered", r, false);
                if (selectionKept)
                    expected << entry("nodeAltered", r, true) << entry("nodeSelected", r, true);
            }
        } else {
            // All deselected, all reset (the defaults through setMacroValue), then selected again.
            expected << "nodeSelected(5/4,false)" << "nodeSelected(7/4,false)" << "nodeAltered(5/4,false)" << "nodeAltered(7/4,false)"
                     << "nodeAltered(9/8,false)";
            if (globalsToDefaults)
                expected << "macroValueChanged(1,0.2)" << "macroValueChanged(2,0.4)" << "resetGlissSliders(0)";
            if (selectionKept)
                expected << "nodeAltered(5/4,true)" << "nodeSelected(5/4,true)" << "nodeAltered(7/4,true)" << "nodeSelected(7/4,true)";
        }
        QCOMPARE(log.take(), expected);
        // A reset node leaves no parameters behind; one not reset keeps its own.
        if (unselectedAlteredReset) {
            QVERIFY(!rig->alteredParameters(d));
        } else {
            QCOMPARE(rig->alteredParameters(d)->macros[0], dBefore.macros[0]);
            QCOMPARE(rig->alteredParameters(d)->gliss[0], dBefore.gliss[0]);
        }
        QCOMPARE(rig->macro(1), globalsToDefaults ? 0.2f : 0.9f);
        QCOMPARE(rig->glissPosition(0), globalsToDefaults ? 0.5f : 0.7f);
        QVERIFY(!rig->voiceOf(a)->inRelease && !rig->voiceOf(b)->inRelease);
    }

    void resetAlteredSoftRetriggers()
    {
        EngineRig rig;
        rig->setSoftNodeReset(true);
        rig.toggle(R(5, 4));
        rig.toggle(R(3, 2));
        rig.select(R(5, 4));
        SignalLog log(rig.get(), { "noteToggled" });
        rig.exec(ResetAlteredNodesAndDeselect);
        QCOMPARE(log.take(), (L{ "noteToggled(5/4,false)", "noteToggled(3/2,false)", "noteToggled(5/4,true)", "noteToggled(3/2,true)" }));
        QVERIFY(rig->selection().isEmpty() && rig->altered().isEmpty());
    }

    // A replay from the GUI runs at the next callback, before what the GUI
    // posts after it; one from the controller in the same callback, after the GUI's.
    void replayTiming()
    {
        EngineRig rig;
        rig.select(R(5, 4));
        rig.select(R(3, 2));
        rig.toggle(R(7, 4));
        rig.select(R(7, 4)); // sounding and selected: the replay toggles it off
        SignalLog log(rig.get(), { "noteToggled" });
        rig.exec(ReplaySelection);
        QCOMPARE(log.take(), L{});
        rig.toggle(R(13, 8));
        rig.run();
        QCOMPARE(log.take(), (L{ "noteToggled(5/4,true)", "noteToggled(3/2,true)", "noteToggled(7/4,false)", "noteToggled(13/8,true)" }));
        rig.post(WendleNoteEvent(ToggleRatioNote, 1.0f, WendlePath(), R(11, 8)));
        rig.postSerial(WendleEvent(ReplaySelection));
        rig.run();
        rig.run();
        QCOMPARE(log.take(), (L{ "noteToggled(11/8,true)", "noteToggled(5/4,false)", "noteToggled(3/2,false)", "noteToggled(7/4,true)" }));
        // Held nodes stay when replayed with hold on.
        rig.exec(SetHold, 1.0f);
        rig.postSerial(WendleEvent(ReplaySelection));
        rig.run();
        QCOMPARE(log.take(), (L{ "noteToggled(5/4,true)", "noteToggled(3/2,true)" }));
    }

    void replayOverflowWarns()
    {
        EngineRig rig;
        for (int i = 0; i < 300; ++i)
            rig->toggleNodeSelection(R(quint64(1000 + i), 999));
        SignalLog log(rig.get(), { "noteToggled" });
        rig.exec(ReplaySelection);
        rig.run();
        rig.run();
        WarningCatcher catcher;
        const QStringList notes = log.take();
        QCOMPARE(catcher.count(QStringLiteral("Command buffer full")), 1);
        QCOMPARE(notes.first(), "noteToggled(1000/999,true)");
        QCOMPARE(notes.count(QStringLiteral("noteToggled(%1/999,true)").arg(999 + PdPlayer::ReplayCapacity)), 1);
        QCOMPARE(notes.count(QStringLiteral("noteToggled(%1/999,true)").arg(1000 + PdPlayer::ReplayCapacity)), 0);
    }

    void selectSounding()
    {
        EngineRig rig;
        for (const WendleRatio& r : { R(5, 4), R(3, 2), R(7, 4), R(11, 8), R(11, 8) }) // 11/8 in release
            rig.toggle(r);
        rig.select(R(3, 2));
        rig.select(R(9, 8));
        SignalLog log(rig.get(), { "nodeSelected" });
        rig.exec(SelectSounding);
        QCOMPARE(log.take(), (L{ "nodeSelected(5/4,true)", "nodeSelected(7/4,true)" }));
        QCOMPARE(rig->selection().size(), 4);
    }

    void commandEffects_data()
    {
        QTest::addColumn<int>("type");
        QTest::addColumn<float>("value");
        QTest::addColumn<int>("startStep"); // a type 15 step taken first
        QTest::addColumn<QStringList>("reports");
        QTest::addColumn<QStringList>("changes");
        QTest::addColumn<QString>("warning");
        const QString notFinite = QStringLiteral("Command %1 ignored: its value is not a finite number");
        const QString noPrime = QStringLiteral("Transposition by %1 ignored: not a prime step");
        const QString noIndex = QStringLiteral("Prime toggle for %1 ignored: not an index 0 to 31");
        QTest::newRow("15 2.5 rounds to +3") << 15 << 2.5f << 0 << L{ "transposed(3/2,3)" } << L{ "transposition 3/2" } << QString();
        QTest::newRow("15 -2.5 rounds to -3") << 15 << -2.5f << 0 << L{ "transposed(2/3,-3)" } << L{ "transposition 2/3" } << QString();
        QTest::newRow("15 2.49 onto 5") << 15 << 2.49f << 5 << L{ "transposed(5/2,2)" } << L{ "transposition 5/2" } << QString();
        QTest::newRow("15 31 onto 5") << 15 << 31.0f << 5 << L{ "transposed(155/64,31)" } << L{ "transposition 155/64" } << QString();
        QTest::newRow("15 -0.4 resets") << 15 << -0.4f << 7 << L{ "transposed(1/1,0)" } << L{ "transposition 1/1" } << QString();
        QTest::newRow("15 259 reduces to 3") << 15 << 259.0f << 0 << L{ "transposed(3/2,3)" } << L{ "transposition 3/2" } << QString();
        QTest::newRow("15 4 is no prime") << 15 << 4.0f << 5 << L{} << L{} << noPrime.arg(4);
        QTest::newRow("15 1 is no prime") << 15 << 1.0f << 0 << L{} << L{} << noPrime.arg(1);
        QTest::newRow("15 -9 is no prime") << 15 << -9.0f << 3 << L{} << L{} << noPrime.arg(-9);
        QTest::newRow("15 37 is beyond the table") << 15 << 37.0f << 0 << L{} << L{} << noPrime.arg(37);
        QTest::newRow("15 NaN") << 15 << NaN << 3 << L{} << L{} << notFinite.arg(15);
        QTest::newRow("15 infinity") << 15 << Inf << 0 << L{} << L{} << notFinite.arg(15);
        QTest::newRow("16 voice volume add") << 16 << -1.5f << 0 << L{ "voiceVolumeChanged(-0.5)" } << L{ "voice -0.5" } << QString();
        QTest::newRow("17 voice volume set, unclamped") << 17 << 4.0f << 0 << L{ "voiceVolumeChanged(4)" } << L{ "voice 4" } << QString();
        QTest::newRow("18 master volume add, unclamped") << 18 << 2.0f << 0 << L{ "volumeChanged(2.8)", "master-vol(2.8)" }
                                                         << L{ "master 2.8" } << QString();
        QTest::newRow("19 master volume set") << 19 << 0.45f << 0 << L{ "volumeChanged(0.45)", "master-vol(0.45)" } << L{ "master 0.45" }
                                              << QString();
        QTest::newRow("22 base frequency") << 22 << 261.5f << 0 << L{ "baseFrequencyChanged(261.5)" } << L{ "base 261.5" } << QString();
        QTest::newRow("16 NaN") << 16 << NaN << 0 << L{} << L{} << notFinite.arg(16);
        QTest::newRow("32 NaN") << 32 << NaN << 0 << L{} << L{} << notFinite.arg(32);
        QTest::newRow("19 infinity") << 19 << Inf << 0 << L{} << L{} << notFinite.arg(19);
        QTest::newRow("22 NaN") << 22 << NaN << 0 << L{} << L{} << notFinite.arg(22);
        QTest::newRow("20 mono 0.5 is off") << 20 << 0.5f << 0 << L{ "monophonicChanged(false)" } << L{} << QString();
        QTest::newRow("20 mono 0.51 is on") << 20 << 0.51f << 0 << L{ "monophonicChanged(true)" } << L{ "mono 1" } << QString();
        QTest::newRow("20 mono NaN is off") << 20 << NaN << 0 << L{ "monophonicChanged(false)" } << L{} << QString();
        QTest::newRow("21 0.001 next patch") << 21 << 0.001f << 0 << L{ "patchIncRequested()" } << L{} << QString();
        QTest::newRow("21 0 previous patch") << 21 << 0.0f << 0 << L{ "patchDecRequested()" } << L{} << QString();
        QTest::newRow("21 NaN previous patch") << 21 << NaN << 0 << L{ "patchDecRequested()" } << L{} << QString();
        QTest::newRow("23 5.9 truncates to 5") << 23 << 5.9f << 0 << L{ "primeEnabledToggled(5,false)" } << L{ "primes off 5" } << QString();
        QTest::newRow("23 31.99 truncates to 31") << 23 << 31.99f << 0 << L{ "primeEnabledToggled(31,false)" } << L{ "primes off 31" }
                                                  << QString();
        QTest::newRow("23 -0.5 truncates to 0") << 23 << -0.5f << 0 << L{ "primeEnabledToggled(0,false)" } << L{ "primes off 0" } << QString();
        QTest::newRow("23 32 is outside") << 23 << 32.0f << 0 << L{} << L{} << noIndex.arg(32);
        QTest::newRow("23 -1 is outside") << 23 << -1.0f << 0 << L{} << L{} << noIndex.arg(-1);
        QTest::newRow("23 NaN") << 23 << NaN << 0 << L{} << L{} << noIndex.arg(double(NaN));
        for (int m = 1; m <= 8; ++m) {
            QStringList macros(8, QStringLiteral("0"));
            macros[m - 1] = QString::number(float(0.1 * m + 0.05), 'g', 6);
            QTest::addRow("%d macro %d", 23 + m, m) << 23 + m << float(0.1 * m + 0.05) << 0
                                                  << L{ QStringLiteral("macroValueChanged(%1,%2)").arg(m).arg(macros[m - 1]) }
                                                  << L{ "macros " + macros.join(',') } << QString();
        }
        QTest::newRow("31 NaN") << 31 << NaN << 0 << L{} << L{} << notFinite.arg(31);
        QTest::newRow("39 nodes recalled") << 39 << 1.0f << 0 << L{ "nodesRecalled()" } << L{} << QString();
        QTest::newRow("40 hold 1.0 is on") << 40 << 1.0f << 0 << L{ "nodeHold(5/4,true)" } << L{ "hold 1" } << QString();
        QTest::newRow("40 hold 0.999 is off") << 40 << 0.999f << 0 << L{} << L{} << QString();
        QTest::newRow("40 hold 2.0 is off") << 40 << 2.0f << 0 << L{} << L{} << QString();
    }

    // What a command reports, what it changes of the engine's global state and
    // what it logs when it refuses; a sounding note is never retuned.
    void commandEffects()
    {
        QFETCH(int, type);
        QFETCH(float, value);
        QFETCH(int, startStep);
        QFETCH(QStringList, reports);
        QFETCH(QStringList, changes);
        QFETCH(QString, warning);
        EngineRig rig;
        if (startStep)
            rig.exec(TransposeByPrime, float(startStep));
        rig.toggle(R(5, 4));
        clearSent();
        const QStringList before = stateOf(*rig);
        SignalLog log(rig.get());
        rig.exec(type, value);
        WarningCatcher catcher;
        QStringList seen = log.take();
        for (float v : masterVolumes())
            seen << QStringLiteral("master-vol(%1)").arg(QString::number(v, 'g', 6));
        QCOMPARE(seen, reports);
        QCOMPARE(catcher.warnings(), warning.isEmpty() ? L{} : L{ warning });
        QStringList changed;
        for (const QString& item : stateOf(*rig)) {
            if (!before.contains(item))
                changed << item;
        }
        QCOMPARE(changed, changes);
        QCOMPARE(sent().size(), 0);
    }

    void transposeByRatio()
    {
        EngineRig rig;
        SignalLog log(rig.get(), { "transposed" });
        rig.exec(WendleTransposeEvent(TransposeByRatio, 1.0f, R(3, 2)));
        rig.exec(WendleTransposeEvent(TransposeByRatio, 1.0f, R(5, 3)));
        QCOMPARE(log.take(), (L{ "transposed(3/2,1000)", "transposed(5/2,1000)" }));
        // The player's transposition applies to the next toggle by path.
        rig.togglePath({ 3 });
        QVERIFY(rig->voiceOf(R(15, 4)));
    }

    void transpositionStaysExact_data()
    {
        QTest::addColumn<int>("type");
        QTest::addColumn<float>("value");
        QTest::addColumn<quint64>("n"); // type 36's ratio
        QTest::addColumn<quint64>("d");
        QTest::addColumn<bool>("taken");
        QTest::newRow("15 +3 needs 3^41") << int(TransposeByPrime) << 3.0f << quint64(0) << quint64(0) << false;
        QTest::newRow("36 by 5/7 needs 5*3^40") << int(TransposeByRatio) << 1.0f << quint64(5) << quint64(7) << false;
        // 2*3^40 overflows 64 bits before the 3 cancels: the product must be formed wider.
        QTest::newRow("15 -3 cancels to 2*3^39") << int(TransposeByPrime) << -3.0f << quint64(0) << quint64(0) << true;
        QTest::newRow("36 by 2/3 cancels to 2*3^39") << int(TransposeByRatio) << 1.0f << quint64(2) << quint64(3) << true;
    }

    // From 3^40/1, the largest power of 3 that fits: a product that would not
    // stay exact in 64 bits is refused and the transposition stays.
    void transpositionStaysExact()
    {
        QFETCH(int, type);
        QFETCH(float, value);
        QFETCH(quint64, n);
        QFETCH(quint64, d);
        QFETCH(bool, taken);
        quint64 power = 1;
        for (int i = 0; i < 40; ++i)
            power *= 3;
        EngineRig rig;
        rig.exec(WendleTransposeEvent(TransposeByRatio, 1.0f, R(power, 1)));
        SignalLog log(rig.get(), { "transposed" });
        if (type == TransposeByRatio)
            rig.exec(WendleTransposeEvent(type, value, R(n, d)));
        else
            rig.exec(type, value);
        WarningCatcher catcher;
        const WendleRatio expected = taken ? R(power / 3 * 2, 1) : R(power, 1);
        QCOMPARE(log.take(), taken ? L{ QStringLiteral("transposed(%1,%2)").arg(expected.toString(false)).arg(type == TransposeByPrime ? -3 : 1000) } : L{});
        QCOMPARE(catcher.warnings(), taken ? L{} : L{ "Transposition ignored: the product would not stay exact" });
        QCOMPARE(rig->transposition(), expected);
    }

    void removeNode_data()
    {
        QTest::addColumn<int>("type");
        QTest::addColumn<int>("toggles"); // 0 silent, 1 sounding, 2 in release
        QTest::newRow("35 silent") << int(RemoveNode) << 0;
        QTest::newRow("35 sounding") << int(RemoveNode) << 1;
        QTest::newRow("35 in release") << int(RemoveNode) << 2;
        QTest::newRow("3 silent") << int(DeselectAll) << 0;
        QTest::newRow("3 sounding") << int(DeselectAll) << 1;
    }

    // Types 35 and 3 silence the node and take it from the stack; 3 deselects all first.
    void removeNode()
    {
        QFETCH(int, type);
        QFETCH(int, toggles);
        EngineRig rig;
        for (int i = 0; i < toggles; ++i)
            rig.toggle(R(19, 16));
        rig.select(R(5, 4));
        clearSent();
        SignalLog log(rig.get(), { "noteToggled", "nodeSelected", "removeNodeInStack" });
        rig.exec(WendleNodeRemoveEvent(type, 1.0f, R(19, 16)));
        L expected = type == DeselectAll ? L{ "nodeSelected(5/4,false)" } : L{};
        if (toggles)
            expected << "noteToggled(19/16,false)";
        QCOMPARE(log.take(), expected << "removeNodeInStack(19/16)");
        QCOMPARE(parameters(sent()), toggles ? QList<int>{ 1 } : QList<int>{});
    }

    void selectionUsesLatticeTransposition_data()
    {
        QTest::addColumn<int>("tn");
        QTest::addColumn<int>("td");
        QTest::addColumn<int>("playerStep");
        QTest::newRow("no transposition") << 1 << 1 << 0;
        QTest::newRow("lattice up a fifth") << 3 << 2 << 0;
        QTest::newRow("lattice down a fifth") << 2 << 3 << 0;
        QTest::newRow("the player's own does not count") << 1 << 1 << 7;
    }

    void selectionUsesLatticeTransposition()
    {
        QFETCH(int, tn);
        QFETCH(int, td);
        QFETCH(int, playerStep);
        EngineRig rig;
        if (playerStep)
            rig.exec(TransposeByPrime, float(playerStep));
        RatioContext::publishTransposition(Rational(tn, td), Rational(tn, td));
        const WendleRatio expected(Rational(5, 4) * Rational(tn, td));
        SignalLog log(rig.get(), { "nodeSelected" });
        rig.select(R(5, 4));
        QCOMPARE(rig->selection(), QList<WendleRatio>{ expected });
        rig.select(R(5, 4));
        QCOMPARE(log.take(), (L{ entry("nodeSelected", expected, true), entry("nodeSelected", expected, false) }));
    }

    // A lattice publication caught halfway, its writer preempted, must not
    // hold the audio thread: type 0 does not read it, 37 and 38 take the last
    // whole one they saw.
    void stalledTranspositionPublication()
    {
        EngineRig rig;
        RatioContext::publishTransposition(Rational(3, 2), Rational(3, 2));
        rig.select(R(5, 4)); // 15/8: the engine has seen 3/2 whole
        std::atomic<bool> done { false };
        std::thread watchdog([&done] {
            for (int i = 0; i < 500 && !done.load(); ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            if (!done.load())
                qFatal("The audio thread waits on a transposition half published");
        });
        SignalLog log(rig.get(), { "noteToggled", "nodeSelected", "nodeAltered" });
        RatioContext::holdPublication(true);
        rig.togglePath({ 3 });
        rig.select(R(5, 4));
        rig.select(R(3, 2));
        rig.exec(WendleNodeResetEvent(ResetNode, 1.0f, R(3, 2)));
        RatioContext::holdPublication(false);
        done.store(true);
        watchdog.join();
        QCOMPARE(log.take(), (L{ "noteToggled(3/2,true)", "nodeSelected(15/8,false)", "nodeAltered(9/4,true)", "nodeSelected(9/4,true)",
                                 "nodeSelected(9/4,false)", "nodeAltered(9/4,false)" }));
    }
};

QTEST_GUILESS_MAIN(TestPdPlayer)
#include "tst_pdplayer.moc"
