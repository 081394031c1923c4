#include "EngineCommandType.h"
#include "PdPlayer.h"
#include "RatioContext.h"
#include "WendleNoteEvent.h"

#include <QSet>
#include <QtTest>
#include <atomic>
#include <thread>

#include "z_libpd.h"

namespace {

std::atomic<int> gBufferFull { 0 };
QtMessageHandler gPrevious = nullptr;

void countingHandler(QtMsgType type, const QMessageLogContext& context, const QString& text)
{
    if (text == QLatin1String("Command buffer full")) {
        gBufferFull.fetch_add(1);
        return;
    }
    if (type != QtDebugMsg && gPrevious)
        gPrevious(type, context, text);
}

} // namespace

// The GUI thread and the controller thread post while the audio thread drains
// and executes; run under ThreadSanitizer as well.
class TestEngineThreads : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(PdPlayer::initLibpd());
        libpd_init_audio(0, 2, 48000);
    }

    void producersAndAudioThread()
    {
        PdPlayer player;
        QVERIFY(player.createRings());
        gBufferFull = 0;
        gPrevious = qInstallMessageHandler(countingHandler);

        const int perProducer = 20000;
        std::atomic<bool> audioRunning { true };
        std::atomic<int> callbacks { 0 };
        // std::thread: its join is visible to ThreadSanitizer, unlike QThread::wait inside Qt.
        std::thread audio([&] {
            float out[256 * 2];
            while (audioRunning.load()) {
                player.processCallback(out, 256, false);
                callbacks.fetch_add(1);
            }
            player.processCallback(out, 256, false);
        });
        // The controller thread adds 1 to the voice volume per command.
        std::thread controller([&] {
            const WendleEvent add(VoiceVolumeAdd, 1.0f);
            for (int i = 0; i < perProducer; ++i)
                player.serialCommandBuffer().post(&add);
        });

        // Meanwhile the GUI thread posts the same, toggles notes, moves the
        // lattice's transposition and reads the sounding ratios.
        const WendleEvent add(VoiceVolumeAdd, 1.0f);
        const QList<WendleRatio> chord { WendleRatio(1, 1), WendleRatio(5, 4), WendleRatio(3, 2), WendleRatio(7, 4) };
        const QSet<WendleRatio> allowed(chord.begin(), chord.end());
        int torn = 0;
        for (int i = 0; i < perProducer; ++i) {
            player.guiCommandBuffer().post(&add);
            if (i % 97 == 0) {
                // Posted without the warning so that every warning counts a lost volume command.
                const WendleNoteEvent note(ToggleRatioNote, 1.0f, WendlePath(), chord[(i / 97) % chord.size()]);
                player.guiCommandBuffer().postCommand(EngineCommand::fromEvent(note));
                const WendleNoteEvent byPath(TogglePathNote, 1.0f, WendlePath::fromSteps({ 3 }), WendleRatio());
                player.guiCommandBuffer().postCommand(EngineCommand::fromEvent(byPath));
                RatioContext::publishTransposition(Rational(i % 2 ? 3 : 1, i % 2 ? 2 : 1), Rational(1, 1));
            }
            if (i % 211 == 0) {
                for (const WendleRatio& r : player.getAllSoundingRatios()) {
                    if (!allowed.contains(r) && r != WendleRatio(3, 2) && r != WendleRatio(9, 4))
                        ++torn;
                }
                player.deliverReports();
            }
        }
        controller.join();
        audioRunning = false;
        audio.join();
        player.deliverReports();
        qInstallMessageHandler(gPrevious);
        RatioContext::publishTransposition(Rational(1, 1), Rational(1, 1));

        QCOMPARE(torn, 0);
        QVERIFY(callbacks.load() > 0);
        // Every volume command either arrived or was reported as dropped.
        const float arrived = player.voiceVolume() - 1.0f;
        QCOMPARE(qint64(arrived), 2LL * perProducer - gBufferFull.load());
    }
};

QTEST_GUILESS_MAIN(TestEngineThreads)
#include "tst_enginethreads.moc"
