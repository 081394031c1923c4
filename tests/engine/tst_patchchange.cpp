#include "EngineCommandType.h"
#include "EngineRig.h"
#include "PaAudioOutput.h"
#include "PatchFolder.h"
#include "PdPlayer.h"
#include "WarningCatcher.h"
#include "WendleNoteEvent.h"

#include <QtTest>
#include <atomic>
#include <cmath>
#include <cstring>
#include <thread>
#include <vector>

#include "z_libpd.h"

namespace {

constexpr int Rate = 48000;

QString dataDir()
{
    return PatchFolder::sourceDir() + QStringLiteral("/tests/engine/data");
}

// A stream of its own: another thread runs callbacks of `frames` frames,
// silenced while the output is muted, and keeps what they wrote.
class Stream
{
public:
    Stream(PdPlayer& player, const PaAudioOutput* output = nullptr, int seconds = 0, int startAfterMs = 0)
        : mPlayer(player)
        , mOutput(output)
        , mLeft(size_t(seconds) * Rate)
        , mMuted(mLeft.size() / Frames)
    {
        mPlayer.setStreamRunning(true);
        mThread = std::thread([this, startAfterMs] {
            std::this_thread::sleep_for(std::chrono::milliseconds(startAfterMs));
            run();
        });
    }
    ~Stream() { stop(); }

    void stop()
    {
        if (!mThread.joinable())
            return;
        mRunning.store(false, std::memory_order_release);
        mThread.join();
        mPlayer.setStreamRunning(false);
    }
    // Frames recorded so far.
    size_t recorded() const { return mCallbacks.load(std::memory_order_acquire) * Frames; }
    const std::vector<float>& left() const { return mLeft; }
    bool mutedAt(size_t frame) const { return mMuted[frame / Frames]; }

    static constexpr size_t Frames = 256;

private:
    void run()
    {
        float out[2 * Frames];
        while (mRunning.load(std::memory_order_acquire)) {
            const bool muted = mOutput && mOutput->isMuted();
            mPlayer.processCallback(out, Frames, muted);
            const size_t n = mCallbacks.load(std::memory_order_relaxed);
            if ((n + 1) * Frames <= mLeft.size()) {
                for (size_t i = 0; i < Frames; ++i)
                    mLeft[n * Frames + i] = out[2 * i];
                mMuted[n] = muted;
                mCallbacks.store(n + 1, std::memory_order_release);
            }
            // About five times real time: fast, yet the GUI side gets its turns.
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

    PdPlayer& mPlayer;
    const PaAudioOutput* mOutput;
    std::vector<float> mLeft;
    std::vector<bool> mMuted;
    std::atomic<size_t> mCallbacks { 0 };
    std::atomic<bool> mRunning { true };
    std::thread mThread;
};

// The first "master-vol" list on another thread than the test's takes its time.
std::atomic<bool> gSlowMasterVolume { false };
std::thread::id gTestThread;

void slowListHook(const char* source, int argc, t_atom* argv)
{
    if (source && std::strcmp(source, "master-vol") == 0 && std::this_thread::get_id() != gTestThread
        && gSlowMasterVolume.exchange(false))
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    PdPlayer::pdListHook(source, argc, argv);
}

void waitForFrames(const Stream& stream, size_t frames)
{
    QTRY_VERIFY_WITH_TIMEOUT(stream.recorded() >= frames, 10000);
}

} // namespace

class TestPatchChange : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(PdPlayer::initLibpd());
        QCOMPARE(libpd_init_audio(0, 2, Rate), 0);
        gTestThread = std::this_thread::get_id();
        libpd_set_listhook(&slowListHook);
        QVERIFY(libpd_bind("master-vol") != nullptr);
    }

