#include "EngineCommandType.h"
#include "EngineRig.h"
#include "PdPlayerTestSupport.h"
#include "RatioContext.h"
#include "SignalLog.h"
#include "WarningCatcher.h"
#include "WendleNodeResetEvent.h"

#include <QtTest>

#include <cmath>

using namespace PdPlayerTest;

// Voices and notes: what a note sends to its voice, voice choice and stealing,
// hold, gliss, and the node parameters that shape a note.
class TestPdPlayerVoices : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { initLibpd(); }
    void init() { initTest(); }

    void allNotesOffTypes()
    {
        EngineRig rig;
        for (const WendleRatio& r : { R(5, 4), R(3, 2) })
            rig.toggle(r);
        rig.exec(SetHold, 1.0f);
        rig.toggle(R(9, 8));
        SignalLog log(rig.get(), { "noteToggled" });
        clearSent();
        rig.exec(AllNotesOffExceptHeld);
        QCOMPARE(log.take(), L{ "noteToggled(9/8,false)" });
        QCOMPARE(parameters(sent()), QList<int>{ 1 });
        // Every voiced ratio, the one already in release too.
        rig.exec(AllNotesOff);
        QCOMPARE(log.take(), (L{ "noteToggled(5/4,false)", "noteToggled(3/2,false)", "noteToggled(9/8,false)" }));
        QVERIFY(rig->voiceOf(R(5, 4))->inRelease);
    }

    void nodeResetModes_data()
    {
        QTest::addColumn<int>("type");
        QTest::addColumn<int>("mode");
        QTest::newRow("10 gliss one") << int(NodeResetGlissOne) << 1;
        QTest::newRow("11 gliss two") << int(NodeResetGlissTwo) << 2;
        QTest::newRow("12 both") << int(NodeResetGliss) << 0;
    }

    void nodeResetModes()
    {
        QFETCH(int, type);
        QFETCH(int, mode);
        EngineRig rig;
        rig->setGlissRanges(1200.0f, 100.0f);
        rig->setGlissRangeOptions(600.0f, 50.0f);
        const WendleRatio a(5, 4), b(3, 2);
        rig.toggle(a);
        rig.select(a);
        rig.exec(SetGlissOne, 0.8f);
        rig.exec(SetGlissTwo, 0.3f);
        rig.select(a); // a keeps 0.8 and 0.3 as its own positions
        rig.select(b);
        SignalLog log(rig.get(), { "nodeSelected", "resetGlissSliders" });
        clearSent();
        rig.exec(type);
        QCOMPARE(log.take(), (L{ QStringLiteral("resetGlissSliders(%1)").arg(mode), "nodeSelected(3/2,false)", "nodeSelected(3/2,true)" }));
        const float one = mode != 2 ? 0.5f : 0.8f;
        const float two = mode != 1 ? 0.5f : 0.3f;
        QCOMPARE(rig->glissPosition(0), one);
        QCOMPARE(rig->glissPosition(1), two);
        QCOMPARE(rig->alteredParameters(a)->gliss[0], one);
        QCOMPARE(rig->alteredParameters(a)->gliss[1], two);
        // The voiced altered node is retuned with the ranges in force before the reload.
        QCOMPARE(parameters(sent(0)), QList<int>{ 2 });
        QCOMPARE(sent(0).at(0).value, frequency(a) * glissFactor(mode ? one : 0.5f, 1200.0) * glissFactor(mode ? two : 0.5f, 100.0));
        QCOMPARE(rig->mapGlissOne(1.0f), glissFactor(1.0f, 600.0));
        QCOMPARE(rig->mapGlissTwo(1.0f), glissFactor(1.0f, 50.0));
    }

    void toggleRatioNoteAndHold_data()
    {
        QTest::addColumn<bool>("hold");
        QTest::addColumn<bool>("held");
        QTest::addColumn<float>("value");
        QTest::addColumn<bool>("released");
        QTest::newRow("no hold, 1.0") << false << false << 1.0f << true;
        QTest::newRow("held, 1.0 keeps it") << true << true << 1.0f << false;
        QTest::newRow("held, 0.0 keeps it") << true << true << 0.0f << false;
        QTest::newRow("held, 2.0 releases it") << true << true << 2.0f << true;
        QTest::newRow("hold on, not held, 1.0") << true << false << 1.0f << true;
    }

    void toggleRatioNoteAndHold()
    {
        QFETCH(bool, hold);
        QFETCH(bool, held);
        QFETCH(float, value);
        QFETCH(bool, released);
        EngineRig rig;
        if (held)
            rig.toggle(R(7, 4));
        if (hold)
            rig.exec(SetHold, 1.0f);
        if (!held)
            rig.toggle(R(7, 4));
        SignalLog log(rig.get(), { "noteToggled" });
        rig.toggle(R(7, 4), value);
        QCOMPARE(log.take(), released ? L{ "noteToggled(7/4,false)" } : L{});
        if (!released)
            return;
        // In release, any value sounds it again, on a new voice.
        rig.toggle(R(7, 4), 2.0f);
        QCOMPARE(log.take(), L{ "noteToggled(7/4,true)" });
        QCOMPARE(rig->voiceOf(R(7, 4))->voice, 1);
    }

    void setHoldTakesSoundingNotes()
    {
        EngineRig rig;
        rig.toggle(R(5, 4));
        rig.exec(SetHold, 1.0f);
        rig.toggle(R(3, 2));
        SignalLog log(rig.get(), { "nodeHold" });
        rig.exec(SetHold, 1.0f);
        QCOMPARE(log.take(), (L{ "nodeHold(5/4,false)", "nodeHold(5/4,true)", "nodeHold(3/2,true)" }));
        rig.exec(SetHold, 0.0f);
        QCOMPARE(log.take(), (L{ "nodeHold(5/4,false)", "nodeHold(3/2,false)" }));
        QVERIFY(rig->held().isEmpty());
    }

    void resetNodeValue_data()
    {
        QTest::addColumn<float>("value");
        QTest::addColumn<bool>("deselected");
        QTest::newRow("0 keeps the selection") << 0.0f << false;
        QTest::newRow("1 deselects") << 1.0f << true;
        QTest::newRow("NaN deselects") << NaN << true;
    }

    // Type 38 resets the node at the lattice's transposition.
    void resetNodeValue()
    {
        QFETCH(float, value);
        QFETCH(bool, deselected);
        EngineRig rig;
        RatioContext::publishTransposition(Rational(3, 2), Rational(3, 2));
        rig->toggleNodeSelection(R(15, 8));
        SignalLog log(rig.get(), { "nodeAltered" });
        rig.exec(WendleNodeResetEvent(ResetNode, value, R(5, 4)));
        QCOMPARE(log.take(), (deselected ? L{ "nodeAltered(15/8,false)" } : L{ "nodeAltered(15/8,false)", "nodeAltered(15/8,true)" }));
        QCOMPARE(rig->selection(), deselected ? QList<WendleRatio>{} : QList<WendleRatio>{ R(15, 8) });
    }

    void noteOnAndOffMessages()
    {
        EngineRig rig;
        for (int m = 1; m <= 8; ++m)
            rig.exec(23 + m, 0.1f * float(m));
        rig.exec(VoiceVolumeSet, 0.6f);
        rig.exec(SetBaseFrequency, 261.5f);
        SignalLog log(rig.get(), { "instructionsToInterface" });
        rig.toggle(R(11, 8)); // no instructions while the interface is inactive
        rig->setInterfaceActive(true);
        clearSent();
        const WendleRatio r(3, 2);
        const float f = frequency(r, 261.5f);
        rig.toggle(r);
        const QList<Sent> on = sent();
        QCOMPARE(parameters(on), NoteOnOrder);
        for (const Sent& s : on)
            QCOMPARE(s.voice, 2);
        for (int m = 1; m <= 8; ++m)
            QCOMPARE(on.at(m - 1).value, 0.1f * float(m));
        QCOMPARE(on.at(8).value, f);
        QCOMPARE(on.at(9).value, 0.6f);
        QCOMPARE(on.at(10).value, 1.0f);
        QCOMPARE(log.take(), L{ QStringLiteral("instructionsToInterface(1,[1],[%1],[0.1])").arg(f) });
        QCOMPARE(rig->nodeParameters(r)->macros[7], 0.8f);

        clearSent();
        rig.toggle(r);
        QCOMPARE(sent().size(), 1);
        QCOMPARE(sent().at(0).parameter, 1);
        QCOMPARE(sent().at(0).value, 0.0f);
        QCOMPARE(sent().at(0).voice, 2);
        QCOMPARE(log.take(), L{ "instructionsToInterface(-1,[1],[-1],[-1])" });
        QVERIFY(!rig->nodeParameters(r));
        // The voice stays taken until the patch reports it stopped.
        QVERIFY(rig->voiceAt(1).seqId != 0 && rig->voiceAt(1).inRelease);
    }

    void alteredNodeNoteOnUsesItsParameters()
    {
        EngineRig rig;
        rig->setInterfaceActive(true);
        rig->setGlissRanges(1200.0f, 100.0f);
        const WendleRatio a(5, 4), b(3, 2);
        // a: altered, not selected, with macro 1 = 0.3 and gliss one 0.75 of its own.
        rig.exec(SetMacro1, 0.3f);
        rig.toggle(a);
        rig.select(a);
        rig.exec(SetGlissOne, 0.75f);
        rig.select(a);
        rig.toggle(a);
        rig.exec(SetMacro2, 0.4f);
        rig.exec(SetGlissOne, 0.5f);
        // b: selected with an offset of 0.1 on macro 1, released, then gliss two moved.
        rig.exec(SetMacro1, 0.8f);
        rig.toggle(b);
        rig.exec(SetMacro1, 0.7f);
        rig.select(b);
        rig.toggle(b);
        rig.exec(SetMacro1, 0.9f);
        rig.exec(SetGlissTwo, 0.25f);
        clearSent();
        SignalLog log(rig.get(), { "instructionsToInterface" });
        rig.toggle(a);
        rig.toggle(b);
        const QList<Sent> toA = sent(rig->voiceOf(a)->voice);
        QCOMPARE(parameters(toA), NoteOnOrder);
        QCOMPARE(toA.at(0).value, 0.3f);
        QCOMPARE(toA.at(1).value, 0.0f);
        QCOMPARE(toA.at(8).value, frequency(a) * glissFactor(0.75f, 1200.0));
        const QList<Sent> toB = sent(rig->voiceOf(b)->voice);
        QCOMPARE(parameters(toB), NoteOnOrder);
        QCOMPARE(toB.at(0).value, 0.9f + 0.1f);
        QCOMPARE(toB.at(1).value, 0.4f);
        QCOMPARE(toB.at(8).value, frequency(b) * glissFactor(0.25f, 100.0));
        // The velocity: the altered node's own macro 1; for a selected one the global one.
        const QStringList instructions = log.take();
        QCOMPARE(instructions.size(), 2);
        QVERIFY(instructions.at(0).endsWith(",[0.3])") && instructions.at(1).endsWith(",[0.9])"));
        QVERIFY(!rig->nodeParameters(a) && !rig->nodeParameters(b));
    }

    void stealingTakesOldestVoice()
    {
        EngineRig rig;
        rig->setMaxVoices(3);
        for (const WendleRatio& r : { R(5, 4), R(3, 2), R(7, 4), R(3, 2) }) // 3/2 in release: its voice is still taken
            rig.toggle(r);
        clearSent();
        SignalLog log(rig.get(), { "noteToggled" });
        // The oldest note, 5/4, is released first, then 9/8 sounds on its voice.
        rig.toggle(R(9, 8));
        QCOMPARE(log.take(), (L{ "noteToggled(5/4,false)", "noteToggled(9/8,true)" }));
        QCOMPARE(parameters(sent(0)), QList<int>{ 1 } + NoteOnOrder);
        QCOMPARE(sent(0).at(0).value, 0.0f);
        QVERIFY(!rig->voiceOf(R(5, 4)));
        // Now the oldest is 3/2, already in release: no second note off for it.
        rig.toggle(R(11, 8));
        QCOMPARE(log.take(), L{ "noteToggled(11/8,true)" });
        QCOMPARE(rig->voiceOf(R(11, 8))->voice, 1);
        QVERIFY(!rig->voiceOf(R(7, 4))->inRelease);
    }

    // Past 2^32 - 1 notes the counter skips 0, which marks a free voice, and a
    // note started after the wrap is still younger than those before it.
    void noteCounterWrap()
    {
        EngineRig rig;
        rig->setMaxVoices(3);
        rig->setNoteCounter(0xfffffffdu);
        SignalLog log(rig.get(), { "noteToggled" });
        for (const WendleRatio& r : { R(5, 4), R(3, 2), R(7, 4), R(9, 8), R(11, 8), R(13, 8) })
            rig.toggle(r);
        QCOMPARE(log.take(), (L{ "noteToggled(5/4,true)", "noteToggled(3/2,true)", "noteToggled(7/4,true)", "noteToggled(5/4,false)",
                                 "noteToggled(9/8,true)", "noteToggled(3/2,false)", "noteToggled(11/8,true)", "noteToggled(7/4,false)",
                                 "noteToggled(13/8,true)" }));
    }

    void maxVoicesBounds_data()
    {
        QTest::addColumn<int>("voices");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("0") << 0 << false;
        QTest::newRow("129") << 129 << false;
        QTest::newRow("1") << 1 << true;
        QTest::newRow("5") << 5 << true;
        QTest::newRow("128") << 128 << true;
    }

    void maxVoicesBounds()
    {
        QFETCH(int, voices);
        QFETCH(bool, accepted);
        EngineRig rig;
        rig->setMaxVoices(2);
        {
            WarningCatcher catcher;
            rig->setMaxVoices(voices);
            QCOMPARE(catcher.warnings().size(), 1);
            QVERIFY(catcher.warnings().at(0).contains(accepted ? QStringLiteral("set to") : QStringLiteral("ignored")));
        }
        const int limit = accepted ? voices : 2;
        for (int i = 0; i <= limit; ++i)
            rig.toggle(R(quint64(1001 + 2 * i), 1000));
        // One note more than the limit stole voice 0; no voice past the limit was used.
        QCOMPARE(rig->voiceAt(0).ratio, R(quint64(1001 + 2 * limit), 1000));
        if (limit < PdPlayer::MaxVoices)
            QCOMPARE(rig->voiceAt(limit).seqId, quint32(0));
    }

    void monoChain()
    {
        EngineRig rig;
        rig.exec(SetMonophonic, 1.0f);
        rig.toggle(R(5, 4));
        SignalLog log(rig.get(), { "noteToggled" });
        rig.toggle(R(3, 2));
        QCOMPARE(rig->voiceOf(R(3, 2))->voice, 1); // 5/4 rings out on voice 0
        rig.toggle(R(7, 4));
        // A mono switch forgets the chain: the next note leaves 7/4 sounding.
        rig.exec(SetMonophonic, 1.0f);
        rig.toggle(R(9, 8));
        QCOMPARE(log.take(), (L{ "noteToggled(5/4,false)", "noteToggled(3/2,true)", "noteToggled(3/2,false)", "noteToggled(7/4,true)",
                                 "noteToggled(9/8,true)" }));
    }

    void frequencyBounds_data()
    {
        QTest::addColumn<float>("base");
        QTest::addColumn<int>("n");
        QTest::addColumn<int>("d");
        QTest::addColumn<bool>("audible");
        QTest::newRow("exactly 20 Hz") << 20.0f << 1 << 1 << false;
        QTest::newRow("20 Hz from 10 Hz × 2") << 10.0f << 2 << 1 << false;
        QTest::newRow("just above 20 Hz") << 10.0f << 201 << 100 << true;
        QTest::newRow("exactly 20000 Hz") << 20000.0f << 1 << 1 << false;
        QTest::newRow("just below 20000 Hz") << 19999.0f << 1 << 1 << true;
        QTest::newRow("well above") << 440.0f << 64 << 1 << false;
    }

    // Outside the audible band a note takes its voice and counts as playing,
    // but the patch hears only its macros.
    void frequencyBounds()
    {
        QFETCH(float, base);
        QFETCH(int, n);
        QFETCH(int, d);
        QFETCH(bool, audible);
        EngineRig rig;
        rig->setInterfaceActive(true);
        rig.exec(SetBaseFrequency, base);
        clearSent();
        SignalLog log(rig.get(), { "noteToggled", "instructionsToInterface" });
        rig.toggle(R(n, d));
        const QStringList seen = log.take();
        QCOMPARE(seen.last(), entry("noteToggled", R(n, d), true));
        QCOMPARE(seen.size(), audible ? 2 : 1);
        QCOMPARE(parameters(sent()), audible ? NoteOnOrder : MacroOrder);
    }

    void mapGliss()
    {
        EngineRig rig;
        rig->setGlissRanges(1200.0f, 100.0f);
        QCOMPARE(rig->mapGlissOne(1.0f), 2.0f);
        QCOMPARE(rig->mapGlissOne(0.0f), 0.5f);
        QCOMPARE(rig->mapGlissOne(0.5f), 1.0f);
        QCOMPARE(rig->mapGlissTwo(1.0f), float(std::pow(2.0, 100.0 / 1200.0)));
        rig->setGlissRanges(700.0f, 100.0f);
        QCOMPARE(rig->mapGlissOne(0.75f), float(std::pow(2.0, 350.0 / 1200.0)));
    }

    void selectionMakesNodeAltered()
    {
        EngineRig rig;
        const WendleRatio a(5, 4), b(3, 2);
        rig.exec(SetMacro1, 0.3f);
        rig.toggle(a); // node parameters: macro 1 = 0.3
        rig.exec(SetMacro1, 0.1f);
        rig.exec(SetGlissOne, 0.7f);
        SignalLog log(rig.get(), { "nodeAltered", "nodeSelected" });
        rig.select(a);
        rig.select(b);
        // Offsets while selected: its own values less the global ones.
        QCOMPARE(rig->alteredParameters(a)->macros[0], 0.3f - 0.1f);
        QCOMPARE(rig->alteredParameters(a)->gliss[0], 0.5f - 0.7f);
        QCOMPARE(rig->alteredParameters(b)->macros[0], 0.0f);
        // Deselected: absolute values again; selecting again does not alter it anew.
        rig.select(a);
        QCOMPARE(rig->alteredParameters(a)->macros[0], 0.3f);
        QCOMPARE(rig->alteredParameters(a)->gliss[0], 0.5f);
        rig.select(a);
        QCOMPARE(log.take(), (L{ "nodeAltered(5/4,true)", "nodeSelected(5/4,true)", "nodeAltered(3/2,true)", "nodeSelected(3/2,true)",
                                 "nodeSelected(5/4,false)", "nodeSelected(5/4,true)" }));
        QCOMPARE(rig->selection(), (QList<WendleRatio>{ b, a }));
        QCOMPARE(rig->altered(), (QList<WendleRatio>{ a, b }));
    }

    // Selected, altered and reset in turns, any number of distinct nodes leaves
    // room for the next selection.
    void selectionAfterManyResetNodes()
    {
        EngineRig rig;
        WarningCatcher catcher;
        const int prime = 10007;
        for (int i = 0; i < 5000; ++i) {
            const WendleRatio r(quint64(prime + i), quint64(prime));
            rig.select(r);
            switch (i % 4) {
            case 0: rig.exec(WendleNodeResetEvent(ResetNode, 1.0f, r)); break;
            case 1: rig.exec(ResetSelectedNodesAndDeselect); break;
            case 2: rig.select(r); break; // left altered, for the next reset of all altered nodes
            default: rig.exec(i % 8 == 3 ? ResetAlteredNodesAndDeselect : ResetAllParametersAndDeselect); break;
            }
            if (i % 64 == 0)
                rig.deliver();
        }
        rig.select(R(5, 4));
        rig.deliver();
        QCOMPARE(catcher.warnings(), L{});
        QCOMPARE(rig->selection(), QList<WendleRatio>{ R(5, 4) });
        QCOMPARE(rig->altered(), QList<WendleRatio>{ R(5, 4) });
    }

    void setMacroValueClamping_data()
    {
        QTest::addColumn<float>("own");
        QTest::addColumn<float>("global");
        QTest::addColumn<float>("value");
        QTest::addColumn<float>("sentValue");
        QTest::addColumn<float>("offset");
        QTest::newRow("offset 0.3, value 0.9") << 0.3f << 0.0f << 0.9f << 1.0f << 0.1f;
        QTest::newRow("offset -0.95, value 0.9") << 0.0f << 0.95f << 0.9f << 0.0f << -0.9f;
        QTest::newRow("inside") << 0.4f << 0.2f << 0.5f << 0.4f - 0.2f + 0.5f << 0.4f - 0.2f;
        QTest::newRow("sum exactly 1") << 0.5f << 0.25f << 0.75f << 1.0f << 0.25f;
        QTest::newRow("sum exactly 0") << 0.25f << 0.5f << 0.25f << 0.0f << -0.25f;
    }

    void setMacroValueClamping()
    {
        QFETCH(float, own);
        QFETCH(float, global);
        QFETCH(float, value);
        QFETCH(float, sentValue);
        QFETCH(float, offset);
        EngineRig rig;
        rig.exec(SetMacro1, own);
        rig.toggle(R(5, 4));
        rig.exec(SetMacro1, global);
        rig.select(R(5, 4));
        rig.select(R(3, 2)); // selected, not voiced: nothing is sent for it
        clearSent();
        rig.exec(SetMacro1, value);
        QCOMPARE(sent().size(), 1);
        QCOMPARE(sent().at(0).parameter, 4);
        QCOMPARE(sent().at(0).voice, 1);
        QCOMPARE(sent().at(0).value, sentValue);
        QCOMPARE(rig->alteredParameters(R(5, 4))->macros[0], offset);
        QCOMPARE(rig->macro(1), value);
    }

    void glissRetunesOnlySelectedVoices()
    {
        EngineRig rig;
        rig->setGlissRanges(1200.0f, 100.0f);
        rig->setInterfaceActive(true);
        const WendleRatio a(5, 4);
        rig.toggle(R(3, 2));
        rig.toggle(a);
        rig.select(a);
        rig.exec(SetMacro3, 0.6f);
        clearSent();
        SignalLog log(rig.get(), { "instructionsToInterface" });
        rig.exec(SetGlissOne, 0.75f);
        const float f = frequency(a) * glissFactor(0.75f, 1200.0);
        QCOMPARE(parameters(sent(1)), QList<int>{ 2 });
        QCOMPARE(sent().size(), 1);
        QCOMPARE(sent().at(0).value, f);
        QCOMPARE(log.take(), L{ QStringLiteral("instructionsToInterface(2,[1],[%1],[-1])").arg(f) });
        clearSent();
        rig.exec(SetGlissTwo, 0.25f);
        QCOMPARE(sent().size(), 1);
        QCOMPARE(sent().at(0).value, f * glissFactor(0.25f, 100.0));
        // Deselected, a keeps its gliss: its next note on sounds with it.
        rig.select(a);
        rig.toggle(a);
        rig.exec(SetGlissOne, 0.5f);
        rig.exec(SetGlissTwo, 0.5f);
        clearSent();
        rig.toggle(a);
        QCOMPARE(sent().at(8).value, f * glissFactor(0.25f, 100.0));
    }

    void resetSingleNode_data()
    {
        QTest::addColumn<bool>("soft");
        QTest::addColumn<bool>("altered");
        QTest::addColumn<bool>("voiced");
        QTest::addColumn<bool>("selected");
        QTest::addColumn<bool>("deselect");
        QTest::newRow("plain, voiced") << false << false << true << false << false;
        QTest::newRow("plain, voiced, soft") << true << false << true << false << false;
        QTest::newRow("plain, silent, soft") << true << false << false << false << false;
        QTest::newRow("selected, voiced, soft") << true << true << true << true << false;
        QTest::newRow("selected, voiced, soft, deselect") << true << true << true << true << true;
        QTest::newRow("selected, voiced") << false << true << true << true << false;
        QTest::newRow("selected, voiced, deselect") << false << true << true << true << true;
        QTest::newRow("altered, voiced") << false << true << true << false << false;
        QTest::newRow("altered, voiced, soft") << true << true << true << false << false;
        QTest::newRow("selected, silent") << false << true << false << true << false;
        QTest::newRow("selected, silent, soft, deselect") << true << true << false << true << true;
        QTest::newRow("altered, silent") << false << true << false << false << false;
    }

    void resetSingleNode()
    {
        QFETCH(bool, soft);
        QFETCH(bool, altered);
        QFETCH(bool, voiced);
        QFETCH(bool, selected);
        QFETCH(bool, deselect);
        EngineRig rig;
        rig->setSoftNodeReset(soft);
        rig->parseMacroNames("a(0.2):b(0.6)");
        const WendleRatio r(5, 4);
        if (voiced)
            rig.toggle(r);
        rig.exec(SetMacro1, 0.7f);
        if (altered) {
            rig.select(r);
            rig.exec(SetGlissOne, 0.9f);
            rig.exec(SetMacro2, 0.8f);
            if (!selected)
                rig.select(r);
        }
        clearSent();
        SignalLog log(rig.get(), { "noteToggled", "nodeSelected", "nodeAltered" });
        rig->resetSingleNode(r, deselect);
        const QStringList seen = log.take();

        const bool endsSelected = selected && !deselect;
        QCOMPARE(rig->selection(), endsSelected ? QList<WendleRatio>{ r } : QList<WendleRatio>{});
        QCOMPARE(rig->altered(), endsSelected ? QList<WendleRatio>{ r } : QList<WendleRatio>{});
        // Soft retriggers around the reset: off, then on with fresh parameters, on a new voice.
        const bool retrigger = soft && voiced;
        L expected = retrigger ? L{ "noteToggled(5/4,false)" } : L{};
        if (altered) {
            if (selected)
                expected << "nodeSelected(5/4,false)";
            expected << "nodeAltered(5/4,false)";
            if (endsSelected)
                expected << "nodeAltered(5/4,true)" << "nodeSelected(5/4,true)";
        }
        if (retrigger)
            expected << "noteToggled(5/4,true)";
        QCOMPARE(seen, expected);
        // Selected again, the node's parameters are made anew from the global macros, as offsets.
        if (endsSelected) {
            QCOMPARE(rig->alteredParameters(r)->macros[0], 0.0f);
            QCOMPARE(rig->alteredParameters(r)->gliss[0], 0.5f - rig->glissPosition(0));
        }
        if (retrigger) {
            QCOMPARE(rig->voiceOf(r)->voice, 1);
            return;
        }
        if (!voiced) {
            QCOMPARE(sent().size(), 0);
            return;
        }
        // Hard: the gliss back at the defaults, then the global macros.
        const QList<Sent> messages = sent(0);
        QCOMPARE(parameters(messages), altered ? QList<int>{ 2 } + MacroOrder : MacroOrder);
        for (int m = 1; m <= 8; ++m)
            QCOMPARE(messages.at(altered + m - 1).value, rig->macro(m));
        if (altered)
            QCOMPARE(messages.at(0).value, frequency(r));
        if (!endsSelected)
            QCOMPARE(rig->nodeParameters(r)->macros[0], rig->macro(1));
    }
};

QTEST_GUILESS_MAIN(TestPdPlayerVoices)
#include "tst_pdplayervoices.moc"
