#include "EngineCommand.h"
#include "EngineCommandType.h"
#include "EngineRig.h"
#include "PdPlayerTestSupport.h"
#include "SignalLog.h"
#include "StreamThread.h"
#include "WarningCatcher.h"
#include "WendleNoteEvent.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QtTest>

#include <atomic>
#include <thread>
#include <vector>

#include "z_libpd.h"

using namespace PdPlayerTest;

// The patch and the audio thread: macro names, open and close, the patch's
// stop reports, what the callback writes and publishes.
class TestPdPlayerPatch : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { initLibpd(); }
    void init() { initTest(); }

    void voiceStop_data()
    {
        QTest::addColumn<QString>("source");
        QTest::addColumn<float>("number");
        QTest::addColumn<bool>("valid");
        QTest::addColumn<bool>("warns");
        QTest::newRow("1") << "voice-stop" << 1.0f << true << false;
        QTest::newRow("0") << "voice-stop" << 0.0f << false << true;
        QTest::newRow("beyond the voices") << "voice-stop" << 5.0f << false << true;
        QTest::newRow("1.5") << "voice-stop" << 1.5f << false << true;
        QTest::newRow("NaN") << "voice-stop" << NaN << false << true;
        QTest::newRow("infinity") << "voice-stop" << Inf << false << true;
        QTest::newRow("other list") << "voice-stopped" << 1.0f << false << false;
        QTest::newRow("a symbol") << "symbol" << 1.0f << false << false;
    }

    void voiceStop()
    {
        QFETCH(QString, source);
        QFETCH(float, number);
        QFETCH(bool, valid);
        QFETCH(bool, warns);
        EngineRig rig;
        rig->setMaxVoices(4);
        rig.toggle(R(5, 4));
        rig.toggle(R(5, 4));
        rig.deliver();
        t_atom atom;
        if (source == "symbol") {
            libpd_set_symbol(&atom, "1");
            PdPlayer::pdListHook("voice-stop", 1, &atom);
            PdPlayer::pdListHook("voice-stop", 0, nullptr);
        } else {
            libpd_set_float(&atom, number);
            PdPlayer::pdListHook(qPrintable(source), 1, &atom);
        }
        WarningCatcher catcher;
        rig.deliver();
        QCOMPARE(catcher.warnings(), warns ? L{ QStringLiteral("voice-stop for voice %1 ignored: no such voice").arg(double(number)) } : L{});
        QCOMPARE(rig->voiceAt(0).seqId == 0, valid);
        QCOMPARE(rig->voiceOf(R(5, 4)) == nullptr, valid);
    }

    // The late stop report of a voice whose ratio sounds again elsewhere frees only that voice.
    void releasedNoteToggledAgain()
    {
        EngineRig rig;
        for (int i = 0; i < 3; ++i)
            rig.toggle(R(5, 4));
        sendVoiceStop(1.0f);
        QCOMPARE(rig->voiceAt(0).seqId, quint32(0));
        sendVoiceStop(2.0f); // not in release: changes nothing
        QVERIFY(!rig->voiceOf(R(5, 4))->inRelease);
        SignalLog log(rig.get(), { "noteToggled" });
        rig.toggle(R(5, 4));
        QCOMPARE(log.take(), L{ "noteToggled(5/4,false)" });
    }

    void soundingRatiosFollowCallbacks()
    {
        EngineRig rig;
        for (const WendleRatio& r : { R(5, 4), R(3, 2), R(7, 4), R(3, 2) })
            rig.toggle(r);
        QCOMPARE(asSet(rig->getAllSoundingRatios()), asSet({ R(5, 4), R(7, 4) }));
        rig.exec(AllNotesOff);
        QVERIFY(rig->getAllSoundingRatios().isEmpty());
    }

    // The GUI thread reads the sounding ratios while the audio thread changes
    // them: every read is one whole published state.
    void soundingSnapshotAcrossThreads()
    {
        EngineRig rig(ownPlayerStorage<1>());
        rig->setMaxVoices(8);
        const QList<WendleRatio> chordX { R(5, 4), R(3, 2), R(7, 4) }, chordY { R(9, 8), R(11, 8) };
        for (const WendleRatio& r : chordX)
            rig.toggle(r);
        const QSet<WendleRatio> x = asSet(chordX), y = asSet(chordY);
        QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
        std::atomic<bool> done { false };
        std::thread audio([&] {
            float out[2 * 64];
            for (int i = 0; i < 3000; ++i) {
                for (const WendleRatio& r : chordX + chordY)
                    rig->processEvent(EngineCommand::fromEvent(WendleNoteEvent(ToggleRatioNote, 1.0f, WendlePath(), r)));
                for (int v = 0; v < 8; ++v)
                    rig->onVoiceStopped(v);
                rig->processCallback(out, 64, false);
            }
            done.store(true, std::memory_order_release);
        });
        int reads = 0, torn = 0;
        while (!done.load(std::memory_order_acquire)) {
            const QSet<WendleRatio> seen = asSet(rig->getAllSoundingRatios());
            torn += seen != x && seen != y;
            if (++reads % 16 == 0)
                rig.deliver();
        }
        audio.join();
        QLoggingCategory::setFilterRules(QString());
        QVERIFY(reads > 0);
        QCOMPARE(torn, 0);
    }

    void parseMacroNames_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("maintain");
        QTest::addColumn<QStringList>("names");
        QTest::addColumn<QList<float>>("defaults");
        QTest::newRow("two macros") << "cutoff(0.25):res(0.5)" << false << L{ "cutoff", "res" } << QList<float>{ 0.25f, 0.5f };
        QTest::newRow("two, maintained") << "cutoff(0.25):res(0.5)" << true << L{ "cutoff", "res" } << QList<float>{ 0.25f, 0.5f };
        QTest::newRow("no brackets") << "drive" << false << L{ "drive" } << QList<float>{ -1.0f };
        QTest::newRow("empty pieces dropped") << ":a(0.1)::b(0.2):" << false << L{ "a", "b" } << QList<float>{ 0.1f, 0.2f };
        QTest::newRow("closing before opening") << ")x(0.3" << false << L{ ")x(0.3" } << QList<float>{ -1.0f };
        QTest::newRow("no closing bracket") << "a(0.5" << false << L{ "a(0.5" } << QList<float>{ -1.0f };
        QTest::newRow("not a number") << "gain(loud)" << false << L{ "gain" } << QList<float>{ 0.0f };
        QTest::newRow("empty brackets") << "gain()" << false << L{ "gain" } << QList<float>{ 0.0f };
        QTest::newRow("not finite") << "gain(inf)" << false << L{ "gain" } << QList<float>{ 0.0f };
        QTest::newRow("text after the bracket dropped") << "q(0.75)x" << false << L{ "q" } << QList<float>{ 0.75f };
        QTest::newRow("nine: the first eight") << "a(0.1):b(0.2):c(0.3):d(0.4):e(0.5):f(0.6):g(0.7):h(0.8):i(0.9)" << false
                                               << L{ "a", "b", "c", "d", "e", "f", "g", "h" }
                                               << QList<float>{ 0.1f, 0.2f, 0.3f, 0.4f, 0.5f, 0.6f, 0.7f, 0.8f };
        QTest::newRow("empty") << "" << false << L{} << QList<float>{};
    }

    void parseMacroNames()
    {
        QFETCH(QString, text);
        QFETCH(bool, maintain);
        QFETCH(QStringList, names);
        QFETCH(QList<float>, defaults);
        EngineRig rig;
        rig->setMaintainMacroParameters(maintain);
        for (int m = 1; m <= 8; ++m)
            rig.exec(23 + m, 0.33f);
        SignalLog log(rig.get(), { "macroNamesReceived", "macroDefaultsReceived" });
        rig->parseMacroNames(text.toUtf8().constData());
        WarningCatcher catcher;
        QStringList defaultTexts;
        for (float d : defaults)
            defaultTexts << QString::number(d, 'g', 6);
        QCOMPARE(log.take(), (L{ "macroNamesReceived([" + names.join(';') + "])", "macroDefaultsReceived([" + defaultTexts.join(';') + "])" }));
        const bool tooMany = text.count(':') >= 8;
        QCOMPARE(catcher.warnings(), tooMany ? L{ "The patch reported 9 macros; only the first 8 are used" } : L{});
        QCOMPARE(rig->macroNames(), names);
        for (int m = 1; m <= 8; ++m) {
            const bool given = m <= defaults.size();
            QCOMPARE(rig->macroDefault(m), given ? defaults.at(m - 1) : 0.0f);
            QCOMPARE(rig->macro(m), given && !maintain ? defaults.at(m - 1) : 0.33f);
        }
    }

    void openTakesMacroNames_data()
    {
        QTest::addColumn<QString>("patch");
        QTest::addColumn<bool>("maintain");
        QTest::addColumn<QStringList>("reports");
        QTest::addColumn<float>("macro1");
        const L macros{ "macroNamesReceived([cutoff;res])", "macroDefaultsReceived([0.25;0.5])" };
        QTest::newRow("answer at once") << "engine_macros.pd" << false << macros << 0.25f;
        QTest::newRow("answer at once, maintainMacroParameters") << "engine_macros.pd" << true << macros << 0.9f;
        QTest::newRow("answer some blocks later") << "engine_latemacros.pd" << false
                                                  << L{ "macroNamesReceived([drive;tone;mix])", "macroDefaultsReceived([0.75;0.125;-1])" } << 0.75f;
    }

    // The patch's one answer to the query at its open gives the macros.
    void openTakesMacroNames()
    {
        QFETCH(QString, patch);
        QFETCH(bool, maintain);
        QFETCH(QStringList, reports);
        QFETCH(float, macro1);
        EngineRig rig;
        rig->setMaintainMacroParameters(maintain);
        rig.exec(SetMacro1, 0.9f);
        SignalLog log(rig.get(), { "macroNamesReceived", "macroDefaultsReceived", "patchLoaded" });
        answerMacros("early(0.5)"); // no open is waiting for it
        QVERIFY(rig->loadPendingPatch(dataDir(), patch));
        for (int i = 0; i < 20 && rig->macroDefault(1) == 0.0f; ++i)
            rig.run();
        answerMacros("other(0.1)"); // the answer was taken: a second one is not
        // An answer at once comes with the open; a late one after the GUI side has announced the patch.
        const L loaded { "patchLoaded(" + QFileInfo(dataDir() + '/' + patch).absoluteFilePath() + ")" };
        QCOMPARE(log.take(), patch.contains("late") ? loaded + reports : reports + loaded);
        QCOMPARE(rig->macro(1), macro1);
        rig->unloadPatch();
        QVERIFY(!rig->hasPatch());
        QCOMPARE(log.take(), L{ "macroNamesReceived([])" });
        QVERIFY(rig->macroNames().isEmpty());
    }

    // Without a patch the engine plays on, and a close changes nothing.
    void withoutPatch()
    {
        EngineRig rig;
        rig.toggle(R(5, 4));
        rig.select(R(3, 2));
        clearSent();
        SignalLog log(rig.get());
        QTest::ignoreMessage(QtCriticalMsg, QRegularExpression(QStringLiteral("^Opening PD patch failed: ")));
        QVERIFY(!rig->loadPendingPatch(dataDir(), QStringLiteral("no_such_patch.pd")));
        QElapsedTimer clock;
        clock.start();
        rig->unloadPatch();
        QVERIFY(clock.elapsed() < PdPlayer::HandOverTimeoutMs);
        QVERIFY(!rig->hasPatch());
        QCOMPARE(log.take(), L{});
        QCOMPARE(sent().size(), 0);
        QVERIFY(!rig->voiceOf(R(5, 4))->inRelease);
        QCOMPARE(rig->selection(), QList<WendleRatio>{ R(3, 2) });
        rig.toggle(R(7, 4));
        QCOMPARE(parameters(sent()), NoteOnOrder);
    }

    // With a stream running the GUI thread really waits: each hand-over must wake it.
    void openAndCloseWithStreamThread()
    {
        EngineRig rig(ownPlayerStorage<2>());
        SignalLog log(rig.get(), { "macroNamesReceived" });
        QStringList names;
        {
            StreamThread stream(*rig);
            QElapsedTimer clock;
            clock.start();
            rig->unloadPatch(); // nothing open
            QVERIFY(rig->loadPendingPatch(dataDir(), QStringLiteral("engine_macros.pd")));
            names = log.take(); // a later hand-over replaces one not yet delivered
            rig.post(WendleEvent(MasterVolumeSet, 0.4f));
            rig->unloadPatch();
            QVERIFY2(clock.elapsed() < PdPlayer::HandOverTimeoutMs, qPrintable(QString::number(clock.elapsed())));
            QVERIFY(!rig->hasPatch());
        }
        QCOMPARE(names + log.take(), (L{ "macroNamesReceived([cutoff;res])", "macroNamesReceived([])" }));
        // The unload silenced the patch; the stored master volume stays.
        QCOMPARE(masterVolumes(), (QList<float>{ 0.4f, 0.0f }));
        QCOMPARE(rig->masterVolume(), 0.4f);
    }

    void reloadRestoresNotesAndSelection_data()
    {
        QTest::addColumn<bool>("maintain");
        QTest::newRow("macros from the patch") << false;
        QTest::newRow("maintainMacroParameters") << true;
    }

    void reloadRestoresNotesAndSelection()
    {
        QFETCH(bool, maintain);
        EngineRig rig;
        rig->setMaintainMacroParameters(maintain);
        QVERIFY(rig->loadPendingPatch(dataDir(), QStringLiteral("engine_macros.pd")));
        for (const WendleRatio& r : { R(5, 4), R(3, 2), R(7, 4) })
            rig.toggle(r);
        rig.select(R(3, 2));
        rig.exec(SetGlissOne, 0.7f);
        rig.exec(SetMacro3, 0.45f);
        SignalLog log(rig.get(), { "noteToggled", "nodeSelected", "setMacroSliders" });
        rig->unloadPatch();
        QCOMPARE(log.take(), (L{ "noteToggled(5/4,false)", "noteToggled(3/2,false)", "noteToggled(7/4,false)", "nodeSelected(3/2,false)" }));
        QVERIFY(rig->loadPendingPatch(dataDir(), QStringLiteral("engine_macros.pd")));
        // The sliders first, then the notes, then the selection.
        L expected = maintain ? L{ "setMacroSliders([0;0;0.45;0;0;0;0;0])" } : L{};
        expected << "noteToggled(5/4,true)" << "noteToggled(3/2,true)" << "noteToggled(7/4,true)" << "nodeSelected(3/2,true)";
        QCOMPARE(log.take(), expected);
        // The released voices never got a stop report: the notes take free ones.
        QCOMPARE(rig->voiceOf(R(5, 4))->voice, 3);
        QCOMPARE(rig->glissPosition(0), 0.7f);
        QCOMPARE(rig->macro(1), maintain ? 0.0f : 0.25f);
    }

    void voiceStopFromPatch()
    {
        EngineRig rig;
        QVERIFY(rig->loadPendingPatch(dataDir(), QStringLiteral("engine_macros.pd")));
        rig.toggle(R(5, 4));
        rig.toggle(R(5, 4));
        QCOMPARE(libpd_start_message(1), 0);
        libpd_add_float(1.0f);
        QCOMPARE(libpd_finish_list("voice-stop"), 0);
        QVERIFY(!rig->voiceOf(R(5, 4)));
        rig->unloadPatch();
        // Closed: the receiver is gone.
        QCOMPARE(libpd_start_message(1), 0);
        libpd_add_float(1.0f);
        QVERIFY(libpd_finish_list("voice-stop") != 0);
    }

    void callbackWritesEveryFrame_data()
    {
        QTest::addColumn<bool>("withPatch");
        QTest::addColumn<bool>("silenced");
        QTest::addColumn<int>("frames");
        for (int frames : { 100, 64, 130, 20 }) {
            QTest::addRow("no patch, %d frames", frames) << false << false << frames;
            QTest::addRow("patch, %d frames", frames) << true << false << frames;
            QTest::addRow("patch, silenced, %d frames", frames) << true << true << frames;
        }
    }

    void callbackWritesEveryFrame()
    {
        QFETCH(bool, withPatch);
        QFETCH(bool, silenced);
        QFETCH(int, frames);
        EngineRig rig;
        if (withPatch)
            QVERIFY(rig->loadPendingPatch(dataDir(), QStringLiteral("engine_macros.pd")));
        std::vector<float> buffer(size_t(2 * frames + 64), 7.0f);
        rig->processCallback(buffer.data(), (unsigned long)frames, silenced);
        const int processed = withPatch && !silenced ? (frames / 64) * 64 * 2 : 0;
        for (int i = 0; i < 2 * frames + 64; ++i) {
            // The patch plays a constant 0.25 on both channels; past the end stays untouched.
            const float expected = i < processed ? 0.25f : i < 2 * frames ? 0.0f : 7.0f;
            if (buffer[size_t(i)] != expected)
                QFAIL(qPrintable(QStringLiteral("sample %1 is %2, not %3").arg(i).arg(buffer[size_t(i)]).arg(expected)));
        }
    }
};

QTEST_GUILESS_MAIN(TestPdPlayerPatch)
#include "tst_pdplayerpatch.moc"
