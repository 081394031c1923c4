// The application object started and stopped as main() does it, on a private
// JACK server with the program's patches and a controller table: what the
// start-up wires together, and a shutdown that a stuck controller thread
// must not hang and that writes the count of a flood's last drops.
#include "CardWidget.h"
#include "ControllerTestSupport.h"
#include "EngineCommandType.h"
#include "JackServer.h"
#include "WendleNoteEvent.h"
#include "WindowRig.h"

#include <QSemaphore>
#include <QtTest>
#include <thread>

namespace {

// Ten bytes, as a wand sends them.
const QByteArray BaseTag = "basebflat4";

// "Ab5", "G#5 enh": letter, accidental, octave and the enharmonic mark.
QString spelled(const CardWidget* card)
{
    const NoteSpelling& s = card->spelling();
    const char* accidentals[] = { "bb", "b", "", "#", "x" };
    return s.letterName() + QLatin1String(accidentals[s.accidental + 2]) + QString::number(s.octave)
        + (card->enharmonic() ? QStringLiteral(" enh") : QString());
}

} // namespace

class TestStartup : public QObject
{
    Q_OBJECT

    std::unique_ptr<JackServer> mServer;
    std::unique_ptr<ModalAnswerer> mModals;
    quint16 mPort = 0;
    QSemaphore mEntered, mRelease;

    static TuningWendleApplication* app() { return TuningWendleApplication::instance(); }

    // How every card of the ratio, on both pages, is spelled.
    static QSet<QString> spellings(const WendleRatio& ratio)
    {
        QSet<QString> out;
        for (const CardWidget* card : app()->mainWindow()->findChildren<CardWidget*>()) {
            if (card->absoluteRatio() == ratio)
                out << spelled(card);
        }
        return out;
    }

    bool sendTag() { return sendDatagrams({ wandDatagram(1, BaseTag) }, QHostAddress::LocalHost, mPort); }

private slots:
    void initTestCase()
    {
        const QString missing = JackServer::missingTool({ "jackd", "jack_lsp" });
        if (!missing.isEmpty())
            QSKIP(qPrintable(missing + " not installed (scripts/setup.sh installs it)"));
        mServer = std::make_unique<JackServer>(JackServer::uniqueName("wendle-startup"));
        QVERIFY2(mServer->isRunning(), qPrintable(mServer->error()));
        mPort = freeUdpPort();
        QVERIFY(QDir().mkpath(TuningWendleApplication::configDir()));
        QVERIFY(writeConfigFile("options.json", QStringLiteral(R"({"updateCheckInterval": 4, "defaultPatch": "Sine.pd",
                                                                  "mainPatchNumberOfVoices": 8, "udpPort": %1})")
                                                    .arg(mPort).toUtf8()));
        QVERIFY(writeConfigFile("rfid_map.json", R"({")" + BaseTag + R"(": {"event": 22, "value": 466.16}})"));
        // A box would otherwise wait for a click that never comes.
        mModals = std::make_unique<ModalAnswerer>();
        QVERIFY(app()->start());
        QVERIFY2(mModals->seen.isEmpty(), qPrintable(mModals->seen.join('\n')));
    }

    // A controller tag moves the 1/1 from A4 to B flat 4 while 7/4 sounds:
    // its card is spelled from the new 1/1 (A flat 5), not from the old one
    // (G sharp 5 by the nearest spelling), however the engine's report
    // reaches the lattice and the options.
    void cardAfterControllerBaseChange()
    {
        const WendleRatio seventh(7, 4);
        const WendleNoteEvent note(ToggleRatioNote, 1.0f, WendlePath(), seventh);
        app()->engine().guiCommandBuffer().post(&note);
        QTRY_COMPARE(spellings(seventh), QSet<QString> { "G5" });

        // The listener may still be binding its port: the tag goes again until it is read.
        const float moved = 466.16f;
        const auto moves = [&] { return app()->lattice().baseFrequency == moved || (sendTag(), false); };
        QTRY_VERIFY_WITH_TIMEOUT(moves(), 20000);
        QTRY_COMPARE(app()->options().baseFrequency, double(moved));
        QCOMPARE(spellings(seventh), QSet<QString> { "Ab5" });
    }

    // A controller thread stuck in its work cannot hang the quit: shutdown
    // gives up on it after its deadline and leaves it running, cut off from
    // the engine, to the process's end (Qt aborts on destroying a running thread).
    void shutdownLeavesAStuckControllerThread()
    {
        UdpListener& listener = app()->udpListener();
        QVERIFY(listener.isRunning());
        connect(&listener, &UdpListener::eventReceived, &listener, [this] {
            mEntered.release();
            mRelease.acquire();
        }, Qt::DirectConnection);
        // Every datagram still waiting would stop it again.
        const auto letGo = qScopeGuard([&] {
            mRelease.release(1 << 20);
            listener.wait(QDeadlineTimer(60000));
        });
        bool entered = false;
        for (QDeadlineTimer deadline(20000); !entered && !deadline.hasExpired();)
            entered = sendTag() && mEntered.tryAcquire(1, 100);
        QVERIFY(entered);

        // A flood that the engine's ring could not take, quit before a second
        // of quiet has passed: shutdown writes what the log has not counted
        // yet. The controller thread, which posts alone, is held meanwhile.
        PdPlayer& engine = app()->engine();
        const WendleEvent volume(MasterVolumeSet, 0.5f);
        const quint64 before = engine.serialCommandBuffer().written();
        int posted = 0;
        const auto dropped = [&] { return posted - int(engine.serialCommandBuffer().written() - before); };
        for (QDeadlineTimer deadline(20000); dropped() < 1000 && !deadline.hasExpired(); ++posted)
            engine.queueEventSerial(&volume);

        // Without the deadline shutdown would wait for good: this lets the
        // thread go long after the deadline, so that such a wait shows as a failure.
        QSemaphore returned;
        std::thread watchdog([&] {
            if (!returned.tryAcquire(1, 60000))
                mRelease.release();
        });
        app()->shutdown();
        const bool running = listener.isRunning();
        returned.release();
        watchdog.join();

        QVERIFY(running);
        QVERIFY(listener.isAbandoned());
        QFile log(TuningWendleApplication::configDir() + "/log.txt");
        QVERIFY(log.open(QIODevice::ReadOnly));
        const QString written = QString::fromUtf8(log.readAll());
        QVERIFY(written.contains("UDP thread couldn't be stopped, exiting anyway"));
        QVERIFY(dropped() >= 1000);
        QCOMPARE(droppedCommandsLogged(written.split(QLatin1Char('\n'))), dropped());
        // Let go, it sees its stop flag and ends by itself.
        mRelease.release(1 << 20);
        QVERIFY(listener.wait(QDeadlineTimer(60000)));
    }
};

int main(int argc, char** argv)
{
    QTemporaryDir home;
    qputenv("XDG_DATA_HOME", home.path().toUtf8());
    QCoreApplication::setApplicationName(TuningWendleApplication::Name);
    TuningWendleApplication app(argc, argv);
    TestStartup test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_startup.moc"
