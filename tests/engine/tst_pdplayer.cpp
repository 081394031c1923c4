#include "EngineCommandType.h"
#include "PdPlayer.h"
#include "PrimeTables.h"
#include "RatioContext.h"
#include "WendleEvent.h"
#include "WendleNodeRemoveEvent.h"
#include "WendleNodeResetEvent.h"
#include "WendleNodeSelectToggleEvent.h"
#include "WendleNoteEvent.h"
#include "WendleTransposeEvent.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QMutex>
#include <QSignalSpy>
#include <QtTest>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <thread>
#include <vector>

#include "z_libpd.h"

// Ratios in test failure messages.
char* toString(const WendleRatio& ratio)
{
    return QTest::toString(ratio.toString(false));
}

namespace {

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

// Records what the engine sends to the patch, then hands every list to the
// engine's own hook so that "voice-stop" and "output-voice-info" still work.
void recordingListHook(const char* source, int argc, t_atom* argv)
{
    if (source && std::strcmp(source, "wendle-in") == 0 && argc == 3 && libpd_is_float(&argv[0])
        && libpd_is_float(&argv[1]) && libpd_is_float(&argv[2])) {
        QMutexLocker lock(&gSentMutex);
        gSent.append({ libpd_get_float(&argv[0]), int(libpd_get_float(&argv[1])), int(libpd_get_float(&argv[2])) });
    } else if (source && std::strcmp(source, "master-vol") == 0 && argc == 1 && libpd_is_float(&argv[0])) {
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

QList<Sent> sent()
{
    QMutexLocker lock(&gSentMutex);
    return gSent;
}

QList<Sent> sentTo(int voiceIndex)
{
    QList<Sent> list;
    for (const Sent& s : sent()) {
        if (s.voice == voiceIndex + 1)
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

// Warnings logged while an instance lives; other messages go on as before.
class WarningCatcher
{
public:
    WarningCatcher()
    {
        sSelf = this;
        mPrevious = qInstallMessageHandler(&WarningCatcher::handle);
    }
    ~WarningCatcher()
    {
        qInstallMessageHandler(mPrevious);
        sSelf = nullptr;
    }
    int size() const { return int(mWarnings.size()); }
    const QStringList& warnings() const { return mWarnings; }

private:
    static void handle(QtMsgType type, const QMessageLogContext& context, const QString& message)
    {
        if (type == QtWarningMsg)
            sSelf->mWarnings << message;
        else if (sSelf->mPrevious)
            sSelf->mPrevious(type, context, message);
    }

    static WarningCatcher* sSelf;
    QtMessageHandler mPrevious = nullptr;
    QStringList mWarnings;
};

WarningCatcher* WarningCatcher::sSelf = nullptr;

// Every signal of an object, counted.
class SignalCounter
{
public:
    explicit SignalCounter(QObject* object)
    {
        const QMetaObject* mo = object->metaObject();
        for (int i = mo->methodOffset(); i < mo->methodCount(); ++i) {
            const QMetaMethod m = mo->method(i);
            if (m.methodType() == QMetaMethod::Signal)
                mSpies.push_back(std::make_unique<QSignalSpy>(object, m));
        }
    }
    int total() const
    {
        int n = 0;
        for (const auto& s : mSpies)
            n += int(s->count());
        return n;
    }

private:
    std::vector<std::unique_ptr<QSignalSpy>> mSpies;
};

WendleRatio R(quint64 n, quint64 d) { return WendleRatio(n, d); }

Rational stepInterval(int step)
{
    const Rational& i = primeIntervalTable[step < 0 ? -step : step];
    return step > 0 ? i : Rational(i.denominator(), i.numerator());
}

Rational pathRatio(const QList<int>& steps)
{
    Rational r(1, 1);
    for (int s : steps)
        r *= stepInterval(s);
    return r;
}

// Frequency of a ratio the way the engine forms it: in float, times the base.
float frequency(const WendleRatio& r, float base)
{
    return float(r.numerator()) / float(r.denominator()) * base;
}

float glissFactor(float position, double rangeCents)
{
    return float(std::pow(2.0, (double(position) - 0.5) * 2.0 * rangeCents / 1200.0));
}

QList<WendleRatio> ratiosOf(const QSignalSpy& spy, int argument = 0)
{
    QList<WendleRatio> list;
    for (const QList<QVariant>& args : spy)
        list << args.at(argument).value<WendleRatio>();
    return list;
}

// (ratio, flag) pairs of a two-argument signal such as noteToggled.
using Toggles = QList<QPair<WendleRatio, bool>>;

Toggles toggles(const QSignalSpy& spy)
{
    Toggles list;
    for (const QList<QVariant>& args : spy)
        list << qMakePair(args.at(0).value<WendleRatio>(), args.at(1).toBool());
    return list;
}

QSet<WendleRatio> asSet(const QList<WendleRatio>& list)
{
    return QSet<WendleRatio>(list.begin(), list.end());
}

QString dataDir()
{
    const QString fromEnv = qEnvironmentVariable("WENDLE_SOURCE_DIR");
    const QString root = fromEnv.isEmpty() ? QStringLiteral(WENDLE_SOURCE_DIR_FALLBACK) : fromEnv;
    return QDir(root).filePath(QStringLiteral("tests/engine/data"));
}

void deletePlayer(PdPlayer* player)
{
    delete player;
}

void destroyPlayerInPlace(PdPlayer* player)
{
    player->~PdPlayer();
}

// ThreadSanitizer takes a mutex built where an earlier one was destroyed for
// the destroyed one: the players that other threads use get an address of
// their own, never used by another player.
template <int Slot>
void* ownPlayerStorage()
{
    alignas(PdPlayer) static unsigned char storage[sizeof(PdPlayer)];
    return storage;
}

// The test thread plays the audio thread: commands go into the rings and one
// callback of 64 frames executes them.
class Rig
{
public:
    Rig()
        : player(new PdPlayer, &deletePlayer)
    {
        player->createRings();
        clearSent();
    }
    explicit Rig(void* storage)
        : player(new (storage) PdPlayer, &destroyPlayerInPlace)
    {
        player->createRings();
        clearSent();
    }

    PdPlayer& operator*() { return *player; }
    PdPlayer* operator->() { return player.get(); }

    void post(const WendleEvent& event) { player->guiCommandBuffer().post(&event); }
    void postSerial(const WendleEvent& event) { player->serialCommandBuffer().post(&event); }
    void run(unsigned long frames = 64) { player->processCallback(buffer, frames, false); }
    void exec(const WendleEvent& event)
    {
        post(event);
        run();
    }
    void exec(qint32 type, float value = 1.0f) { exec(WendleEvent(type, value)); }
    void toggle(const WendleRatio& r, float value = 1.0f) { exec(WendleNoteEvent(ToggleRatioNote, value, WendlePath(), r)); }
    void togglePath(const QList<int>& steps)
    {
        WendlePath path;
        for (int s : steps)
            path.append(qint8(s));
        exec(WendleNoteEvent(TogglePathNote, 1.0f, path, WendleRatio()));
    }
    void select(const WendleRatio& r) { exec(WendleNodeSelectToggleEvent(ToggleNodeSelection, 1.0f, r)); }
    void deliver() { player->deliverReports(); }

    std::unique_ptr<PdPlayer, void (*)(PdPlayer*)> player;
    float buffer[2 * 64 * 4] = {};
};

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
    ~StreamThread() { stop(); }
    void stop()
    {
        if (!mThread.joinable())
            return;
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
    void initTestCase();
    void init();

    // dispatch
    void unknownTypesAreIgnored_data();
    void unknownTypesAreIgnored();
    void togglePathNote_data();
    void togglePathNote();
    void sixStepPathSounds();
    void togglePathNoteInvalidPath();
    void togglePathNotePrimeOff_data();
    void togglePathNotePrimeOff();
    void allNotesOffTypes();
    void deselectAllThenRemove();
    void everyDeselectionReportsItsNode_data();
    void everyDeselectionReportsItsNode();
    void nullRatioCommands_data();
    void nullRatioCommands();
    void resetTypes_data();
    void resetTypes();
    void resetAlteredSoftRetriggers();
    void nodeResetModes_data();
    void nodeResetModes();
    void replayFromGuiRunsAtNextCallback();
    void replayFromSerialRunsInSameCallback();
    void replayOverflowWarns();
    void selectSounding();
    void transposeByPrime_data();
    void transposeByPrime();
    void volumes_data();
    void volumes();
    void voiceVolumeReachesNextNoteOn();
    void monophonicValue_data();
    void monophonicValue();
    void patchStep_data();
    void patchStep();
    void baseFrequencyDoesNotRetune();
    void togglePrime_data();
    void togglePrime();
    void setMacroTypes_data();
    void setMacroTypes();
    void toggleRatioNoteAndHold_data();
    void toggleRatioNoteAndHold();
    void toggleRatioNoteInReleaseTakesNewVoice();
    void removeNode_data();
    void removeNode();
    void transposeByRatio();
    void transposeByZeroRatioIgnored();
    void selectionUsesLatticeTransposition_data();
    void selectionUsesLatticeTransposition();
    void resetNodeValue_data();
    void resetNodeValue();
    void nodesRecalled();
    void setHoldValue_data();
    void setHoldValue();

    // voices and notes
    void noteOnMessageOrder();
    void noteOffMessages();
    void noInstructionsWhileInterfaceInactive();
    void alteredNodeNoteOnUsesItsParameters();
    void voiceStopIgnoresOtherLists();
    void stealingTakesOldestVoice();
    void maxVoicesBounds_data();
    void maxVoicesBounds();
    void monoChain();
    void frequencyBounds_data();
    void frequencyBounds();
    void releasedNoteToggledAgain();
    void voiceStopNumbers_data();
    void voiceStopNumbers();
    void mapGliss_data();
    void mapGliss();
    void soundingRatiosFollowCallbacks();
    void soundingSnapshotAcrossThreads();

    // selection, node parameters, gliss, resets
    void selectionMakesNodeAltered();
    void setMacroValueClamping_data();
    void setMacroValueClamping();
    void macroWithEmptySelectionChangesOnlyGlobal();
    void glissRetunesOnlySelectedVoices();
    void resetSingleNode_data();
    void resetSingleNode();

    // macros and the patch
    void parseMacroNames_data();
    void parseMacroNames();
    void parseMacroNamesMaintained();
    void macroAnswerOutsideWaitIgnored();
    void openTakesMacroNames_data();
    void openTakesMacroNames();
    void lateMacroAnswerTaken();
    void failedOpen();
    void closeWithoutPatch();
    void closeWithoutPatchWakesGuiThread();
    void openAndCloseWithStreamThread();
    void reloadRestoresNotesAndSelection_data();
    void reloadRestoresNotesAndSelection();
    void voiceStopFromPatch();
    void masterVolumeToPatch();
    void callbackWritesEveryFrame_data();
    void callbackWritesEveryFrame();
};

void TestPdPlayer::initTestCase()
{
    QVERIFY(PdPlayer::initLibpd());
    QCOMPARE(libpd_init_audio(0, 2, 48000), 0);
    libpd_set_listhook(&recordingListHook);
    QVERIFY(libpd_bind("wendle-in") != nullptr);
    QVERIFY(libpd_bind("master-vol") != nullptr);
    QVERIFY(QFileInfo::exists(QDir(dataDir()).filePath(QStringLiteral("engine_macros.pd"))));
}

void TestPdPlayer::init()
{
    RatioContext::publishTransposition(Rational(1, 1), Rational(1, 1));
    clearSent();
}

// ---------------------------------------------------------------- dispatch

void TestPdPlayer::unknownTypesAreIgnored_data()
{
    QTest::addColumn<int>("type");
    QTest::newRow("43") << 43;
    QTest::newRow("44") << 44;
    QTest::newRow("1000") << 1000;
    QTest::newRow("-1") << -1;
    QTest::newRow("min") << std::numeric_limits<int>::min();
    QTest::newRow("max") << std::numeric_limits<int>::max();
}

void TestPdPlayer::unknownTypesAreIgnored()
{
    QFETCH(int, type);
    Rig rig;
    rig.toggle(R(5, 4));
    rig.select(R(3, 2));
    rig.deliver();
    clearSent();
    SignalCounter signalCount(rig.player.get());
    const float master = rig->masterVolume();
    const float voiceVolume = rig->voiceVolume();
    const float base = rig->baseFrequency();
    rig.exec(WendleEvent(type, 1.0f));
    rig.exec(WendleNoteEvent(type, 2.0f, WendlePath::fromSteps({ 3 }), R(5, 4)));
    rig.exec(WendleTransposeEvent(type, 1.0f, R(3, 2)));
    rig.deliver();
    QCOMPARE(signalCount.total(), 0);
    QCOMPARE(sent().size(), 0);
    QCOMPARE(rig->masterVolume(), master);
    QCOMPARE(rig->voiceVolume(), voiceVolume);
    QCOMPARE(rig->baseFrequency(), base);
    QCOMPARE(rig->transposition(), R(1, 1));
    QVERIFY(rig->voiceOf(R(5, 4)) && !rig->voiceOf(R(5, 4))->inRelease);
    QCOMPARE(rig->selection(), QList<WendleRatio>{ R(3, 2) });
}

void TestPdPlayer::togglePathNote_data()
{
    QTest::addColumn<QList<int>>("steps");
    QTest::addColumn<int>("transposeStep"); // the player's own transposition, by type 15
    QTest::newRow("root") << QList<int>{} << 0;
    QTest::newRow("fifth") << QList<int>{ 3 } << 0;
    QTest::newRow("fifth an octave down") << QList<int>{ 3, -2 } << 0;
    QTest::newRow("third, transposed up a fifth") << QList<int>{ 5 } << 3;
    QTest::newRow("seventh, transposed down a fifth") << QList<int>{ 7 } << -3;
    QTest::newRow("two steps, transposed by 11") << QList<int>{ 13, -5 } << 11;
}

void TestPdPlayer::togglePathNote()
{
    QFETCH(QList<int>, steps);
    QFETCH(int, transposeStep);
    Rig rig;
    Rational t(1, 1);
    if (transposeStep != 0) {
        rig.exec(TransposeByPrime, float(transposeStep));
        t = stepInterval(transposeStep);
    }
    QCOMPARE(rig->transposition(), WendleRatio(t));
    const WendleRatio expected(pathRatio(steps) * t);
    QSignalSpy notes(rig.player.get(), &PdPlayer::noteToggled);
    clearSent();

    rig.togglePath(steps);
    rig.deliver();
    QCOMPARE(toggles(notes), (Toggles{ { expected, true } }));
    const Voice* v = rig->voiceOf(expected);
    QVERIFY(v);
    QCOMPARE(v->voice, 0);
    const QList<Sent> messages = sentTo(0);
    QCOMPARE(parameters(messages).mid(8), (QList<int>{ 2, 3, 1 }));
    QCOMPARE(messages.at(8).value, frequency(expected, 440.0f));

    rig.togglePath(steps);
    rig.deliver();
    QCOMPARE(notes.count(), 2);
    QCOMPARE(notes.at(1).at(0).value<WendleRatio>(), expected);
    QCOMPARE(notes.at(1).at(1).toBool(), false);
    QVERIFY(rig->voiceOf(expected)->inRelease);

    // Toggled while in release: sounds again, on a voice of its own.
    rig.togglePath(steps);
    rig.deliver();
    QCOMPARE(notes.count(), 3);
    QCOMPARE(notes.at(2).at(1).toBool(), true);
    QCOMPARE(rig->voiceOf(expected)->voice, 1);
}

void TestPdPlayer::sixStepPathSounds()
{
    Rig rig;
    const QList<int> steps{ 3, 3, -5, 7, -2, 11 };
    const WendleRatio expected(pathRatio(steps));
    QSignalSpy notes(rig.player.get(), &PdPlayer::noteToggled);
    rig.togglePath(steps);
    rig.deliver();
    QCOMPARE(ratiosOf(notes), QList<WendleRatio>{ expected });
    QCOMPARE(sentTo(0).at(8).value, frequency(expected, 440.0f));
}

void TestPdPlayer::togglePathNoteInvalidPath()
{
    Rig rig;
    rig.togglePath({ 3 });
    rig.deliver();
    clearSent();
    WendlePath invalid;
    invalid.fromText(QStringLiteral("/4"));
    QVERIFY(invalid.isInvalid());
    SignalCounter signalCount(rig.player.get());
    rig.exec(WendleNoteEvent(TogglePathNote, 1.0f, invalid, WendleRatio()));
    // Also an invalid marker followed by what would be a valid path.
    WendlePath marked = WendlePath::fromSteps({ 3 });
    marked.steps[0] = WendlePath::InvalidMarker;
    rig.exec(WendleNoteEvent(TogglePathNote, 1.0f, marked, WendleRatio()));
    rig.deliver();
    QCOMPARE(signalCount.total(), 0);
    QCOMPARE(sent().size(), 0);
    QVERIFY(!rig->voiceOf(R(3, 2))->inRelease);
    QCOMPARE(rig->voiceAt(1).seqId, quint32(0));
}

void TestPdPlayer::togglePathNotePrimeOff_data()
{
    QTest::addColumn<QList<int>>("steps");
    QTest::addColumn<int>("prime");
    QTest::newRow("last step 5") << QList<int>{ 3, 5 } << 5;
    QTest::newRow("last step 3") << QList<int>{ 5, 3 } << 3;
    QTest::newRow("last step -7") << QList<int>{ 3, -7 } << 7;
    QTest::newRow("root, entry 0 of the prime list") << QList<int>{} << primeList[0];
}

void TestPdPlayer::togglePathNotePrimeOff()
{
    QFETCH(QList<int>, steps);
    QFETCH(int, prime);
    Rig rig;
    const WendleRatio ratio(pathRatio(steps));
    rig.togglePath(steps);
    QVERIFY(rig->voiceOf(ratio) && !rig->voiceOf(ratio)->inRelease);
    rig.exec(TogglePrime, float(prime));
    QVERIFY(!rig->primeEnabled(prime));
    rig.deliver();
    QSignalSpy notes(rig.player.get(), &PdPlayer::noteToggled);
    clearSent();

    // Switched off: neither silenced while sounding ...
    rig.togglePath(steps);
    rig.deliver();
    QCOMPARE(notes.count(), 0);
    QVERIFY(!rig->voiceOf(ratio)->inRelease);
    // ... nor sounded when silent (only the root itself ends in entry 0).
    if (!steps.isEmpty()) {
        QList<int> other = steps;
        other.prepend(2);
        const WendleRatio otherRatio(pathRatio(other));
        rig.togglePath(other);
        rig.deliver();
        QCOMPARE(notes.count(), 0);
        QVERIFY(!rig->voiceOf(otherRatio));
    }
    QCOMPARE(sent().size(), 0);

    // A path whose last prime is another one is not affected.
    rig.togglePath({ prime == 13 ? 17 : 13 });
    rig.deliver();
    QCOMPARE(notes.count(), 1);

    // Switched on again, the toggle works.
    rig.exec(TogglePrime, float(prime));
    rig.togglePath(steps);
    rig.deliver();
    QCOMPARE(notes.count(), 2);
    QCOMPARE(notes.last().at(0).value<WendleRatio>(), ratio);
    QCOMPARE(notes.last().at(1).toBool(), false);
}

void TestPdPlayer::allNotesOffTypes()
{
    Rig rig;
    const QList<WendleRatio> held{ R(5, 4), R(3, 2), R(7, 4) };
    for (const WendleRatio& r : held)
        rig.toggle(r);
    rig.exec(SetHold, 1.0f);
    rig.toggle(R(9, 8));
    rig.deliver();
    QSignalSpy notes(rig.player.get(), &PdPlayer::noteToggled);
    clearSent();

    rig.exec(AllNotesOffExceptHeld);
    rig.deliver();
    QCOMPARE(toggles(notes), (Toggles{ { R(9, 8), false } }));
    for (const WendleRatio& r : held)
        QVERIFY(!rig->voiceOf(r)->inRelease);
    QCOMPARE(parameters(sentTo(rig->voiceOf(R(9, 8))->voice)), QList<int>{ 1 });

    notes.clear();
    rig.exec(AllNotesOff);
    rig.deliver();
    // Every voiced ratio, the one already in release too.
    QCOMPARE(asSet(ratiosOf(notes)), asSet(held + QList<WendleRatio>{ R(9, 8) }));
    QCOMPARE(notes.count(), 4);
    for (const QList<QVariant>& args : notes)
        QCOMPARE(args.at(1).toBool(), false);
    for (const WendleRatio& r : held)
        QVERIFY(rig->voiceOf(r)->inRelease);
}

void TestPdPlayer::deselectAllThenRemove()
{
    Rig rig;
    rig.select(R(5, 4));
    rig.select(R(3, 2));
    rig.toggle(R(7, 4));
    rig.deliver();
    QSignalSpy selected(rig.player.get(), &PdPlayer::nodeSelected);
    QSignalSpy notes(rig.player.get(), &PdPlayer::noteToggled);
    QSignalSpy removed(rig.player.get(), &PdPlayer::removeNodeInStack);

    rig.exec(WendleNodeRemoveEvent(DeselectAll, 1.0f, R(7, 4)));
    rig.deliver();
    QCOMPARE(toggles(selected), (Toggles{ { R(5, 4), false }, { R(3, 2), false } }));
    QVERIFY(rig->selection().isEmpty());
    QCOMPARE(toggles(notes), (Toggles{ { R(7, 4), false } }));
    QCOMPARE(ratiosOf(removed), QList<WendleRatio>{ R(7, 4) });

    // A plain event carries the ratio 0/1.
    notes.clear();
    removed.clear();
    rig.exec(DeselectAll);
    rig.deliver();
    QCOMPARE(notes.count(), 0);
    QCOMPARE(ratiosOf(removed), QList<WendleRatio>{ WendleRatio() });
}

void TestPdPlayer::everyDeselectionReportsItsNode_data()
{
    QTest::addColumn<int>("type"); // -1: patch close
    QTest::addColumn<bool>("reselected");
    QTest::newRow("3 deselect all") << int(DeselectAll) << false;
    QTest::newRow("4 reset selected") << int(ResetSelectedNodes) << true;
    QTest::newRow("5 reset selected, deselect") << int(ResetSelectedNodesAndDeselect) << false;
    QTest::newRow("6 reset altered") << int(ResetAlteredNodes) << true;
    QTest::newRow("7 reset altered, deselect") << int(ResetAlteredNodesAndDeselect) << false;
    QTest::newRow("9 reset all, deselect") << int(ResetAllParametersAndDeselect) << false;
    QTest::newRow("10 gliss one reset") << int(NodeResetGlissOne) << true;
    QTest::newRow("12 gliss reset") << int(NodeResetGliss) << true;
    QTest::newRow("patch close") << -1 << false;
}

// Each deselected node is announced by its own ratio, once.
void TestPdPlayer::everyDeselectionReportsItsNode()
{
    QFETCH(int, type);
    QFETCH(bool, reselected);
    Rig rig;
    if (type < 0)
        QVERIFY(rig->loadPendingPatch(dataDir(), QStringLiteral("engine_macros.pd")));
    const QList<WendleRatio> nodes{ R(5, 4), R(3, 2), R(7, 4) };
    for (const WendleRatio& r : nodes)
        rig.select(r);
    rig.deliver();
    QSignalSpy selected(rig.player.get(), &PdPlayer::nodeSelected);
    if (type < 0)
        rig->unloadPatch();
    else
        rig.exec(type);
    rig.deliver();
    QList<WendleRatio> off, on;
    for (const auto& t : toggles(selected))
        (t.second ? on : off) << t.first;
    std::sort(off.begin(), off.end(), [](const WendleRatio& a, const WendleRatio& b) { return a.toDouble() < b.toDouble(); });
    QList<WendleRatio> expected = nodes;
    std::sort(expected.begin(), expected.end(), [](const WendleRatio& a, const WendleRatio& b) { return a.toDouble() < b.toDouble(); });
    QCOMPARE(off, expected);
    QCOMPARE(asSet(on), reselected ? asSet(nodes) : QSet<WendleRatio>{});
    QCOMPARE(on.size(), reselected ? nodes.size() : 0);
}

void TestPdPlayer::nullRatioCommands_data()
{
    QTest::addColumn<int>("type");
    QTest::newRow("34 refuses to toggle 0/1") << int(ToggleRatioNote);
    QTest::newRow("35 removes 0/1 from the stack") << int(RemoveNode);
    QTest::newRow("37 refuses to select 0/1") << int(ToggleNodeSelection);
    QTest::newRow("38 refuses to reset 0/1") << int(ResetNode);
}

// A plain event carries the ratio 0/1: a note or a selection of "no ratio"
// would put a voice and a card on nothing, so those commands are refused.
void TestPdPlayer::nullRatioCommands()
{
    QFETCH(int, type);
    Rig rig;
    const WendleRatio none;
    QSignalSpy notes(rig.player.get(), &PdPlayer::noteToggled);
    QSignalSpy removed(rig.player.get(), &PdPlayer::removeNodeInStack);
    QSignalSpy selected(rig.player.get(), &PdPlayer::nodeSelected);
    QSignalSpy altered(rig.player.get(), &PdPlayer::nodeAltered);
    rig.exec(type, 1.0f);
    if (type != RemoveNode)
        QTest::ignoreMessage(QtWarningMsg, qPrintable(QStringLiteral("Command %1 ignored: it carries no ratio").arg(type)));
    rig.deliver();
    QCOMPARE(notes.count() + selected.count() + altered.count(), 0);
    QVERIFY(!rig->voiceOf(none));
    QVERIFY(rig->selection().isEmpty());
    QVERIFY(sent().isEmpty());
    // Removing "no ratio" from the node stack is harmless and still reported.
    QCOMPARE(ratiosOf(removed), type == RemoveNode ? QList<WendleRatio>{ none } : QList<WendleRatio>{});
}

void TestPdPlayer::resetTypes_data()
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

void TestPdPlayer::resetTypes()
{
    QFETCH(int, type);
    QFETCH(bool, selectionKept);
    QFETCH(bool, unselectedAlteredReset);
    QFETCH(bool, globalsToDefaults);
    Rig rig;
    rig->parseMacroNames("m1(0.2):m2(0.4)");
    const WendleRatio a(5, 4), b(3, 2), c(7, 4), d(9, 8);
    rig.toggle(a);
    rig.toggle(b);
    rig.select(a);
    rig.select(c);
    rig.select(d);
    rig.select(d); // d: altered, not selected
    rig.exec(SetMacro1, 0.9f);
    rig.exec(SetGlissOne, 0.7f);
    rig.deliver();
    const NodeParameters dBefore = *rig->alteredParameters(d);
    QCOMPARE(rig->altered(), (QList<WendleRatio>{ a, c, d }));
    QSignalSpy altered(rig.player.get(), &PdPlayer::nodeAltered);
    QSignalSpy gliss(rig.player.get(), &PdPlayer::resetGlissSliders);
    QSignalSpy macroChanged(rig.player.get(), qOverload<int, float>(&PdPlayer::macroValueChanged));

    rig.exec(type);
    rig.deliver();

    QCOMPARE(rig->selection(), selectionKept ? (QList<WendleRatio>{ a, c }) : QList<WendleRatio>{});
    // Selected nodes end altered again only because they are selected again.
    QList<WendleRatio> expectedAltered;
    if (!unselectedAlteredReset)
        expectedAltered << d;
    if (selectionKept)
        expectedAltered << a << c;
    QCOMPARE(asSet(rig->altered()), asSet(expectedAltered));
    const Toggles alteredSignals = toggles(altered);
    QVERIFY(alteredSignals.contains(qMakePair(a, false)));
    QVERIFY(alteredSignals.contains(qMakePair(c, false)));
    QCOMPARE(alteredSignals.contains(qMakePair(d, false)), unselectedAlteredReset);
    if (!unselectedAlteredReset) {
        QCOMPARE(rig->alteredParameters(d)->macros[0], dBefore.macros[0]);
        QCOMPARE(rig->alteredParameters(d)->gliss[0], dBefore.gliss[0]);
    } else {
        // The entry stays, holding the defaults.
        QVERIFY(rig->alteredParameters(d));
        QCOMPARE(rig->alteredParameters(d)->macros[0], 0.2f);
        QCOMPARE(rig->alteredParameters(d)->macros[1], 0.4f);
        QCOMPARE(rig->alteredParameters(d)->gliss[0], 0.5f);
    }
    if (globalsToDefaults) {
        QCOMPARE(rig->macro(1), 0.2f);
        QCOMPARE(rig->macro(2), 0.4f);
        QCOMPARE(rig->glissPosition(0), 0.5f);
        QCOMPARE(gliss.count(), 1);
        QCOMPARE(gliss.at(0).at(0).value<short>(), short(0));
        // Each default went through setMacroValue.
        QCOMPARE(macroChanged.count(), 2);
        QCOMPARE(macroChanged.at(0).at(0).toInt(), 1);
        QCOMPARE(macroChanged.at(0).at(1).toFloat(), 0.2f);
        QCOMPARE(macroChanged.at(1).at(0).toInt(), 2);
        QCOMPARE(macroChanged.at(1).at(1).toFloat(), 0.4f);
    } else {
        QCOMPARE(macroChanged.count(), 0);
        QCOMPARE(rig->macro(1), 0.9f);
        QCOMPARE(rig->glissPosition(0), 0.7f);
        QCOMPARE(gliss.count(), 0);
    }
    // Both sounding nodes still sound.
    QVERIFY(!rig->voiceOf(a)->inRelease);
    QVERIFY(!rig->voiceOf(b)->inRelease);
}

void TestPdPlayer::resetAlteredSoftRetriggers()
{
    Rig rig;
    rig->setSoftNodeReset(true);
    const WendleRatio a(5, 4), b(3, 2);
    rig.toggle(a);
    rig.toggle(b);
    rig.select(a);
    rig.deliver();
    QSignalSpy notes(rig.player.get(), &PdPlayer::noteToggled);
    rig.exec(ResetAlteredNodesAndDeselect);
    rig.deliver();
    const auto t = toggles(notes);
    QCOMPARE(t.size(), 4);
    QCOMPARE(asSet({ t[0].first, t[1].first }), asSet({ a, b }));
    QVERIFY(!t[0].second && !t[1].second);
    QCOMPARE(asSet({ t[2].first, t[3].first }), asSet({ a, b }));
    QVERIFY(t[2].second && t[3].second);
    QVERIFY(rig->selection().isEmpty());
    QVERIFY(rig->altered().isEmpty());
    QVERIFY(!rig->voiceOf(a)->inRelease);
}

void TestPdPlayer::nodeResetModes_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<int>("mode");
    QTest::newRow("10 gliss one") << int(NodeResetGlissOne) << 1;
    QTest::newRow("11 gliss two") << int(NodeResetGlissTwo) << 2;
    QTest::newRow("12 both") << int(NodeResetGliss) << 0;
}

void TestPdPlayer::nodeResetModes()
{
    QFETCH(int, type);
    QFETCH(int, mode);
    Rig rig;
    rig->setGlissRanges(1200.0f, 100.0f);
    rig->setGlissRangeOptions(600.0f, 50.0f);
    rig->setInterfaceActive(true);
    const WendleRatio a(5, 4), b(3, 2);
    rig.toggle(a);
    rig.select(a);
    rig.exec(SetGlissOne, 0.8f);
    rig.exec(SetGlissTwo, 0.3f);
    rig.select(a); // a keeps 0.8 and 0.3 as its own positions
    rig.select(b);
    rig.deliver();
    QCOMPARE(rig->alteredParameters(a)->gliss[0], 0.8f);
    QCOMPARE(rig->alteredParameters(a)->gliss[1], 0.3f);
    QSignalSpy sliders(rig.player.get(), &PdPlayer::resetGlissSliders);
    QSignalSpy selected(rig.player.get(), &PdPlayer::nodeSelected);
    QSignalSpy instructions(rig.player.get(), &PdPlayer::instructionsToInterface);
    clearSent();

    rig.exec(type);
    rig.deliver();

    QCOMPARE(sliders.count(), 1);
    QCOMPARE(sliders.at(0).at(0).value<short>(), short(mode));
    const float one = mode != 2 ? 0.5f : 0.8f;
    const float two = mode != 1 ? 0.5f : 0.3f;
    QCOMPARE(rig->glissPosition(0), one);
    QCOMPARE(rig->glissPosition(1), two);
    QCOMPARE(rig->alteredParameters(a)->gliss[0], one);
    QCOMPARE(rig->alteredParameters(a)->gliss[1], two);
    // What was selected is selected again.
    QCOMPARE(rig->selection(), QList<WendleRatio>{ b });
    QCOMPARE(toggles(selected), (Toggles{ { b, false }, { b, true } }));

    // The voiced altered node is retuned with the gliss ranges in force before the reload.
    const int voice = rig->voiceOf(a)->voice;
    const QList<Sent> toA = sentTo(voice);
    QCOMPARE(parameters(toA), QList<int>{ 2 });
    const float nodeOne = mode > 0 ? one : 0.5f;
    const float nodeTwo = mode > 0 ? two : 0.5f;
    const float f = frequency(a, 440.0f) * glissFactor(nodeOne, 1200.0) * glissFactor(nodeTwo, 100.0);
    QCOMPARE(toA.at(0).value, f);
    QCOMPARE(instructions.count(), 1);
    QCOMPARE(instructions.at(0).at(0).toInt(), 2);
    QCOMPARE(instructions.at(0).at(1).value<QList<int>>(), QList<int>{ voice });
    QCOMPARE(instructions.at(0).at(2).value<QList<float>>(), QList<float>{ f });
    QCOMPARE(instructions.at(0).at(3).value<QList<float>>(), QList<float>{ -1.0f });

    // The ranges were reloaded from the options.
    QCOMPARE(rig->mapGlissOne(1.0f), glissFactor(1.0f, 600.0));
    QCOMPARE(rig->mapGlissTwo(1.0f), glissFactor(1.0f, 50.0));
}

void TestPdPlayer::replayFromGuiRunsAtNextCallback()
{
    Rig rig;
    const WendleRatio a(5, 4), b(3, 2), c(7, 4);
    rig.select(a);
    rig.select(b);
    rig.toggle(c);
    rig.select(c); // sounding and selected: the replay toggles it off
    rig.deliver();
    QSignalSpy notes(rig.player.get(), &PdPlayer::noteToggled);

    rig.exec(ReplaySelection);
    rig.deliver();
    QCOMPARE(notes.count(), 0);
    QVERIFY(!rig->voiceOf(a));

    // Posted after the replay was made: it comes after the replayed commands.
    const WendleRatio d(13, 8);
    rig.post(WendleNoteEvent(ToggleRatioNote, 1.0f, WendlePath(), d));
    rig.run();
    rig.deliver();
    QCOMPARE(toggles(notes), (Toggles{ { a, true }, { b, true }, { c, false }, { d, true } }));
    // Executed once only.
    rig.run();
    rig.deliver();
    QCOMPARE(notes.count(), 4);
}

void TestPdPlayer::replayFromSerialRunsInSameCallback()
{
    Rig rig;
    const WendleRatio a(5, 4), b(3, 2), c(11, 8);
    rig.select(a);
    rig.select(b);
    rig.deliver();
    QSignalSpy notes(rig.player.get(), &PdPlayer::noteToggled);

    // Posted by the GUI before the callback: runs before the replayed ones.
    rig.post(WendleNoteEvent(ToggleRatioNote, 1.0f, WendlePath(), c));
    rig.postSerial(WendleEvent(ReplaySelection));
    rig.run();
    rig.deliver();
    QCOMPARE(ratiosOf(notes), (QList<WendleRatio>{ c, a, b }));

    // Held nodes stay when replayed with hold on.
    rig.exec(SetHold, 1.0f);
    notes.clear();
    rig.postSerial(WendleEvent(ReplaySelection));
    rig.run();
    rig.deliver();
    QCOMPARE(notes.count(), 0);
}

void TestPdPlayer::replayOverflowWarns()
{
    Rig rig;
    const int selectedCount = 300;
    for (int i = 0; i < selectedCount; ++i)
        rig->toggleNodeSelection(R(quint64(1000 + i), 999));
    QCOMPARE(rig->selection().size(), selectedCount);
    rig.deliver();
    QSignalSpy notes(rig.player.get(), &PdPlayer::noteToggled);
    rig.exec(ReplaySelection);
    {
        WarningCatcher catcher;
        rig.deliver();
        QVERIFY(catcher.warnings().contains(QStringLiteral("Command buffer full")));
    }
    rig.run();
    rig.deliver();
    int on = 0;
    for (const auto& t : toggles(notes))
        on += t.second ? 1 : 0;
    // As many as one ring holds; the rest were dropped.
    QVERIFY2(on >= 255 && on <= 256, qPrintable(QString::number(on)));
    QCOMPARE(notes.at(0).at(0).value<WendleRatio>(), R(1000, 999));
    rig.run();
    rig.deliver();
    int onLater = 0;
    for (const auto& t : toggles(notes))
        onLater += t.second ? 1 : 0;
    QCOMPARE(onLater, on);
}

void TestPdPlayer::selectSounding()
{
    Rig rig;
    const WendleRatio a(5, 4), b(3, 2), c(7, 4), d(9, 8), e(11, 8);
    rig.toggle(a);
    rig.toggle(b);
    rig.toggle(c);
    rig.toggle(e);
    rig.toggle(e); // in release: not sounding
    rig.select(b);
    rig.select(d);
    rig.deliver();
    QSignalSpy selected(rig.player.get(), &PdPlayer::nodeSelected);
    rig.exec(SelectSounding);
    rig.deliver();
    QCOMPARE(asSet(ratiosOf(selected)), asSet({ a, c }));
    QCOMPARE(selected.count(), 2);
    QCOMPARE(asSet(rig->selection()), asSet({ a, b, c, d }));
}

void TestPdPlayer::transposeByPrime_data()
{
    QTest::addColumn<float>("value");
    QTest::addColumn<int>("startStep");
    QTest::addColumn<int>("expectedStep");
    QTest::addColumn<bool>("ignored");
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    QTest::newRow("2.5 steps by +3") << 2.5f << 0 << 3 << false;
    QTest::newRow("-2.5 steps by -3") << -2.5f << 0 << -3 << false;
    QTest::newRow("0.4 resets") << 0.4f << 5 << 0 << false;
    QTest::newRow("-0.4 resets") << -0.4f << 7 << 0 << false;
    QTest::newRow("0 resets") << 0.0f << 3 << 0 << false;
    QTest::newRow("1.5 steps by +2") << 1.5f << 0 << 2 << false;
    QTest::newRow("2.49 steps by +2") << 2.49f << 5 << 2 << false;
    QTest::newRow("31 onto 5") << 31.0f << 5 << 31 << false;
    QTest::newRow("-2 onto 3") << -2.0f << 3 << -2 << false;
    QTest::newRow("259 reduces to 3") << 259.0f << 0 << 3 << false;
    QTest::newRow("4 is no prime") << 4.0f << 5 << 0 << true;
    QTest::newRow("1 is no prime") << 1.0f << 0 << 0 << true;
    QTest::newRow("-9 is no prime") << -9.0f << 3 << 0 << true;
    QTest::newRow("37 is beyond the table") << 37.0f << 0 << 0 << true;
    QTest::newRow("NaN") << nan << 3 << 0 << true;
    QTest::newRow("infinity") << inf << 0 << 0 << true;
}

void TestPdPlayer::transposeByPrime()
{
    QFETCH(float, value);
    QFETCH(int, startStep);
    QFETCH(int, expectedStep);
    QFETCH(bool, ignored);
    Rig rig;
    Rational start(1, 1);
    if (startStep != 0) {
        rig.exec(TransposeByPrime, float(startStep));
        start = stepInterval(startStep);
    }
    rig.toggle(R(5, 4));
    rig.deliver();
    QCOMPARE(rig->transposition(), WendleRatio(start));
    QSignalSpy transposed(rig.player.get(), &PdPlayer::transposed);
    clearSent();

    rig.exec(TransposeByPrime, value);
    WarningCatcher catcher;
    rig.deliver();
    if (ignored) {
        QVERIFY2(catcher.size() >= 1, "an ignored transposition step is logged");
        QCOMPARE(transposed.count(), 0);
        QCOMPARE(rig->transposition(), WendleRatio(start));
        return;
    }
    QCOMPARE(catcher.size(), 0);
    const WendleRatio expected(expectedStep == 0 ? Rational(1, 1) : start * stepInterval(expectedStep));
    QCOMPARE(rig->transposition(), expected);
    QCOMPARE(transposed.count(), 1);
    QCOMPARE(transposed.at(0).at(0).value<WendleRatio>(), expected);
    QCOMPARE(transposed.at(0).at(1).toInt(), expectedStep);
    // Sounding voices keep their frequencies.
    QCOMPARE(sent().size(), 0);
}

void TestPdPlayer::volumes_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<float>("value");
    QTest::newRow("16 voice volume add") << int(VoiceVolumeAdd) << 0.5f;
    QTest::newRow("16 voice volume add negative") << int(VoiceVolumeAdd) << -1.5f;
    QTest::newRow("17 voice volume set") << int(VoiceVolumeSet) << 0.3f;
    QTest::newRow("17 voice volume set, unclamped") << int(VoiceVolumeSet) << 4.0f;
    QTest::newRow("18 master volume add") << int(MasterVolumeAdd) << -0.3f;
    QTest::newRow("18 master volume add, unclamped") << int(MasterVolumeAdd) << 2.0f;
    QTest::newRow("19 master volume set") << int(MasterVolumeSet) << 0.45f;
    QTest::newRow("19 master volume set, unclamped") << int(MasterVolumeSet) << -1.0f;
}

void TestPdPlayer::volumes()
{
    QFETCH(int, type);
    QFETCH(float, value);
    Rig rig;
    rig.exec(VoiceVolumeSet, 0.7f);
    rig.exec(MasterVolumeSet, 0.6f);
    rig.deliver();
    QSignalSpy voice(rig.player.get(), &PdPlayer::voiceVolumeChanged);
    QSignalSpy master(rig.player.get(), &PdPlayer::volumeChanged);
    rig.exec(type, value);
    rig.deliver();
    const bool isVoice = type == VoiceVolumeAdd || type == VoiceVolumeSet;
    const bool adds = type == VoiceVolumeAdd || type == MasterVolumeAdd;
    const float expected = (adds ? (isVoice ? 0.7f : 0.6f) : 0.0f) + value;
    QSignalSpy& changed = isVoice ? voice : master;
    QSignalSpy& unchanged = isVoice ? master : voice;
    QCOMPARE(changed.count(), 1);
    QCOMPARE(changed.at(0).at(0).toFloat(), expected);
    QCOMPARE(unchanged.count(), 0);
    QCOMPARE(isVoice ? rig->voiceVolume() : rig->masterVolume(), expected);
    QCOMPARE(isVoice ? rig->masterVolume() : rig->voiceVolume(), isVoice ? 0.6f : 0.7f);
}

void TestPdPlayer::voiceVolumeReachesNextNoteOn()
{
    Rig rig;
    rig.toggle(R(5, 4));
    clearSent();
    rig.exec(VoiceVolumeSet, 0.35f);
    QCOMPARE(sent().size(), 0);
    rig.toggle(R(3, 2));
    const QList<Sent> messages = sentTo(1);
    QCOMPARE(parameters(messages).mid(8), (QList<int>{ 2, 3, 1 }));
    QCOMPARE(messages.at(9).value, 0.35f);
}

void TestPdPlayer::monophonicValue_data()
{
    QTest::addColumn<float>("value");
    QTest::addColumn<bool>("mono");
    QTest::newRow("0.5 is off") << 0.5f << false;
    QTest::newRow("0.51 is on") << 0.51f << true;
    QTest::newRow("1 is on") << 1.0f << true;
    QTest::newRow("0 is off") << 0.0f << false;
    QTest::newRow("-1 is off") << -1.0f << false;
    QTest::newRow("NaN is off") << std::numeric_limits<float>::quiet_NaN() << false;
}

void TestPdPlayer::monophonicValue()
{
    QFETCH(float, value);
    QFETCH(bool, mono);
    Rig rig;
    rig.exec(SetMonophonic, mono ? 0.0f : 1.0f);
    QCOMPARE(rig->monophonic(), !mono);
    rig.deliver();
    QSignalSpy changed(rig.player.get(), &PdPlayer::monophonicChanged);
    rig.exec(SetMonophonic, value);
    rig.deliver();
    QCOMPARE(rig->monophonic(), mono);
    QCOMPARE(changed.count(), 1);
    QCOMPARE(changed.at(0).at(0).toBool(), mono);
}

void TestPdPlayer::patchStep_data()
{
    QTest::addColumn<float>("value");
    QTest::addColumn<bool>("next");
    QTest::newRow("1 next") << 1.0f << true;
    QTest::newRow("0.001 next") << 0.001f << true;
    QTest::newRow("0 previous") << 0.0f << false;
    QTest::newRow("-1 previous") << -1.0f << false;
    QTest::newRow("NaN previous") << std::numeric_limits<float>::quiet_NaN() << false;
}

void TestPdPlayer::patchStep()
{
    QFETCH(float, value);
    QFETCH(bool, next);
    Rig rig;
    QSignalSpy inc(rig.player.get(), &PdPlayer::patchIncRequested);
    QSignalSpy dec(rig.player.get(), &PdPlayer::patchDecRequested);
    rig.exec(PatchStep, value);
    rig.deliver();
    QCOMPARE(inc.count(), next ? 1 : 0);
    QCOMPARE(dec.count(), next ? 0 : 1);
}

void TestPdPlayer::baseFrequencyDoesNotRetune()
{
    Rig rig;
    rig.toggle(R(5, 4));
    rig.deliver();
    clearSent();
    QSignalSpy changed(rig.player.get(), &PdPlayer::baseFrequencyChanged);
    rig.exec(SetBaseFrequency, 261.5f);
    rig.deliver();
    QCOMPARE(changed.count(), 1);
    QCOMPARE(changed.at(0).at(0).toFloat(), 261.5f);
    QCOMPARE(rig->baseFrequency(), 261.5f);
    QCOMPARE(sent().size(), 0);
    rig.toggle(R(3, 2));
    QCOMPARE(sentTo(1).at(8).value, frequency(R(3, 2), 261.5f));
}

void TestPdPlayer::togglePrime_data()
{
    QTest::addColumn<float>("value");
    QTest::addColumn<int>("prime"); // -1: ignored
    QTest::newRow("5") << 5.0f << 5;
    QTest::newRow("5.9 truncates to 5") << 5.9f << 5;
    QTest::newRow("0") << 0.0f << 0;
    QTest::newRow("1") << 1.0f << 1;
    QTest::newRow("31.99 truncates to 31") << 31.99f << 31;
    QTest::newRow("-0.5 truncates to 0") << -0.5f << 0;
    QTest::newRow("32 outside the table") << 32.0f << -1;
    QTest::newRow("-1 outside the table") << -1.0f << -1;
    QTest::newRow("1e9 outside the table") << 1e9f << -1;
    QTest::newRow("NaN") << std::numeric_limits<float>::quiet_NaN() << -1;
}

void TestPdPlayer::togglePrime()
{
    QFETCH(float, value);
    QFETCH(int, prime);
    Rig rig;
    QSignalSpy toggled(rig.player.get(), &PdPlayer::primeEnabledToggled);
    rig.exec(TogglePrime, value);
    WarningCatcher catcher;
    rig.deliver();
    if (prime < 0) {
        QVERIFY2(catcher.size() >= 1, "an ignored prime index is logged");
        QCOMPARE(toggled.count(), 0);
        for (int p = 0; p < 32; ++p)
            QVERIFY(rig->primeEnabled(p));
        return;
    }
    QCOMPARE(catcher.size(), 0);
    QCOMPARE(toggled.count(), 1);
    QCOMPARE(toggled.at(0).at(0).toInt(), prime);
    QCOMPARE(toggled.at(0).at(1).toBool(), false);
    QVERIFY(!rig->primeEnabled(prime));
    for (int p = 0; p < 32; ++p) {
        if (p != prime)
            QVERIFY(rig->primeEnabled(p));
    }
    rig.exec(TogglePrime, value);
    rig.deliver();
    QCOMPARE(toggled.count(), 2);
    QCOMPARE(toggled.at(1).at(1).toBool(), true);
    QVERIFY(rig->primeEnabled(prime));
}

void TestPdPlayer::setMacroTypes_data()
{
    QTest::addColumn<int>("type");
    for (int t = SetMacro1; t <= SetMacro8; ++t)
        QTest::addRow("%d", t) << t;
}

void TestPdPlayer::setMacroTypes()
{
    QFETCH(int, type);
    Rig rig;
    const int macro = type - 23;
    const float value = 0.05f + 0.1f * float(macro);
    QSignalSpy changed(rig.player.get(), qOverload<int, float>(&PdPlayer::macroValueChanged));
    rig.exec(type, value);
    rig.deliver();
    QCOMPARE(changed.count(), 1);
    QCOMPARE(changed.at(0).at(0).toInt(), macro);
    QCOMPARE(changed.at(0).at(1).toFloat(), value);
    for (int m = 1; m <= 8; ++m)
        QCOMPARE(rig->macro(m), m == macro ? value : 0.0f);
}

void TestPdPlayer::toggleRatioNoteAndHold_data()
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

void TestPdPlayer::toggleRatioNoteAndHold()
{
    QFETCH(bool, hold);
    QFETCH(bool, held);
    QFETCH(float, value);
    QFETCH(bool, released);
    Rig rig;
    const WendleRatio r(7, 4);
    if (held)
        rig.toggle(r);
    if (hold)
        rig.exec(SetHold, 1.0f);
    if (!held)
        rig.toggle(r);
    QCOMPARE(rig->held().contains(r), held);
    rig.deliver();
    QSignalSpy notes(rig.player.get(), &PdPlayer::noteToggled);
    rig.toggle(r, value);
    rig.deliver();
    QCOMPARE(notes.count(), released ? 1 : 0);
    QCOMPARE(rig->voiceOf(r)->inRelease, released);
}

void TestPdPlayer::toggleRatioNoteInReleaseTakesNewVoice()
{
    Rig rig;
    const WendleRatio r(13, 8);
    rig.toggle(r);
    rig.toggle(r);
    QVERIFY(rig->voiceOf(r)->inRelease);
    rig.deliver();
    QSignalSpy notes(rig.player.get(), &PdPlayer::noteToggled);
    rig.toggle(r, 2.0f);
    rig.deliver();
    QCOMPARE(toggles(notes), (Toggles{ { r, true } }));
    QCOMPARE(rig->voiceOf(r)->voice, 1);
    QVERIFY(rig->voiceAt(0).inRelease);
}

void TestPdPlayer::removeNode_data()
{
    QTest::addColumn<int>("state"); // 0 silent, 1 sounding, 2 in release
    QTest::newRow("silent") << 0;
    QTest::newRow("sounding") << 1;
    QTest::newRow("in release") << 2;
}

void TestPdPlayer::removeNode()
{
    QFETCH(int, state);
    Rig rig;
    const WendleRatio r(19, 16);
    if (state >= 1)
        rig.toggle(r);
    if (state == 2)
        rig.toggle(r);
    rig.deliver();
    clearSent();
    QSignalSpy notes(rig.player.get(), &PdPlayer::noteToggled);
    QSignalSpy removed(rig.player.get(), &PdPlayer::removeNodeInStack);
    rig.exec(WendleNodeRemoveEvent(RemoveNode, 1.0f, r));
    rig.deliver();
    QCOMPARE(ratiosOf(removed), QList<WendleRatio>{ r });
    // A voiced ratio, also one in release, gets its note off.
    QCOMPARE(toggles(notes), (state == 0 ? Toggles{} : Toggles{ { r, false } }));
    QCOMPARE(parameters(sent()), state == 0 ? QList<int>{} : QList<int>{ 1 });
}

void TestPdPlayer::transposeByRatio()
{
    Rig rig;
    rig.toggle(R(5, 4));
    rig.deliver();
    clearSent();
    QSignalSpy transposed(rig.player.get(), &PdPlayer::transposed);
    rig.exec(WendleTransposeEvent(TransposeByRatio, 1.0f, R(3, 2)));
    rig.exec(WendleTransposeEvent(TransposeByRatio, 1.0f, R(5, 3)));
    rig.deliver();
    const WendleRatio first(Rational(3, 2));
    const WendleRatio second(Rational(3, 2) * Rational(5, 3));
    QCOMPARE(transposed.count(), 2);
    QCOMPARE(transposed.at(0).at(0).value<WendleRatio>(), first);
    QCOMPARE(transposed.at(0).at(1).toInt(), 1000);
    QCOMPARE(transposed.at(1).at(0).value<WendleRatio>(), second);
    QCOMPARE(transposed.at(1).at(1).toInt(), 1000);
    QCOMPARE(rig->transposition(), second);
    QCOMPARE(sent().size(), 0);
    // The player's transposition applies to the next toggle by path.
    QSignalSpy notes(rig.player.get(), &PdPlayer::noteToggled);
    rig.togglePath({ 3 });
    rig.deliver();
    QCOMPARE(ratiosOf(notes), QList<WendleRatio>{ WendleRatio(Rational(3, 2) * second.ratio) });
}

void TestPdPlayer::transposeByZeroRatioIgnored()
{
    Rig rig;
    rig.exec(WendleTransposeEvent(TransposeByRatio, 1.0f, R(3, 2)));
    rig.deliver();
    QSignalSpy transposed(rig.player.get(), &PdPlayer::transposed);
    rig.exec(TransposeByRatio); // a plain event: ratio 0/1
    rig.exec(WendleTransposeEvent(TransposeByRatio, 1.0f, WendleRatio()));
    WarningCatcher catcher;
    rig.deliver();
    QCOMPARE(catcher.size(), 2);
    QCOMPARE(transposed.count(), 0);
    QCOMPARE(rig->transposition(), R(3, 2));
}

void TestPdPlayer::selectionUsesLatticeTransposition_data()
{
    QTest::addColumn<quint64>("tn");
    QTest::addColumn<quint64>("td");
    QTest::addColumn<int>("playerStep");
    QTest::addColumn<quint64>("n");
    QTest::addColumn<quint64>("d");
    QTest::newRow("no transposition") << quint64(1) << quint64(1) << 0 << quint64(5) << quint64(4);
    QTest::newRow("lattice up a fifth") << quint64(3) << quint64(2) << 0 << quint64(5) << quint64(4);
    QTest::newRow("lattice down a fifth") << quint64(2) << quint64(3) << 0 << quint64(3) << quint64(2);
    QTest::newRow("player's own transposition does not count") << quint64(1) << quint64(1) << 7 << quint64(9)
                                                               << quint64(8);
}

void TestPdPlayer::selectionUsesLatticeTransposition()
{
    QFETCH(quint64, tn);
    QFETCH(quint64, td);
    QFETCH(int, playerStep);
    QFETCH(quint64, n);
    QFETCH(quint64, d);
    Rig rig;
    if (playerStep)
        rig.exec(TransposeByPrime, float(playerStep));
    RatioContext::publishTransposition(Rational(tn, td), Rational(tn, td));
    const WendleRatio expected(Rational(n, d) * Rational(tn, td));
    QSignalSpy selected(rig.player.get(), &PdPlayer::nodeSelected);
    rig.select(R(n, d));
    rig.deliver();
    QCOMPARE(rig->selection(), QList<WendleRatio>{ expected });
    QCOMPARE(toggles(selected), (Toggles{ { expected, true } }));
    rig.select(R(n, d));
    rig.deliver();
    QVERIFY(rig->selection().isEmpty());
}

void TestPdPlayer::resetNodeValue_data()
{
    QTest::addColumn<float>("value");
    QTest::addColumn<bool>("deselected");
    QTest::newRow("0 keeps the selection") << 0.0f << false;
    QTest::newRow("1 deselects") << 1.0f << true;
    QTest::newRow("-1 deselects") << -1.0f << true;
    QTest::newRow("NaN deselects") << std::numeric_limits<float>::quiet_NaN() << true;
}

void TestPdPlayer::resetNodeValue()
{
    QFETCH(float, value);
    QFETCH(bool, deselected);
    Rig rig;
    RatioContext::publishTransposition(Rational(3, 2), Rational(3, 2));
    const WendleRatio absolute(Rational(5, 4) * Rational(3, 2));
    rig->toggleNodeSelection(absolute);
    rig.deliver();
    QSignalSpy altered(rig.player.get(), &PdPlayer::nodeAltered);
    rig.exec(WendleNodeResetEvent(ResetNode, value, R(5, 4)));
    rig.deliver();
    QVERIFY(toggles(altered).contains(qMakePair(absolute, false)));
    QCOMPARE(rig->selection(), deselected ? QList<WendleRatio>{} : QList<WendleRatio>{ absolute });
}

void TestPdPlayer::nodesRecalled()
{
    Rig rig;
    QSignalSpy recalled(rig.player.get(), &PdPlayer::nodesRecalled);
    rig.exec(NodesRecalled);
    rig.deliver();
    QCOMPARE(recalled.count(), 1);
}

void TestPdPlayer::setHoldValue_data()
{
    QTest::addColumn<float>("value");
    QTest::addColumn<bool>("on");
    QTest::newRow("1.0 on") << 1.0f << true;
    QTest::newRow("0.999 off") << 0.999f << false;
    QTest::newRow("2.0 off") << 2.0f << false;
    QTest::newRow("0 off") << 0.0f << false;
    QTest::newRow("NaN off") << std::numeric_limits<float>::quiet_NaN() << false;
}

void TestPdPlayer::setHoldValue()
{
    QFETCH(float, value);
    QFETCH(bool, on);
    Rig rig;
    const WendleRatio a(5, 4), b(3, 2), c(7, 4);
    rig.toggle(a);
    rig.toggle(b);
    rig.exec(SetHold, 1.0f); // a and b held
    rig.toggle(c);
    rig.deliver();
    QSignalSpy holds(rig.player.get(), &PdPlayer::nodeHold);
    rig.exec(SetHold, value);
    rig.deliver();
    QCOMPARE(rig->hold(), on);
    Toggles expected{ { a, false }, { b, false } };
    if (on)
        expected << qMakePair(a, true) << qMakePair(b, true) << qMakePair(c, true);
    QCOMPARE(toggles(holds), expected);
    QCOMPARE(asSet(rig->held()), on ? asSet({ a, b, c }) : QSet<WendleRatio>{});
}

// ---------------------------------------------------------------- voices and notes

void TestPdPlayer::noteOnMessageOrder()
{
    Rig rig;
    rig->setInterfaceActive(true);
    for (int m = 1; m <= 8; ++m)
        rig.exec(23 + m, 0.1f * float(m));
    rig.exec(VoiceVolumeSet, 0.6f);
    rig.toggle(R(11, 8));
    rig.deliver();
    clearSent();
    QSignalSpy instructions(rig.player.get(), &PdPlayer::instructionsToInterface);
    const WendleRatio r(3, 2);
    rig.toggle(r);
    rig.deliver();
    const QList<Sent> messages = sent();
    QCOMPARE(parameters(messages), (QList<int>{ 4, 5, 6, 7, 8, 9, 10, 11, 2, 3, 1 }));
    for (const Sent& s : messages)
        QCOMPARE(s.voice, 2); // index 1, sent 1-based
    for (int m = 1; m <= 8; ++m)
        QCOMPARE(messages.at(m - 1).value, 0.1f * float(m));
    const float f = frequency(r, 440.0f);
    QCOMPARE(messages.at(8).value, f);
    QCOMPARE(messages.at(9).value, 0.6f);
    QCOMPARE(messages.at(10).value, 1.0f);
    QCOMPARE(instructions.count(), 1);
    QCOMPARE(instructions.at(0).at(0).toInt(), 1);
    QCOMPARE(instructions.at(0).at(1).value<QList<int>>(), QList<int>{ 1 });
    QCOMPARE(instructions.at(0).at(2).value<QList<float>>(), QList<float>{ f });
    QCOMPARE(instructions.at(0).at(3).value<QList<float>>(), QList<float>{ 0.1f });
    // A plain node's parameters are the global ones.
    const NodeParameters* p = rig->nodeParameters(r);
    QVERIFY(p);
    QCOMPARE(p->macros[7], 0.8f);
    QCOMPARE(p->gliss[0], 0.5f);
}

void TestPdPlayer::noteOffMessages()
{
    Rig rig;
    rig->setInterfaceActive(true);
    const WendleRatio r(3, 2);
    rig.toggle(R(5, 4));
    rig.toggle(r);
    rig.deliver();
    clearSent();
    QSignalSpy instructions(rig.player.get(), &PdPlayer::instructionsToInterface);
    rig.toggle(r);
    rig.deliver();
    QCOMPARE(sent().size(), 1);
    QCOMPARE(sent().at(0).parameter, 1);
    QCOMPARE(sent().at(0).value, 0.0f);
    QCOMPARE(sent().at(0).voice, 2);
    QCOMPARE(instructions.count(), 1);
    QCOMPARE(instructions.at(0).at(0).toInt(), -1);
    QCOMPARE(instructions.at(0).at(1).value<QList<int>>(), QList<int>{ 1 });
    QCOMPARE(instructions.at(0).at(2).value<QList<float>>(), QList<float>{ -1.0f });
    QCOMPARE(instructions.at(0).at(3).value<QList<float>>(), QList<float>{ -1.0f });
    QVERIFY(!rig->nodeParameters(r));
    // The voice stays taken until the patch reports it stopped.
    QVERIFY(rig->voiceAt(1).seqId != 0);
    QVERIFY(rig->voiceAt(1).inRelease);
}

void TestPdPlayer::noInstructionsWhileInterfaceInactive()
{
    Rig rig;
    const WendleRatio a(5, 4);
    QSignalSpy instructions(rig.player.get(), &PdPlayer::instructionsToInterface);
    rig.toggle(a);
    rig.select(a);
    rig.exec(SetGlissOne, 0.8f);
    rig.toggle(a);
    rig.deliver();
    QCOMPARE(instructions.count(), 0);
    rig->setInterfaceActive(true);
    rig.toggle(a);
    rig.deliver();
    QCOMPARE(instructions.count(), 1);
}

void TestPdPlayer::alteredNodeNoteOnUsesItsParameters()
{
    Rig rig;
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
    rig.exec(SetMacro1, 0.9f);
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
    QCOMPARE(rig->alteredParameters(a)->gliss[0], 0.75f);
    QCOMPARE(rig->alteredParameters(b)->macros[0], 0.1f);
    rig.deliver();
    clearSent();
    QSignalSpy instructions(rig.player.get(), &PdPlayer::instructionsToInterface);

    rig.toggle(a);
    rig.toggle(b);
    rig.deliver();
    const QList<Sent> toA = sentTo(rig->voiceOf(a)->voice);
    QCOMPARE(parameters(toA), (QList<int>{ 4, 5, 6, 7, 8, 9, 10, 11, 2, 3, 1 }));
    QCOMPARE(toA.at(0).value, 0.3f);
    QCOMPARE(toA.at(1).value, 0.0f);
    const float fa = frequency(a, 440.0f) * glissFactor(0.75f, 1200.0) * glissFactor(0.5f, 100.0);
    QCOMPARE(toA.at(8).value, fa);
    const QList<Sent> toB = sentTo(rig->voiceOf(b)->voice);
    QCOMPARE(parameters(toB), (QList<int>{ 4, 5, 6, 7, 8, 9, 10, 11, 2, 3, 1 }));
    QCOMPARE(toB.at(0).value, 0.9f + rig->alteredParameters(b)->macros[0]);
    QCOMPARE(toB.at(1).value, 0.4f);
    const float fb = frequency(b, 440.0f) * glissFactor(0.5f, 1200.0) * glissFactor(0.25f + 0.0f, 100.0);
    QCOMPARE(toB.at(8).value, fb);
    QCOMPARE(instructions.count(), 2);
    // The velocity: the altered node's own macro 1; for a selected one the global macro 1.
    QCOMPARE(instructions.at(0).at(3).value<QList<float>>(), QList<float>{ 0.3f });
    QCOMPARE(instructions.at(1).at(3).value<QList<float>>(), QList<float>{ 0.9f });
    // Altered nodes keep no plain node parameters.
    QVERIFY(!rig->nodeParameters(a));
    QVERIFY(!rig->nodeParameters(b));
}

void TestPdPlayer::voiceStopIgnoresOtherLists()
{
    Rig rig;
    const WendleRatio a(5, 4);
    rig.toggle(a);
    rig.toggle(a);
    rig.deliver();
    t_atom atom;
    libpd_set_symbol(&atom, "1");
    PdPlayer::pdListHook("voice-stop", 1, &atom);
    PdPlayer::pdListHook("voice-stop", 0, nullptr);
    libpd_set_float(&atom, 1.0f);
    PdPlayer::pdListHook("voice-stopped", 1, &atom);
    PdPlayer::pdListHook("wendle-in", 1, &atom);
    rig.deliver();
    QVERIFY(rig->voiceAt(0).inRelease);
    QVERIFY(rig->voiceOf(a));
}

void TestPdPlayer::stealingTakesOldestVoice()
{
    Rig rig;
    rig->setMaxVoices(3);
    const WendleRatio a(5, 4), b(3, 2), c(7, 4), d(9, 8), e(11, 8);
    rig.toggle(a);
    rig.toggle(b);
    rig.toggle(c);
    rig.toggle(b); // b in release: its voice is still taken
    rig.deliver();
    clearSent();
    QSignalSpy notes(rig.player.get(), &PdPlayer::noteToggled);

    rig.toggle(d);
    rig.deliver();
    // The oldest note is a: released first, then d sounds on its voice.
    QCOMPARE(toggles(notes), (Toggles{ { a, false }, { d, true } }));
    QCOMPARE(rig->voiceOf(d)->voice, 0);
    QVERIFY(!rig->voiceOf(a));
    const QList<Sent> messages = sentTo(0);
    QCOMPARE(parameters(messages), (QList<int>{ 1, 4, 5, 6, 7, 8, 9, 10, 11, 2, 3, 1 }));
    QCOMPARE(messages.at(0).value, 0.0f);

    // Now the oldest is b, already in release: no second note off for it.
    notes.clear();
    rig.toggle(e);
    rig.deliver();
    QCOMPARE(toggles(notes), (Toggles{ { e, true } }));
    QCOMPARE(rig->voiceOf(e)->voice, 1);
    QVERIFY(!rig->voiceOf(b));
    QVERIFY(rig->voiceOf(c) && !rig->voiceOf(c)->inRelease);
}

void TestPdPlayer::maxVoicesBounds_data()
{
    QTest::addColumn<int>("voices");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("0") << 0 << false;
    QTest::newRow("-1") << -1 << false;
    QTest::newRow("129") << 129 << false;
    QTest::newRow("1000") << 1000 << false;
    QTest::newRow("1") << 1 << true;
    QTest::newRow("5") << 5 << true;
    QTest::newRow("128") << 128 << true;
}

void TestPdPlayer::maxVoicesBounds()
{
    QFETCH(int, voices);
    QFETCH(bool, accepted);
    Rig rig;
    rig->setMaxVoices(2);
    {
        WarningCatcher catcher;
        rig->setMaxVoices(voices);
        if (!accepted)
            QVERIFY2(catcher.warnings().join(' ').contains(QString::number(voices)), "the refused count is logged");
    }
    const int limit = accepted ? voices : 2;
    for (int i = 0; i <= limit; ++i)
        rig.toggle(R(quint64(1001 + 2 * i), 1000));
    // One note more than the limit: it stole voice 0 and no voice past the limit was used.
    QCOMPARE(rig->voiceAt(0).ratio, R(quint64(1001 + 2 * limit), 1000));
    if (limit < PdPlayer::MaxVoices)
        QCOMPARE(rig->voiceAt(limit).seqId, quint32(0));
    if (limit > 1)
        QCOMPARE(rig->voiceAt(limit - 1).ratio, R(quint64(1001 + 2 * (limit - 1)), 1000));
}

void TestPdPlayer::monoChain()
{
    Rig rig;
    const WendleRatio a(5, 4), b(3, 2), c(7, 4), d(9, 8);
    rig.exec(SetMonophonic, 1.0f);
    rig.toggle(a);
    rig.deliver();
    QSignalSpy notes(rig.player.get(), &PdPlayer::noteToggled);
    rig.toggle(b);
    rig.deliver();
    QCOMPARE(toggles(notes), (Toggles{ { a, false }, { b, true } }));
    QCOMPARE(rig->voiceOf(b)->voice, 1); // a rings out on voice 0
    QVERIFY(rig->voiceOf(a)->inRelease);
    notes.clear();
    rig.toggle(c);
    rig.deliver();
    QCOMPARE(toggles(notes), (Toggles{ { b, false }, { c, true } }));
    QCOMPARE(rig->voiceOf(c)->voice, 2);

    // A mono switch forgets the chain: the next note leaves c sounding.
    rig.exec(SetMonophonic, 1.0f);
    notes.clear();
    rig.toggle(d);
    rig.deliver();
    QCOMPARE(toggles(notes), (Toggles{ { d, true } }));
    QVERIFY(!rig->voiceOf(c)->inRelease);
}

void TestPdPlayer::frequencyBounds_data()
{
    QTest::addColumn<float>("base");
    QTest::addColumn<quint64>("n");
    QTest::addColumn<quint64>("d");
    QTest::newRow("exactly 20 Hz") << 20.0f << quint64(1) << quint64(1);
    QTest::newRow("20 Hz from 10 Hz × 2") << 10.0f << quint64(2) << quint64(1);
    QTest::newRow("just above 20 Hz") << 10.0f << quint64(201) << quint64(100);
    QTest::newRow("well below") << 440.0f << quint64(1) << quint64(64);
    QTest::newRow("exactly 20000 Hz") << 20000.0f << quint64(1) << quint64(1);
    QTest::newRow("20000 Hz from 10000 Hz × 2") << 10000.0f << quint64(2) << quint64(1);
    QTest::newRow("just below 20000 Hz") << 19999.0f << quint64(1) << quint64(1);
    QTest::newRow("well above") << 440.0f << quint64(64) << quint64(1);
    QTest::newRow("middle") << 440.0f << quint64(3) << quint64(2);
}

void TestPdPlayer::frequencyBounds()
{
    QFETCH(float, base);
    QFETCH(quint64, n);
    QFETCH(quint64, d);
    Rig rig;
    rig->setInterfaceActive(true);
    rig.exec(SetBaseFrequency, base);
    rig.deliver();
    clearSent();
    const WendleRatio r(n, d);
    const float f = frequency(r, base);
    const bool audible = f > 20.0f && f < 20000.0f;
    QSignalSpy notes(rig.player.get(), &PdPlayer::noteToggled);
    QSignalSpy instructions(rig.player.get(), &PdPlayer::instructionsToInterface);
    rig.toggle(r);
    rig.deliver();
    // The voice is taken and the node marked playing either way.
    QVERIFY(rig->voiceOf(r));
    QCOMPARE(toggles(notes), (Toggles{ { r, true } }));
    QList<int> expected{ 4, 5, 6, 7, 8, 9, 10, 11 };
    if (audible)
        expected << 2 << 3 << 1;
    QCOMPARE(parameters(sent()), expected);
    QCOMPARE(instructions.count(), audible ? 1 : 0);
}

void TestPdPlayer::releasedNoteToggledAgain()
{
    Rig rig;
    const WendleRatio a(5, 4);
    rig.toggle(a);
    rig.toggle(a);
    rig.toggle(a);
    QCOMPARE(rig->voiceOf(a)->voice, 1);
    QVERIFY(rig->voiceAt(0).inRelease);
    rig.deliver();
    QSignalSpy notes(rig.player.get(), &PdPlayer::noteToggled);

    // The late stop report of the old voice frees only that voice.
    t_atom atom;
    libpd_set_float(&atom, 1.0f);
    PdPlayer::pdListHook("voice-stop", 1, &atom);
    QCOMPARE(rig->voiceAt(0).seqId, quint32(0));
    QVERIFY(!rig->voiceAt(0).inRelease);
    QVERIFY(rig->voiceOf(a));
    QCOMPARE(rig->voiceOf(a)->voice, 1);
    QVERIFY(!rig->voiceOf(a)->inRelease);

    // A report for a voice that is not in release changes nothing.
    libpd_set_float(&atom, 2.0f);
    PdPlayer::pdListHook("voice-stop", 1, &atom);
    QVERIFY(rig->voiceAt(1).seqId != 0);
    QCOMPARE(rig->voiceOf(a)->voice, 1);

    // The note sounds on: toggling it now releases it.
    rig.toggle(a);
    rig.deliver();
    QCOMPARE(toggles(notes), (Toggles{ { a, false } }));
    rig.run();
    QCOMPARE(rig->getAllSoundingRatios(), QList<WendleRatio>{});
}

void TestPdPlayer::voiceStopNumbers_data()
{
    QTest::addColumn<float>("number");
    QTest::addColumn<bool>("valid");
    QTest::newRow("1") << 1.0f << true;
    QTest::newRow("0") << 0.0f << false;
    QTest::newRow("-1") << -1.0f << false;
    QTest::newRow("beyond the voices") << 5.0f << false;
    QTest::newRow("129") << 129.0f << false;
    QTest::newRow("1.5") << 1.5f << false;
    QTest::newRow("NaN") << std::numeric_limits<float>::quiet_NaN() << false;
    QTest::newRow("infinity") << std::numeric_limits<float>::infinity() << false;
}

void TestPdPlayer::voiceStopNumbers()
{
    QFETCH(float, number);
    QFETCH(bool, valid);
    Rig rig;
    rig->setMaxVoices(4);
    const WendleRatio a(5, 4);
    rig.toggle(a);
    rig.toggle(a);
    rig.deliver();
    t_atom atom;
    libpd_set_float(&atom, number);
    PdPlayer::pdListHook("voice-stop", 1, &atom);
    WarningCatcher catcher;
    rig.deliver();
    if (valid) {
        QCOMPARE(catcher.size(), 0);
        QCOMPARE(rig->voiceAt(0).seqId, quint32(0));
        QVERIFY(!rig->voiceOf(a));
        return;
    }
    QVERIFY2(catcher.size() >= 1, "an ignored voice-stop number is logged");
    QVERIFY(rig->voiceAt(0).inRelease);
    QVERIFY(rig->voiceOf(a));
}

void TestPdPlayer::mapGliss_data()
{
    QTest::addColumn<int>("which");
    QTest::addColumn<float>("range");
    QTest::addColumn<float>("position");
    QTest::newRow("one, 1.0") << 1 << 1200.0f << 1.0f;
    QTest::newRow("one, 0.0") << 1 << 1200.0f << 0.0f;
    QTest::newRow("one, 0.5") << 1 << 1200.0f << 0.5f;
    QTest::newRow("one, 0.75, 700 cents") << 1 << 700.0f << 0.75f;
    QTest::newRow("two, 1.0, 100 cents") << 2 << 100.0f << 1.0f;
    QTest::newRow("two, -0.3, 100 cents") << 2 << 100.0f << -0.3f;
}

void TestPdPlayer::mapGliss()
{
    QFETCH(int, which);
    QFETCH(float, range);
    QFETCH(float, position);
    Rig rig;
    rig->setGlissRanges(which == 1 ? range : 1200.0f, which == 2 ? range : 100.0f);
    const float factor = which == 1 ? rig->mapGlissOne(position) : rig->mapGlissTwo(position);
    QCOMPARE(factor, glissFactor(position, range));
    if (which == 1 && range == 1200.0f) {
        // One octave each way.
        if (position == 1.0f)
            QCOMPARE(factor, 2.0f);
        if (position == 0.0f)
            QCOMPARE(factor, 0.5f);
        if (position == 0.5f)
            QCOMPARE(factor, 1.0f);
    }
}

void TestPdPlayer::soundingRatiosFollowCallbacks()
{
    Rig rig;
    const WendleRatio a(5, 4), b(3, 2), c(7, 4);
    rig.toggle(a);
    rig.toggle(b);
    rig.toggle(c);
    QCOMPARE(asSet(rig->getAllSoundingRatios()), asSet({ a, b, c }));
    rig.toggle(b);
    QCOMPARE(asSet(rig->getAllSoundingRatios()), asSet({ a, c }));
    rig->onVoiceStopped(1);
    rig.run();
    QCOMPARE(asSet(rig->getAllSoundingRatios()), asSet({ a, c }));
    rig.exec(AllNotesOff);
    QVERIFY(rig->getAllSoundingRatios().isEmpty());
}

// The GUI thread reads the sounding ratios while the audio thread changes them:
// every read must be one whole published state.
void TestPdPlayer::soundingSnapshotAcrossThreads()
{
    Rig rig(ownPlayerStorage<1>());
    rig->setMaxVoices(8);
    const QList<WendleRatio> chordX{ R(5, 4), R(3, 2), R(7, 4) };
    const QList<WendleRatio> chordY{ R(9, 8), R(11, 8) };
    for (const WendleRatio& r : chordX)
        rig.toggle(r);
    const QSet<WendleRatio> x = asSet(chordX), y = asSet(chordY);
    QCOMPARE(asSet(rig->getAllSoundingRatios()), x);

    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
    std::atomic<bool> done { false };
    std::thread audio([&] {
        float out[2 * 64];
        for (int i = 0; i < 3000; ++i) {
            for (const WendleRatio& r : chordX + chordY) {
                const WendleNoteEvent e(ToggleRatioNote, 1.0f, WendlePath(), r);
                rig->processEvent(EngineCommand::fromEvent(e));
            }
            for (int v = 0; v < 8; ++v)
                rig->onVoiceStopped(v);
            rig->processCallback(out, 64, false);
        }
        done.store(true, std::memory_order_release);
    });
    int reads = 0;
    int torn = 0;
    while (!done.load(std::memory_order_acquire)) {
        const QSet<WendleRatio> seen = asSet(rig->getAllSoundingRatios());
        if (seen != x && seen != y)
            ++torn;
        if (++reads % 16 == 0)
            rig.deliver();
    }
    audio.join();
    QLoggingCategory::setFilterRules(QString());
    QVERIFY(reads > 0);
    QCOMPARE(torn, 0);
    rig.deliver();
}

// ---------------------------------------------------------------- selection and node parameters

void TestPdPlayer::selectionMakesNodeAltered()
{
    Rig rig;
    const WendleRatio a(5, 4), b(3, 2);
    rig.exec(SetMacro1, 0.3f);
    rig.toggle(a); // node parameters: macro 1 = 0.3
    rig.exec(SetMacro1, 0.1f);
    rig.exec(SetGlissOne, 0.7f);
    rig.deliver();
    QSignalSpy selected(rig.player.get(), &PdPlayer::nodeSelected);
    QSignalSpy altered(rig.player.get(), &PdPlayer::nodeAltered);
    rig.select(a);
    rig.select(b);
    rig.deliver();
    QCOMPARE(toggles(altered), (Toggles{ { a, true }, { b, true } }));
    QCOMPARE(toggles(selected), (Toggles{ { a, true }, { b, true } }));
    QCOMPARE(rig->altered(), (QList<WendleRatio>{ a, b }));
    // Offsets while selected: its own values less the global ones.
    QCOMPARE(rig->alteredParameters(a)->macros[0], 0.3f - 0.1f);
    QCOMPARE(rig->alteredParameters(a)->gliss[0], 0.5f - 0.7f);
    QCOMPARE(rig->alteredParameters(a)->gliss[1], 0.0f);
    QCOMPARE(rig->alteredParameters(b)->macros[0], 0.0f);

    // Deselected: absolute values again; reselecting does not alter it anew.
    rig.select(a);
    QCOMPARE(rig->alteredParameters(a)->macros[0], 0.3f);
    QCOMPARE(rig->alteredParameters(a)->gliss[0], 0.5f);
    QCOMPARE(rig->selection(), QList<WendleRatio>{ b });
    QCOMPARE(rig->altered(), (QList<WendleRatio>{ a, b }));
    altered.clear();
    rig.select(a);
    rig.deliver();
    QCOMPARE(altered.count(), 0);
    QCOMPARE(rig->selection(), (QList<WendleRatio>{ b, a }));
}

void TestPdPlayer::setMacroValueClamping_data()
{
    QTest::addColumn<float>("own");
    QTest::addColumn<float>("global");
    QTest::addColumn<float>("value");
    QTest::addColumn<float>("sentValue");
    QTest::addColumn<float>("offset");
    // The two examples of the behaviour, then the rule at its edges.
    QTest::newRow("offset 0.3, value 0.9") << 0.3f << 0.0f << 0.9f << 1.0f << 0.1f;
    QTest::newRow("offset -0.95, value 0.9") << 0.0f << 0.95f << 0.9f << 0.0f << -0.9f;
    const float own = 0.4f, global = 0.2f, value = 0.5f;
    QTest::newRow("inside") << own << global << value << (own - global) + value << own - global;
    QTest::newRow("sum exactly 1") << 0.5f << 0.25f << 0.75f << 1.0f << 1.0f - 0.75f;
    QTest::newRow("sum exactly 0") << 0.25f << 0.5f << 0.25f << 0.0f << -0.25f;
}

void TestPdPlayer::setMacroValueClamping()
{
    QFETCH(float, own);
    QFETCH(float, global);
    QFETCH(float, value);
    QFETCH(float, sentValue);
    QFETCH(float, offset);
    Rig rig;
    const WendleRatio a(5, 4), quiet(3, 2);
    rig.exec(SetMacro1, own);
    rig.toggle(a);
    rig.exec(SetMacro1, global);
    rig.select(a);
    rig.select(quiet); // selected, not voiced: nothing is sent for it
    QCOMPARE(rig->alteredParameters(a)->macros[0], own - global);
    clearSent();
    rig.exec(SetMacro1, value);
    const QList<Sent> messages = sent();
    QCOMPARE(messages.size(), 1);
    QCOMPARE(messages.at(0).parameter, 4);
    QCOMPARE(messages.at(0).voice, rig->voiceOf(a)->voice + 1);
    QCOMPARE(messages.at(0).value, sentValue);
    QCOMPARE(rig->alteredParameters(a)->macros[0], offset);
    QCOMPARE(rig->macro(1), value);
}

void TestPdPlayer::macroWithEmptySelectionChangesOnlyGlobal()
{
    Rig rig;
    const WendleRatio a(5, 4);
    rig.toggle(a);
    rig.deliver();
    clearSent();
    QSignalSpy changed(rig.player.get(), qOverload<int, float>(&PdPlayer::macroValueChanged));
    rig.exec(SetMacro3, 0.6f);
    rig.deliver();
    QCOMPARE(sent().size(), 0);
    QCOMPARE(changed.count(), 1);
    QCOMPARE(changed.at(0).at(0).toInt(), 3);
    QCOMPARE(rig->macro(3), 0.6f);
    // The sounding voice keeps its parameters until its next note on.
    QCOMPARE(rig->nodeParameters(a)->macros[2], 0.0f);
    rig.toggle(a);
    rig.toggle(a);
    QCOMPARE(sentTo(rig->voiceOf(a)->voice).at(2).value, 0.6f);
}

void TestPdPlayer::glissRetunesOnlySelectedVoices()
{
    Rig rig;
    rig->setGlissRanges(1200.0f, 100.0f);
    rig->setInterfaceActive(true);
    const WendleRatio a(5, 4), b(3, 2);
    rig.toggle(a);
    rig.toggle(b);
    rig.select(a);
    rig.deliver();
    clearSent();
    QSignalSpy instructions(rig.player.get(), &PdPlayer::instructionsToInterface);
    rig.exec(SetGlissOne, 0.75f);
    rig.deliver();
    const int voiceA = rig->voiceOf(a)->voice;
    const float f = frequency(a, 440.0f) * glissFactor(0.75f, 1200.0) * glissFactor(0.5f, 100.0);
    QCOMPARE(sent().size(), 1);
    QCOMPARE(sent().at(0).parameter, 2);
    QCOMPARE(sent().at(0).voice, voiceA + 1);
    QCOMPARE(sent().at(0).value, f);
    QCOMPARE(instructions.count(), 1);
    QCOMPARE(instructions.at(0).at(0).toInt(), 2);
    QCOMPARE(instructions.at(0).at(1).value<QList<int>>(), QList<int>{ voiceA });
    QCOMPARE(instructions.at(0).at(2).value<QList<float>>(), QList<float>{ f });
    QCOMPARE(instructions.at(0).at(3).value<QList<float>>(), QList<float>{ -1.0f });

    // Gliss two moves the selected voice by both positions.
    clearSent();
    rig.exec(SetGlissTwo, 0.25f);
    QCOMPARE(sent().size(), 1);
    QCOMPARE(sent().at(0).value, frequency(a, 440.0f) * glissFactor(0.75f, 1200.0) * glissFactor(0.25f, 100.0));

    // Deselected, a keeps its gliss: its next note on sounds with it.
    rig.select(a);
    rig.toggle(a);
    rig.exec(SetGlissOne, 0.5f);
    rig.exec(SetGlissTwo, 0.5f);
    clearSent();
    rig.toggle(a);
    const QList<Sent> noteOn = sent();
    QCOMPARE(parameters(noteOn).mid(8), (QList<int>{ 2, 3, 1 }));
    QCOMPARE(noteOn.at(8).value, frequency(a, 440.0f) * glissFactor(0.75f, 1200.0) * glissFactor(0.25f, 100.0));
}

void TestPdPlayer::resetSingleNode_data()
{
    QTest::addColumn<bool>("soft");
    QTest::addColumn<bool>("altered");
    QTest::addColumn<bool>("voiced");
    QTest::addColumn<bool>("selected");
    QTest::addColumn<bool>("deselect");
    QTest::newRow("plain, voiced") << false << false << true << false << false;
    QTest::newRow("plain, voiced, soft") << true << false << true << false << false;
    QTest::newRow("plain, silent") << false << false << false << false << false;
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

void TestPdPlayer::resetSingleNode()
{
    QFETCH(bool, soft);
    QFETCH(bool, altered);
    QFETCH(bool, voiced);
    QFETCH(bool, selected);
    QFETCH(bool, deselect);
    Rig rig;
    rig->setSoftNodeReset(soft);
    rig->parseMacroNames("a(0.2):b(0.6)");
    const WendleRatio r(5, 4);
    if (voiced)
        rig.toggle(r);
    rig.exec(SetMacro1, 0.7f);
    if (altered) {
        rig.select(r);
        rig.exec(SetGlissOne, 0.9f); // retunes r while selected
        rig.exec(SetMacro2, 0.8f);
        if (!selected)
            rig.select(r);
    }
    rig.deliver();
    clearSent();
    QSignalSpy notes(rig.player.get(), &PdPlayer::noteToggled);
    QSignalSpy alteredSpy(rig.player.get(), &PdPlayer::nodeAltered);
    QSignalSpy selectedSpy(rig.player.get(), &PdPlayer::nodeSelected);

    rig->resetSingleNode(r, deselect);
    rig.deliver();

    const int voice = voiced ? rig->voiceOf(r)->voice : -1;
    const bool endsSelected = selected && !deselect;
    QCOMPARE(rig->selection(), endsSelected ? QList<WendleRatio>{ r } : QList<WendleRatio>{});
    // Selecting again makes the node altered again.
    QCOMPARE(rig->altered(), endsSelected ? QList<WendleRatio>{ r } : QList<WendleRatio>{});
    if (altered) {
        QVERIFY(toggles(alteredSpy).contains(qMakePair(r, false)));
        const NodeParameters* p = rig->alteredParameters(r);
        QVERIFY(p);
        // Reset to the patch defaults; selected again, its parameters are made
        // anew from the global macros (a reset or note off left it no plain
        // entry other than the globals), as offsets.
        const float m1 = endsSelected ? 0.0f : 0.2f;
        const float g1 = endsSelected ? 0.5f - rig->glissPosition(0) : 0.5f;
        QCOMPARE(p->macros[0], m1);
        QCOMPARE(p->gliss[0], g1);
    } else {
        QCOMPARE(alteredSpy.count(), 0);
        QCOMPARE(selectedSpy.count(), 0);
    }

    if (!voiced) {
        QCOMPARE(notes.count(), 0);
        QCOMPARE(sent().size(), 0);
        return;
    }
    if (soft) {
        // Retriggered: off, then on with fresh parameters.
        QCOMPARE(toggles(notes), (Toggles{ { r, false }, { r, true } }));
        QVERIFY(!rig->voiceOf(r)->inRelease);
        QCOMPARE(rig->voiceOf(r)->voice, 1);
        return;
    }
    QCOMPARE(notes.count(), 0);
    const QList<Sent> messages = sentTo(voice);
    QList<int> expected;
    if (altered)
        expected << 2;
    expected << 4 << 5 << 6 << 7 << 8 << 9 << 10 << 11;
    QCOMPARE(parameters(messages), expected);
    const int first = altered ? 1 : 0;
    for (int m = 1; m <= 8; ++m)
        QCOMPARE(messages.at(first + m - 1).value, rig->macro(m));
    if (altered)
        QCOMPARE(messages.at(0).value, frequency(r, 440.0f)); // gliss back at the defaults
    if (!endsSelected) {
        const NodeParameters* plain = rig->nodeParameters(r);
        QVERIFY(plain);
        QCOMPARE(plain->macros[0], rig->macro(1));
        QCOMPARE(plain->gliss[0], 0.5f);
    }
}

// ---------------------------------------------------------------- macros and the patch

void TestPdPlayer::parseMacroNames_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QStringList>("names");
    QTest::addColumn<QList<float>>("defaults");
    QTest::addColumn<bool>("warns");
    QTest::newRow("two macros") << "cutoff(0.25):res(0.5)" << QStringList{ "cutoff", "res" } << QList<float>{ 0.25f, 0.5f }
                                << false;
    QTest::newRow("no brackets") << "drive" << QStringList{ "drive" } << QList<float>{ -1.0f } << false;
    QTest::newRow("empty piece dropped") << "a(0.1)::b(0.2)" << QStringList{ "a", "b" } << QList<float>{ 0.1f, 0.2f }
                                         << false;
    QTest::newRow("leading and trailing colons") << ":a(0.5):" << QStringList{ "a" } << QList<float>{ 0.5f } << false;
    QTest::newRow("closing before opening") << "x)(0.3" << QStringList{ "x)(0.3" } << QList<float>{ -1.0f } << false;
    QTest::newRow("closing before opening, closed") << ")x(0.3)" << QStringList{ ")x(0.3)" } << QList<float>{ -1.0f }
                                                    << false;
    QTest::newRow("no closing bracket") << "a(0.5" << QStringList{ "a(0.5" } << QList<float>{ -1.0f } << false;
    QTest::newRow("not a number") << "gain(loud)" << QStringList{ "gain" } << QList<float>{ 0.0f } << false;
    QTest::newRow("empty brackets") << "gain()" << QStringList{ "gain" } << QList<float>{ 0.0f } << false;
    QTest::newRow("text after the bracket dropped") << "q(0.75)x" << QStringList{ "q" } << QList<float>{ 0.75f } << false;
    QTest::newRow("mixed") << "a(1):b:c(0)" << QStringList{ "a", "b", "c" } << QList<float>{ 1.0f, -1.0f, 0.0f } << false;
    QTest::newRow("eight") << "a(0.1):b(0.2):c(0.3):d(0.4):e(0.5):f(0.6):g(0.7):h(0.8)"
                           << QStringList{ "a", "b", "c", "d", "e", "f", "g", "h" }
                           << QList<float>{ 0.1f, 0.2f, 0.3f, 0.4f, 0.5f, 0.6f, 0.7f, 0.8f } << false;
    QTest::newRow("nine: the first eight") << "a(0.1):b(0.2):c(0.3):d(0.4):e(0.5):f(0.6):g(0.7):h(0.8):i(0.9)"
                                           << QStringList{ "a", "b", "c", "d", "e", "f", "g", "h" }
                                           << QList<float>{ 0.1f, 0.2f, 0.3f, 0.4f, 0.5f, 0.6f, 0.7f, 0.8f } << true;
    QTest::newRow("empty") << "" << QStringList{} << QList<float>{} << false;
}

void TestPdPlayer::parseMacroNames()
{
    QFETCH(QString, text);
    QFETCH(QStringList, names);
    QFETCH(QList<float>, defaults);
    QFETCH(bool, warns);
    Rig rig;
    for (int m = 1; m <= 8; ++m)
        rig.exec(23 + m, 0.33f);
    rig.deliver();
    QSignalSpy namesSpy(rig.player.get(), &PdPlayer::macroNamesReceived);
    QSignalSpy defaultsSpy(rig.player.get(), &PdPlayer::macroDefaultsReceived);
    const QByteArray utf8 = text.toUtf8();
    rig->parseMacroNames(utf8.constData());
    WarningCatcher catcher;
    rig.deliver();
    QCOMPARE(catcher.size() > 0, warns);
    QCOMPARE(namesSpy.count(), 1);
    QCOMPARE(namesSpy.at(0).at(0).toStringList(), names);
    QCOMPARE(defaultsSpy.count(), 1);
    QCOMPARE(defaultsSpy.at(0).at(0).value<QList<float>>(), defaults);
    QCOMPARE(rig->macroNames(), names);
    for (int m = 1; m <= 8; ++m) {
        const bool given = m <= defaults.size();
        QCOMPARE(rig->macroDefault(m), given ? defaults.at(m - 1) : 0.0f);
        // Without "maintainMacroParameters" the globals follow the defaults.
        QCOMPARE(rig->macro(m), given ? defaults.at(m - 1) : 0.33f);
    }
}

void TestPdPlayer::parseMacroNamesMaintained()
{
    Rig rig;
    rig->setMaintainMacroParameters(true);
    rig.exec(SetMacro1, 0.9f);
    rig.exec(SetMacro2, 0.1f);
    rig->parseMacroNames("cutoff(0.25):res(0.5)");
    QCOMPARE(rig->macroDefault(1), 0.25f);
    QCOMPARE(rig->macroDefault(2), 0.5f);
    QCOMPARE(rig->macro(1), 0.9f);
    QCOMPARE(rig->macro(2), 0.1f);
}

void TestPdPlayer::macroAnswerOutsideWaitIgnored()
{
    Rig rig;
    QSignalSpy namesSpy(rig.player.get(), &PdPlayer::macroNamesReceived);
    t_atom atoms[2];
    libpd_set_float(&atoms[0], 1.0f);
    libpd_set_symbol(&atoms[1], "late(0.5)");
    PdPlayer::pdListHook("output-voice-info", 2, atoms);
    rig.deliver();
    QCOMPARE(namesSpy.count(), 0);
    QVERIFY(rig->macroNames().isEmpty());
    QCOMPARE(rig->macroDefault(1), 0.0f);
}

void TestPdPlayer::openTakesMacroNames_data()
{
    QTest::addColumn<bool>("maintain");
    QTest::newRow("macros follow the defaults") << false;
    QTest::newRow("maintainMacroParameters") << true;
}

void TestPdPlayer::openTakesMacroNames()
{
    QFETCH(bool, maintain);
    Rig rig;
    rig->setMaintainMacroParameters(maintain);
    rig.exec(SetMacro1, 0.9f);
    rig.deliver();
    QSignalSpy namesSpy(rig.player.get(), &PdPlayer::macroNamesReceived);
    QSignalSpy defaultsSpy(rig.player.get(), &PdPlayer::macroDefaultsReceived);
    QSignalSpy loaded(rig.player.get(), &PdPlayer::patchLoaded);
    QVERIFY(rig->loadPendingPatch(dataDir(), QStringLiteral("engine_macros.pd")));
    QVERIFY(rig->hasPatch());
    rig.deliver();
    QCOMPARE(loaded.count(), 1);
    QCOMPARE(loaded.at(0).at(0).toString(), QFileInfo(QDir(dataDir()).filePath("engine_macros.pd")).absoluteFilePath());
    QCOMPARE(namesSpy.count(), 1);
    QCOMPARE(namesSpy.at(0).at(0).toStringList(), (QStringList{ "cutoff", "res" }));
    QCOMPARE(defaultsSpy.count(), 1);
    QCOMPARE(defaultsSpy.at(0).at(0).value<QList<float>>(), (QList<float>{ 0.25f, 0.5f }));
    QCOMPARE(rig->macroDefault(1), 0.25f);
    QCOMPARE(rig->macro(1), maintain ? 0.9f : 0.25f);

    // The answer was taken: a second one is not.
    t_atom atoms[2];
    libpd_set_float(&atoms[0], 1.0f);
    libpd_set_symbol(&atoms[1], "other(0.1)");
    PdPlayer::pdListHook("output-voice-info", 2, atoms);
    rig.deliver();
    QCOMPARE(namesSpy.count(), 1);

    rig->unloadPatch();
    QVERIFY(!rig->hasPatch());
    rig.deliver();
    QCOMPARE(namesSpy.count(), 2);
    QVERIFY(namesSpy.at(1).at(0).toStringList().isEmpty());
    QVERIFY(rig->macroNames().isEmpty());
}

void TestPdPlayer::lateMacroAnswerTaken()
{
    Rig rig;
    QSignalSpy namesSpy(rig.player.get(), &PdPlayer::macroNamesReceived);
    QVERIFY(rig->loadPendingPatch(dataDir(), QStringLiteral("engine_latemacros.pd")));
    rig.deliver();
    QCOMPARE(namesSpy.count(), 0);
    // An answer some blocks later is still the answer.
    for (int i = 0; i < 20 && rig->macroNames().isEmpty(); ++i)
        rig.run();
    rig.deliver();
    QCOMPARE(namesSpy.count(), 1);
    QCOMPARE(namesSpy.at(0).at(0).toStringList(), (QStringList{ "drive", "tone", "mix" }));
    QCOMPARE(rig->macroDefault(1), 0.75f);
    QCOMPARE(rig->macroDefault(2), 0.125f);
    QCOMPARE(rig->macroDefault(3), -1.0f);
    rig->unloadPatch();
}

void TestPdPlayer::failedOpen()
{
    Rig rig;
    QSignalSpy loaded(rig.player.get(), &PdPlayer::patchLoaded);
    QTest::ignoreMessage(QtCriticalMsg, QRegularExpression(QStringLiteral("^Opening PD patch failed: ")));
    QVERIFY(!rig->loadPendingPatch(dataDir(), QStringLiteral("no_such_patch.pd")));
    QVERIFY(!rig->hasPatch());
    QCOMPARE(loaded.count(), 0);
    // The engine works on without a patch.
    rig.toggle(R(3, 2));
    QVERIFY(rig->voiceOf(R(3, 2)));
}

void TestPdPlayer::closeWithoutPatch()
{
    Rig rig;
    rig.toggle(R(5, 4));
    rig.select(R(3, 2));
    rig.deliver();
    SignalCounter signalCount(rig.player.get());
    clearSent();
    QElapsedTimer clock;
    clock.start();
    rig->unloadPatch();
    QVERIFY(clock.elapsed() < PdPlayer::HandOverTimeoutMs);
    rig.deliver();
    QCOMPARE(signalCount.total(), 0);
    QCOMPARE(sent().size(), 0);
    QVERIFY(!rig->voiceOf(R(5, 4))->inRelease);
    QCOMPARE(rig->selection(), QList<WendleRatio>{ R(3, 2) });
}

// With a stream running the GUI thread really waits: the close must wake it.
void TestPdPlayer::closeWithoutPatchWakesGuiThread()
{
    Rig rig(ownPlayerStorage<2>());
    StreamThread stream(*rig);
    QElapsedTimer clock;
    clock.start();
    rig->unloadPatch();
    const qint64 elapsed = clock.elapsed();
    stream.stop();
    QVERIFY2(elapsed < PdPlayer::HandOverTimeoutMs, qPrintable(QString::number(elapsed)));
    QVERIFY(!rig->hasPatch());
}

void TestPdPlayer::openAndCloseWithStreamThread()
{
    Rig rig(ownPlayerStorage<3>());
    QSignalSpy namesSpy(rig.player.get(), &PdPlayer::macroNamesReceived);
    {
        StreamThread stream(*rig);
        QElapsedTimer clock;
        clock.start();
        QVERIFY(rig->loadPendingPatch(dataDir(), QStringLiteral("engine_macros.pd")));
        QVERIFY(clock.elapsed() < PdPlayer::HandOverTimeoutMs);
        QVERIFY(rig->hasPatch());
        rig.deliver();
        clock.restart();
        rig->unloadPatch();
        QVERIFY(clock.elapsed() < PdPlayer::HandOverTimeoutMs);
        QVERIFY(!rig->hasPatch());
    }
    rig.deliver();
    QCOMPARE(namesSpy.count(), 2);
    QCOMPARE(namesSpy.at(0).at(0).toStringList(), (QStringList{ "cutoff", "res" }));
    QVERIFY(namesSpy.at(1).at(0).toStringList().isEmpty());
    // The master volume 0 of the unload reached the patch.
    QVERIFY(masterVolumes().contains(0.0f));
}

void TestPdPlayer::reloadRestoresNotesAndSelection_data()
{
    QTest::addColumn<bool>("maintain");
    QTest::newRow("macros from the patch") << false;
    QTest::newRow("maintainMacroParameters") << true;
}

void TestPdPlayer::reloadRestoresNotesAndSelection()
{
    QFETCH(bool, maintain);
    Rig rig;
    rig->setMaintainMacroParameters(maintain);
    QVERIFY(rig->loadPendingPatch(dataDir(), QStringLiteral("engine_macros.pd")));
    const WendleRatio a(5, 4), b(3, 2), c(7, 4);
    rig.toggle(a);
    rig.toggle(b);
    rig.toggle(c);
    rig.select(b);
    rig.exec(SetGlissOne, 0.7f);
    rig.exec(SetMacro3, 0.45f);
    rig.deliver();
    QSignalSpy notes(rig.player.get(), &PdPlayer::noteToggled);
    QSignalSpy selected(rig.player.get(), &PdPlayer::nodeSelected);
    QSignalSpy sliders(rig.player.get(), &PdPlayer::setMacroSliders);

    rig->unloadPatch();
    rig.deliver();
    QCOMPARE(asSet(ratiosOf(notes)), asSet({ a, b, c }));
    QCOMPARE(notes.count(), 3);
    QCOMPARE(toggles(selected), (Toggles{ { b, false } }));
    QVERIFY(rig->selection().isEmpty());
    notes.clear();
    selected.clear();

    QVERIFY(rig->loadPendingPatch(dataDir(), QStringLiteral("engine_macros.pd")));
    rig.deliver();
    QCOMPARE(asSet(ratiosOf(notes)), asSet({ a, b, c }));
    QCOMPARE(notes.count(), 3);
    for (const QList<QVariant>& args : notes)
        QCOMPARE(args.at(1).toBool(), true);
    // The released voices never got a stop report: the notes take free ones.
    QSet<int> voices;
    for (const WendleRatio& r : { a, b, c }) {
        QVERIFY(rig->voiceOf(r) && !rig->voiceOf(r)->inRelease);
        voices.insert(rig->voiceOf(r)->voice);
    }
    QCOMPARE(voices, (QSet<int>{ 3, 4, 5 }));
    QCOMPARE(toggles(selected), (Toggles{ { b, true } }));
    QCOMPARE(rig->selection(), QList<WendleRatio>{ b });
    QCOMPARE(rig->glissPosition(0), 0.7f);
    if (maintain) {
        QCOMPARE(sliders.count(), 1);
        const QList<float> macros = sliders.at(0).at(0).value<QList<float>>();
        QCOMPARE(macros.size(), 8);
        QCOMPARE(macros.at(2), 0.45f);
        QCOMPARE(rig->macro(3), 0.45f);
    } else {
        QCOMPARE(sliders.count(), 0);
        QCOMPARE(rig->macro(1), 0.25f);
    }
    rig->unloadPatch();
}

void TestPdPlayer::voiceStopFromPatch()
{
    Rig rig;
    QVERIFY(rig->loadPendingPatch(dataDir(), QStringLiteral("engine_macros.pd")));
    const WendleRatio a(5, 4);
    rig.toggle(a);
    rig.toggle(a);
    QVERIFY(rig->voiceAt(0).inRelease);
    QCOMPARE(libpd_start_message(1), 0);
    libpd_add_float(1.0f);
    QCOMPARE(libpd_finish_list("voice-stop"), 0);
    QCOMPARE(rig->voiceAt(0).seqId, quint32(0));
    QVERIFY(!rig->voiceOf(a));
    rig->unloadPatch();
    // Closed: the receiver is gone.
    QVERIFY(libpd_start_message(1) == 0);
    libpd_add_float(1.0f);
    QVERIFY(libpd_finish_list("voice-stop") != 0);
}

void TestPdPlayer::masterVolumeToPatch()
{
    Rig rig;
    QVERIFY(rig->loadPendingPatch(dataDir(), QStringLiteral("engine_macros.pd")));
    clearSent();
    rig.exec(MasterVolumeSet, 0.4f);
    rig.exec(MasterVolumeAdd, 0.25f);
    QCOMPARE(masterVolumes(), (QList<float>{ 0.4f, 0.4f + 0.25f }));
    clearSent();
    rig->unloadPatch();
    QCOMPARE(masterVolumes(), QList<float>{ 0.0f });
    // The stored master volume is not changed by the unload.
    QCOMPARE(rig->masterVolume(), 0.4f + 0.25f);
}

void TestPdPlayer::callbackWritesEveryFrame_data()
{
    QTest::addColumn<bool>("withPatch");
    QTest::addColumn<bool>("silenced");
    QTest::addColumn<int>("frames");
    for (int frames : { 100, 64, 130, 256, 20 }) {
        QTest::addRow("no patch, %d frames", frames) << false << false << frames;
        QTest::addRow("no patch, silenced, %d frames", frames) << false << true << frames;
        QTest::addRow("patch, %d frames", frames) << true << false << frames;
        QTest::addRow("patch, silenced, %d frames", frames) << true << true << frames;
    }
}

void TestPdPlayer::callbackWritesEveryFrame()
{
    QFETCH(bool, withPatch);
    QFETCH(bool, silenced);
    QFETCH(int, frames);
    Rig rig;
    if (withPatch)
        QVERIFY(rig->loadPendingPatch(dataDir(), QStringLiteral("engine_macros.pd")));
    const float sentinel = 7.0f;
    const int guard = 64;
    std::vector<float> buffer(size_t(2 * frames + guard), sentinel);
    rig->processCallback(buffer.data(), (unsigned long)frames, silenced);
    const int processed = withPatch && !silenced ? (frames / 64) * 64 * 2 : 0;
    for (int i = 0; i < 2 * frames; ++i) {
        // The patch plays a constant 0.25 on both channels.
        const float expected = i < processed ? 0.25f : 0.0f;
        if (buffer[size_t(i)] != expected)
            QFAIL(qPrintable(QStringLiteral("sample %1 is %2, not %3").arg(i).arg(buffer[size_t(i)]).arg(expected)));
    }
    for (int i = 2 * frames; i < 2 * frames + guard; ++i)
        QCOMPARE(buffer[size_t(i)], sentinel);
    if (withPatch)
        rig->unloadPatch();
}

QTEST_GUILESS_MAIN(TestPdPlayer)
#include "tst_pdplayer.moc"