    // An unload that gave up on a stream that stalled leaves its close behind;
    // when the stream runs again, the next load still gets its own open, even
    // though the stale close wakes it first.
    void loadAfterUnloadGaveUp()
    {
        EngineRig rig;
        QVERIFY(rig->loadPendingPatch(dataDir(), QStringLiteral("engine_macros.pd")));
        rig->setStreamRunning(true); // but no thread runs the callbacks
        QTest::ignoreMessage(QtCriticalMsg, "Audio thread did not fade out the patch within 3000 ms; going on without it");
        QTest::ignoreMessage(QtCriticalMsg, "Audio thread did not close the patch within 3000 ms; going on without it");
        rig->unloadPatch();
        QVERIFY(rig->hasPatch());
        // A slow command between the stale close and the open leaves the
        // waiting thread all the time it needs to take the close for its own.
        gSlowMasterVolume = true;
        rig.post(WendleEvent(MasterVolumeSet, 0.5f));
        Stream stream(*rig, nullptr, 0, 100); // starts after the open is posted
        QVERIFY(rig->loadPendingPatch(dataDir(), QStringLiteral("engine_macros.pd")));
        QVERIFY(rig->hasPatch());
        QVERIFY(!gSlowMasterVolume);
        rig->unloadPatch();
        QVERIFY(!rig->hasPatch());
    }

    void openWithoutPendingName_data()
    {
        QTest::addColumn<bool>("fromLoad");
        QTest::newRow("a load without a name") << true;
        QTest::newRow("a controller's open") << false;
    }

    // Nothing opens, the warning says why, and a waiting load wakes at once.
    void openWithoutPendingName()
    {
        QFETCH(bool, fromLoad);
        EngineRig rig;
        WarningCatcher warnings;
        {
            Stream stream(*rig);
            if (fromLoad) {
                QVERIFY(!rig->loadPendingPatch(dataDir(), QString()));
            } else {
                rig.postSerial(WendleEvent(OpenPatch, 1.0f));
                QTRY_VERIFY((rig.deliver(), !warnings.warnings().isEmpty()));
            }
        }
        rig.deliver();
        QCOMPARE(warnings.warnings(), QStringList { QStringLiteral("Open patch command without a pending patch name ignored") });
        QVERIFY(!rig->hasPatch());
    }

    // A note at 0.8 master volume through a patch change and back: the fade
    // out ends before the output is muted, the fade in starts from zero.
    void patchChangeDoesNotClick()
    {
        PaAudioOutput output; // never opened: only its mute flag is used
        EngineRig rig;
        rig->setAudioOutput(&output);
        PatchFolder folder(8, QStringLiteral("Sine.pd"));
        QVERIFY(folder.isValid());
        QVERIFY(rig->loadPendingPatch(folder.path(), QStringLiteral("wendle_main.pd")));
        rig.post(WendleEvent(MasterVolumeSet, 0.8f));
        // Low enough that the tone's own steps stay far below a click's.
        rig.post(WendleEvent(SetBaseFrequency, 110.0f));
        rig.post(WendleNoteEvent(ToggleRatioNote, 1.0f, WendlePath(), WendleRatio(1, 1)));

        Stream stream(*rig, &output, 30);
        waitForFrames(stream, Rate / 2);
        const size_t beforeUnload = stream.recorded();
        rig->unloadPatch();
        QVERIFY(!rig->hasPatch());
        QVERIFY(rig->loadPendingPatch(folder.path(), QStringLiteral("wendle_main.pd")));
        // As the main window does after every load.
        rig.post(WendleEvent(MasterVolumeSet, 0.8f));
        const size_t reloaded = stream.recorded();
        waitForFrames(stream, reloaded + Rate / 2);
        stream.stop();
        rig->setAudioOutput(nullptr);

        const std::vector<float>& left = stream.left();
        const size_t end = stream.recorded();
        float loudBefore = 0.0f, loudAfter = 0.0f, largestStep = 0.0f;
        size_t firstMuted = end;
        for (size_t i = 1; i < end; ++i) {
            largestStep = std::max(largestStep, std::fabs(left[i] - left[i - 1]));
            float& loudest = i < beforeUnload ? loudBefore : loudAfter;
            loudest = std::max(loudest, std::fabs(left[i]));
            if (firstMuted == end && stream.mutedAt(i))
                firstMuted = i;
        }
        QVERIFY2(loudBefore > 0.1f && loudAfter > 0.1f, qPrintable(QStringLiteral("%1 %2").arg(loudBefore).arg(loudAfter)));
        QVERIFY2(firstMuted < end && firstMuted >= beforeUnload, "the patch change did not mute the output");
        QVERIFY2(std::fabs(left[firstMuted - 1]) < 1e-3f, qPrintable(QString::number(left[firstMuted - 1])));
        QVERIFY2(largestStep < 0.02f, qPrintable(QString::number(largestStep)));
    }
};

QTEST_GUILESS_MAIN(TestPatchChange)
#include "tst_patchchange.moc"
