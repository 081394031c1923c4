#include "EngineCommandType.h"
#include "EngineRig.h"
#include "PatchFolder.h"
#include "PdPlayer.h"
#include "PrimeTables.h"
#include "RatioContext.h"
#include "SignalLog.h"
#include "WarningCatcher.h"
#include "WendleNodeRemoveEvent.h"
#include "WendleNodeResetEvent.h"
#include "WendleNoteEvent.h"
#include "WendleTransposeEvent.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QMutex>
#include <QSignalSpy>
#include <QtTest>

#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <thread>
#include <vector>

#include "z_libpd.h"

char* toString(const WendleRatio& ratio)
{
    return QTest::toString(ratio.toString(false));
}

namespace {

using L = QStringList;
const float NaN = std::numeric_limits<float>::quiet_NaN();
const float Inf = std::numeric_limits<float>::infinity();

// One "wendle-in" list as the patch receives it; voice is the 1-based number.
struct Sent
{
    float value;
    int parameter;
    int voice;
};

QMutex gSentMutex;
QList<Sent> gSent;
QList<float> gMasterVolumes;

// Records what the engine sends to the patch, then hands every list on to the
// engine's own hook so that "voice-stop" and "output-voice-info" still work.
void recordingListHook(const char* source, int argc, t_atom* argv)
{
    auto isFloat = [&](int i) { return i < argc && libpd_is_float(&argv[i]); };
    if (source && std::strcmp(source, "wendle-in") == 0 && argc == 3 && isFloat(0) && isFloat(1) && isFloat(2)) {
        QMutexLocker lock(&gSentMutex);
        gSent.append({ libpd_get_float(&argv[0]), int(libpd_get_float(&argv[1])), int(libpd_get_float(&argv[2])) });
    } else if (source && std::strcmp(source, "master-vol") == 0 && argc == 1 && isFloat(0)) {
        QMutexLocker lock(&gSentMutex);
        gMasterVolumes.append(libpd_get_float(&argv[0]));
    }
    PdPlayer::pdListHook(source, argc, argv);
}

void clearSent()
{
    QMutexLocker lock(&gSentMutex);
    gSent.clear();
    gMasterVolumes.clear();
}

// What was sent, to one voice (by index) or to all.
QList<Sent> sent(int voiceIndex = -1)
{
    QMutexLocker lock(&gSentMutex);
    QList<Sent> list;
    for (const Sent& s : gSent) {
        if (voiceIndex < 0 || s.voice == voiceIndex + 1)
            list << s;
    }
    return list;
}

QList<int> parameters(const QList<Sent>& list)
{
    QList<int> p;
    for (const Sent& s : list)
        p << s.parameter;
    return p;
}

QList<float> masterVolumes()
{
    QMutexLocker lock(&gSentMutex);
    return gMasterVolumes;
}

// A note on's parameters: the eight macros, frequency, voice volume, gate.
const QList<int> NoteOnOrder { 4, 5, 6, 7, 8, 9, 10, 11, 2, 3, 1 };
const QList<int> MacroOrder = NoteOnOrder.mid(0, 8);

void sendVoiceStop(float number)
{
    t_atom atom;
    libpd_set_float(&atom, number);
    PdPlayer::pdListHook("voice-stop", 1, &atom);
}

void answerMacros(const char* text)
{
    t_atom atoms[2];
    libpd_set_float(&atoms[0], 1.0f);
    libpd_set_symbol(&atoms[1], text);
    PdPlayer::pdListHook("output-voice-info", 2, atoms);
}

QString entry(const char* signal, const WendleRatio& r, bool flag)
{
    return QStringLiteral("%1(%2,%3)").arg(QLatin1String(signal), r.toString(false), flag ? "true" : "false");
}

// The engine's global state, one item per value.
QStringList stateOf(const PdPlayer& p)
{
    QStringList macros, primesOff;
    for (int m = 1; m <= PdPlayer::MacroCount; ++m)
        macros << QString::number(p.macro(m), 'g', 6);
    for (int i = 0; i < 32; ++i) {
        if (!p.primeEnabled(i))
            primesOff << QString::number(i);
    }
    return { "transposition " + p.transposition().toString(false), "voice " + QString::number(p.voiceVolume(), 'g', 6),
             "master " + QString::number(p.masterVolume(), 'g', 6), "base " + QString::number(p.baseFrequency(), 'g', 6),
             QStringLiteral("mono %1").arg(p.monophonic()), QStringLiteral("hold %1").arg(p.hold()),
             "macros " + macros.join(','), "primes off " + primesOff.join(',') };
}

WendleRatio R(quint64 n, quint64 d) { return WendleRatio(n, d); }

Rational stepInterval(int step)
{
    const Rational& i = primeIntervalTable[std::abs(step)];
    return step > 0 ? i : Rational(i.denominator(), i.numerator());
}

Rational pathRatio(const QList<int>& steps)
{
    Rational r(1, 1);
    for (int s : steps)
        r *= stepInterval(s);
    return r;
}

float frequency(const WendleRatio& r, float base = 440.0f)
{
    return float(r.numerator()) / float(r.denominator()) * base;
}

float glissFactor(float position, double rangeCents)
{
    return float(std::pow(2.0, (double(position) - 0.5) * 2.0 * rangeCents / 1200.0));
}

QSet<WendleRatio> asSet(const QList<WendleRatio>& list)
{
    return QSet<WendleRatio>(list.begin(), list.end());
}

QString dataDir()
{
    return PatchFolder::sourceDir() + QStringLiteral("/tests/engine/data");
}

// Storage of its own for a player that other threads use (see EngineRig).
template <int Slot>
void* ownPlayerStorage()
{
    alignas(PdPlayer) static unsigned char storage[sizeof(PdPlayer)];
    return storage;
}

// A stand-in for the audio output's stream: another thread runs the callbacks.
class StreamThread
{
public:
    explicit StreamThread(PdPlayer& player)
        : mPlayer(player)
    {
        mPlayer.setStreamRunning(true);
        mThread = std::thread([this] {
            float out[2 * 64];
            while (mRunning.load(std::memory_order_acquire)) {
                mPlayer.processCallback(out, 64, false);
                std::this_thread::sleep_for(std::chrono::microseconds(500));
            }
        });
    }
    ~StreamThread()
    {
        mRunning.store(false, std::memory_order_release);
        mThread.join();
        mPlayer.setStreamRunning(false);
    }

private:
    PdPlayer& mPlayer;
    std::atomic<bool> mRunning { true };
    std::thread mThread;
};

} // namespace

class TestPdPlayer : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(PdPlayer::initLibpd());
        QCOMPARE(libpd_init_audio(0, 2, 48000), 0);
        libpd_set_listhook(&recordingListHook);
        QVERIFY(libpd_bind("wendle-in") != nullptr);
        QVERIFY(libpd_bind("master-vol") != nullptr);
        QVERIFY(QFileInfo::exists(dataDir() + QStringLiteral("/engine_macros.pd")));
    }

    void init()
    {
        RatioContext::publishTransposition(Rational(1, 1), Rational(1, 1));
        clearSent();
    }

    // ---------------------------------------------------------------- dispatch

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

    // ---------------------------------------------------------------- voices and notes

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

    // ---------------------------------------------------------------- selection, node parameters, gliss, resets

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

    // ---------------------------------------------------------------- macros and the patch

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

QTEST_GUILESS_MAIN(TestPdPlayer)
#include "tst_pdplayer.moc"
