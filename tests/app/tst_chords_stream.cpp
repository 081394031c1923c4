// The chord store against an engine that a real stream drives (a private
// JACK server on the dummy driver): a store or recall right after a recall
// acts on what the first one did, not on a list from before it.
#include "EngineCommandType.h"
#include "JackServer.h"
#include "PaAudioOutput.h"
#include "PatchFolder.h"
#include "PdPlayer.h"
#include "StoreAndRecall.h"
#include "WarningCatcher.h"
#include "WindowRig.h"

#include <QtTest>

class TestChordsStream : public QObject
{
    Q_OBJECT

    std::unique_ptr<JackServer> mServer;
    std::unique_ptr<PatchFolder> mPatches;
    std::unique_ptr<PdPlayer> mPlayer;
    std::unique_ptr<PaAudioOutput> mOutput;

private slots:
    void initTestCase()
    {
        const QString missing = JackServer::missingTool({ "jackd", "jack_lsp" });
        if (!missing.isEmpty())
            QSKIP(qPrintable(missing + " not installed (scripts/setup.sh installs it)"));
        mServer = std::make_unique<JackServer>(JackServer::uniqueName("wendle-chords"));
        QVERIFY2(mServer->isRunning(), qPrintable(mServer->error()));

        mPatches = std::make_unique<PatchFolder>(8, "Sine.pd");
        mPlayer = std::make_unique<PdPlayer>();
        QVERIFY(mPatches->isValid() && PdPlayer::initLibpd() && mPlayer->createRings());
        mPlayer->setMaxVoices(8);
        mOutput = std::make_unique<PaAudioOutput>();
        QVERIFY(mOutput->init(256, -1, mPlayer.get()));
        const int jack = int(mOutput->deviceNames().indexOf("JACK Audio Connection Kit: system"));
        QVERIFY(jack >= 0 && (mOutput->selectedIndex() == jack || mOutput->selectDevice(jack)));
        QVERIFY(mPlayer->streamRunning() && mPlayer->loadPendingPatch(mPatches->path(), "wendle_main.pd"));
    }

    void cleanupTestCase()
    {
        if (mPlayer)
            mPlayer->unloadPatch();
        mOutput.reset();
        mPlayer.reset();
        mServer.reset();
    }

    void backToBack_data()
    {
        QTest::addColumn<QString>("first");
        QTest::addColumn<QString>("second");
        QTest::addColumn<int>("mode"); // of the second; -1 stores into slot 3 instead
        QTest::addColumn<QString>("sounding");
        QTest::addColumn<QString>("slot3");
        QTest::newRow("standard twice") << "3/2" << "3/2" << 0 << "3/2" << "";
        QTest::newRow("then additive") << "3/2" << "3/2 5/4" << 1 << "" << "";
        QTest::newRow("then stored") << "7/4" << "" << -1 << "7/4" << "7/4";
    }

    void backToBack()
    {
        QFETCH(QString, first);
        QFETCH(QString, second);
        QFETCH(int, mode);
        QFETCH(QString, sounding);
        QFETCH(QString, slot3);
        // The store waits only so long for the stream. On a machine too busy
        // to run it in that time the store goes by an older list, as it
        // should, and says so: that try proves nothing, and is made again.
        for (int attempt = 1;; ++attempt) {
            const WendleEvent off(AllNotesOff, 1.0f);
            mPlayer->guiCommandBuffer().post(&off);
            QTRY_VERIFY(mPlayer->getAllSoundingRatios().isEmpty());
            StoreAndRecall store(mPlayer.get());
            store.chords.insert(1, WindowRig::ratios(first));
            store.chords.insert(2, WindowRig::ratios(second));
            WarningCatcher warnings;
            // Back to back: only the store itself may wait for the engine between them.
            store.recall(1, 0);
            if (mode < 0)
                store.store(3);
            else
                store.recall(2, mode);
            // What sounds once the stream has run everything posted.
            const QList<WendleRatio> now = store.soundingRatios();
            if (warnings.warnings().filter("did not run the waiting commands").isEmpty()) {
                QCOMPARE(WindowRig::text(now), sounding);
                QCOMPARE(WindowRig::text(store.chords.value(3)), slot3);
                break;
            }
            QVERIFY2(attempt < 20, "the stream never ran the store's commands within its wait");
        }
    }

    // A stream that has stopped calling back costs the store its deadline,
    // not a hang, while the ring fills and refuses the rest. One callback
    // later the engine has run all that the ring took, and the next store
    // waits for nothing: a refused command is never waited for.
    void stalledStream()
    {
        PdPlayer stalled;
        QVERIFY(stalled.createRings());
        stalled.setStreamRunning(true);
        WarningCatcher warnings;
        const WendleEvent off(AllNotesOff, 1.0f);
        const int room = stalled.guiCommandBuffer().freeCommandSlots();
        for (int i = 0; i < room + 3; ++i)
            stalled.guiCommandBuffer().post(&off);
        QCOMPARE(warnings.count("Command buffer full"), 3);
        QElapsedTimer clock;
        clock.start();
        QVERIFY(StoreAndRecall(&stalled).soundingRatios().isEmpty());
        QVERIFY(clock.elapsed() >= StoreAndRecall::EngineWaitMs && clock.elapsed() < 5 * StoreAndRecall::EngineWaitMs);
        QCOMPARE(stalled.executedGuiCommands(), quint64(0));

        float out[2 * 64];
        stalled.processCallback(out, 64, false);
        QCOMPARE(stalled.executedGuiCommands(), quint64(room));
        QVERIFY(StoreAndRecall(&stalled).soundingRatios().isEmpty());
        QCOMPARE(warnings.warnings().filter("did not run the waiting commands").size(), 1);
        stalled.setStreamRunning(false);
    }
};

QTEST_GUILESS_MAIN(TestChordsStream)
#include "tst_chords_stream.moc"
