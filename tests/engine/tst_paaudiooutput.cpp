#include "EngineCommandType.h"
#include "JackServer.h"
#include "PaAudioOutput.h"
#include "PatchFolder.h"
#include "PdPlayer.h"
#include "SignalMeasure.h"
#include "WendleEvent.h"
#include "WendleNoteEvent.h"
#include "WendlePath.h"
#include "WendleRatio.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QMutex>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <functional>
#include <limits>
#include <memory>
#include <thread>
#include <vector>

namespace {

const QString JackHost = "JACK Audio Connection Kit: ";

// Every message is kept for the tests to count, and passed on.
QtMessageHandler gPrevious = nullptr;
QMutex gLogMutex;
QStringList gLog;
// Runs on the thread that logs, at the moment of logging: a test acts
// between two steps of the output that it can tell only by their messages.
std::function<void(const QString&)> gOnMessage;

void captureMessage(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    {
        QMutexLocker lock(&gLogMutex);
        gLog << message;
    }
    gPrevious(type, context, message);
    if (gOnMessage)
        gOnMessage(message);
}

// How many lines were logged as `text`, or starting with it.
int logged(const QString& text, bool prefix = false)
{
    QMutexLocker lock(&gLogMutex);
    return int(std::count_if(gLog.cbegin(), gLog.cend(), [&](const QString& l) { return prefix ? l.startsWith(text) : l == text; }));
}

void clearLog()
{
    QMutexLocker lock(&gLogMutex);
    gLog.clear();
}

QList<int> indices(const QSignalSpy& spy)
{
    QList<int> out;
    for (const QVariantList& args : spy)
        out << args.at(0).toInt();
    return out;
}

// The output ports of this process's PortAudio client.
QStringList portAudioOutputPorts() { return JackServer::ports().filter(QRegularExpression("^PortAudio[^:]*:out_\\d+$")); }

// A JACK client that runs while it lives; what it prints is thrown away.
std::unique_ptr<JackProcess> startClient(const QString& program, const QStringList& arguments = {})
{
    return std::make_unique<JackProcess>(program, arguments, QProcess::nullDevice());
}

} // namespace

class TestPaAudioOutput : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> mTemp;
    std::unique_ptr<PatchFolder> mPatches;
    QString mServerBase;
    std::unique_ptr<JackServer> mServer48k;
    std::unique_ptr<JackServer> mRowServer;
    std::unique_ptr<PdPlayer> mPlayer;
    std::unique_ptr<PaAudioOutput> mOutput;

    // JACK's "system" device, the one the captures record from.
    bool openSystemDevice()
    {
        if (!mOutput)
            mOutput = std::make_unique<PaAudioOutput>();
        if (!mOutput->init(256, -1, mPlayer.get()))
            return false;
        const int index = int(mOutput->deviceNames().indexOf(JackHost + "system"));
        return index >= 0 && (mOutput->selectedIndex() == index || mOutput->selectDevice(index));
    }

    // Opens the main patch and, as the application does after every load, hands
    // it the master volume, which a freshly opened patch holds at 0.
    bool loadPatch()
    {
        if (!mPlayer->loadPendingPatch(mPatches->path(), "wendle_main.pd"))
            return false;
        const WendleEvent volume(MasterVolumeSet, 0.8f);
        mPlayer->guiCommandBuffer().post(&volume);
        return true;
    }

    void togglePathNote(std::initializer_list<int> steps)
    {
        const WendleNoteEvent event(TogglePathNote, 1.0f, WendlePath::fromSteps(steps), WendleRatio());
        mPlayer->guiCommandBuffer().post(&event);
    }

    bool sounding(const WendleRatio& ratio) const { return mPlayer->getAllSoundingRatios().contains(ratio); }

    // Returns once the stream has run `callbacks` callbacks' commands since
    // the call, so has finished all but the last of those callbacks: audio
    // time as the GUI thread sees it. Each waits for a command that does nothing.
    bool waitForCallbacks(int callbacks)
    {
        WendlePath nowhere;
        nowhere.steps[0] = WendlePath::InvalidMarker;
        const WendleNoteEvent nothing(TogglePathNote, 1.0f, nowhere, WendleRatio());
        const QDeadlineTimer deadline(60000);
        for (int i = 0; i < callbacks; ++i) {
            mPlayer->guiCommandBuffer().post(&nothing);
            if (!mPlayer->waitForGuiCommands(deadline))
                return false;
        }
        return true;
    }

    // Records `seconds` of what JACK hears from this process's PortAudio
    // client: both channels silent (hz 0) or a tone of hz, at the device's rate.
    void expectHeard(int seconds, double hz, int rate = 48000)
    {
        const QStringList ports = portAudioOutputPorts();
        QVERIFY2(ports.size() == 2, qPrintable(JackServer::ports().join(' ')));
        const QString path = QDir(mTemp->path()).filePath("capture.wav");
        QFile::remove(path);
        bool ok = false;
        JackServer::runTool("jack_rec", QStringList { "-f", path, "-d", QString::number(seconds), "-b", "16" } + ports, &ok, (seconds + 20) * 1000);
        QVERIFY(ok);
        std::vector<float> channels[2];
        int fileRate = 0;
        QString error;
        QVERIFY2(SignalMeasure::readWav16(path, channels, &fileRate, &error), qPrintable(error));
        QCOMPARE(fileRate, rate);
        for (const std::vector<float>& channel : channels) {
            QVERIFY(channel.size() > size_t(rate / 2));
            if (hz == 0.0) {
                QCOMPARE(SignalMeasure::peak(channel), 0.0);
                continue;
            }
            QVERIFY2(SignalMeasure::peak(channel) > 0.01, qPrintable(QString::number(SignalMeasure::peak(channel))));
            const double measured = SignalMeasure::medianPeriodFrequency(channel, rate);
            const double cents = SignalMeasure::centsBetween(measured, hz);
            QVERIFY2(std::abs(cents) <= 1.0, qPrintable(QString("measured %1 Hz, %2 cents off").arg(measured, 0, 'f', 4).arg(cents, 0, 'f', 4)));
        }
    }

private slots:
    void initTestCase()
    {
        const QString missing =
            JackServer::missingTool({ "jackd", "jack_lsp", "jack_rec", "jack_metro", "jack_thru", "jack_iodelay" });
        if (!missing.isEmpty())
            QSKIP(qPrintable(missing + " not installed: these tests need the jackd2 package (scripts/setup.sh installs it)"));
        gPrevious = qInstallMessageHandler(captureMessage);
        mTemp = std::make_unique<QTemporaryDir>();
        QVERIFY(mTemp->isValid());
        mPatches = std::make_unique<PatchFolder>(4, "Sine.pd");
        QVERIFY2(mPatches->isValid(), qPrintable("patches not found in " + PatchFolder::patchesDir()));
        QVERIFY(PdPlayer::initLibpd());
        mServerBase = QString("wendle-test-%1").arg(QCoreApplication::applicationPid());
        mServer48k = std::make_unique<JackServer>(mServerBase + "-48k", 48000);
        QVERIFY2(mServer48k->isRunning(), qPrintable(mServer48k->error()));
    }

    void cleanupTestCase()
    {
        mOutput.reset();
        mPlayer.reset();
        mServer48k.reset();
        if (gPrevious)
            qInstallMessageHandler(gPrevious);
    }

    void init()
    {
        clearLog();
        JackServer::use(mServerBase + "-48k");
        mPlayer = std::make_unique<PdPlayer>();
        QVERIFY(mPlayer->createRings());
    }

    void cleanup()
    {
        mOutput.reset();
        if (mPlayer && mPlayer->hasPatch())
            mPlayer->unloadPatch();
        mPlayer.reset();
        mRowServer.reset();
    }

    // JACK shows every client as a device; one with only output ports can
    // record but not play, one with a single input port can play mono only.
    void listsAndOpensOutputDevices()
    {
        const auto metro = startClient("jack_metro", { "-n", "wendle_metro", "-b", "120" });
        const auto thru = startClient("jack_thru");
        const auto delay = startClient("jack_iodelay");
        QTRY_VERIFY_WITH_TIMEOUT(JackServer::ports().filter(QRegularExpression("^(wendle_metro|jack_thru|jack_delay):")).size() == 7, 10000);
        mOutput = std::make_unique<PaAudioOutput>();
        QSignalSpy changed(mOutput.get(), &AudioOutput::selectedDeviceChanged);
        QVERIFY(mOutput->init(256, -1, mPlayer.get()));

        QStringList expected;
        bool sawInputOnly = false;
        for (PaDeviceIndex i = 0; i < Pa_GetDeviceCount(); ++i) {
            const PaDeviceInfo* info = Pa_GetDeviceInfo(i);
            const QString name = QString::fromLocal8Bit(Pa_GetHostApiInfo(info->hostApi)->name) + ": "
                + QString::fromLocal8Bit(info->name);
            if (info->maxOutputChannels >= 1)
                expected << name;
            else
                sawInputOnly = sawInputOnly || name == JackHost + "wendle_metro";
        }
        QVERIFY2(sawInputOnly, "PortAudio should report the metronome as an input-only device");
        const QStringList names = mOutput->deviceNames();
        QCOMPARE(names, expected);
        QVERIFY(names.contains(JackHost + "jack_thru") && names.contains(JackHost + "jack_delay"));
        QVERIFY(!names.contains(JackHost + "wendle_metro"));

        clearLog();
        mOutput->printDeviceInfo();
        QCOMPARE(logged(QString("Number of audio devices found: %1").arg(names.size())), 1);
        QCOMPARE(logged("Index: ", true), int(names.size()));
        QCOMPARE(logged("Default sample rate: ", true), int(names.size()));
        QCOMPARE(logged("Name: jack_thru"), 1);
        QCOMPARE(logged("Name: wendle_metro"), 0);

        // A menu index opens that client: PortAudio connects its outputs to the client's inputs.
        for (const QString input : { "jack_thru:input_1", "system:playback_1" }) {
            const int index = int(names.indexOf(JackHost + input.section(':', 0, 0)));
            changed.clear();
            QVERIFY(mOutput->selectDevice(index));
            QCOMPARE(mOutput->selectedIndex(), index);
            QCOMPARE(indices(changed), QList<int>({ -1, index }));
            const QStringList ports = portAudioOutputPorts();
            QCOMPARE(ports.size(), 2);
            QTRY_VERIFY2(JackServer::connectionsOf(ports.first()).contains(input), qPrintable(JackServer::connectionsOf(ports.first()).join(' ')));
        }

        // jack_delay's single input refuses stereo; the stream that played is closed on the way.
        changed.clear();
        QVERIFY(!mOutput->selectDevice(int(names.indexOf(JackHost + "jack_delay"))));
        QCOMPARE(logged("Output format not supported"), 1);
        QCOMPARE(logged("Pa_IsFormatSupported returned err: ", true), 1);
        QVERIFY(!mOutput->hasStream() && !mPlayer->streamRunning());
        QCOMPARE(mOutput->selectedIndex(), -1);
        QCOMPARE(indices(changed), QList<int>({ -1, -1 }));
        QVERIFY(portAudioOutputPorts().isEmpty());
    }

    void unknownMenuIndexSelectsDefault_data()
    {
        QTest::addColumn<int>("index");
        QTest::newRow("default (-1)") << -1;
        QTest::newRow("past the end") << 57;
        QTest::newRow("negative") << -7;
    }

    // An index that the menu does not hold (devices changed since the options
    // were saved) opens the default output device, from init as from selectDevice.
    void unknownMenuIndexSelectsDefault()
    {
        QFETCH(int, index);
        mOutput = std::make_unique<PaAudioOutput>();
        QSignalSpy changed(mOutput.get(), &AudioOutput::selectedDeviceChanged);
        QVERIFY(mOutput->init(256, index, mPlayer.get()));
        const PaDeviceInfo* info = Pa_GetDeviceInfo(Pa_GetDefaultOutputDevice());
        QVERIFY(info);
        const int expected = int(mOutput->deviceNames().indexOf(QString::fromLocal8Bit(Pa_GetHostApiInfo(info->hostApi)->name)
                                                                 + ": " + QString::fromLocal8Bit(info->name)));
        QVERIFY(expected >= 0);
        QCOMPARE(mOutput->selectedIndex(), expected);
        QCOMPARE(indices(changed), QList<int>({ expected }));
        QVERIFY(mPlayer->streamRunning());

        // The same from a playing stream: the old one closes, the default opens.
        changed.clear();
        QVERIFY(mOutput->selectDevice(index));
        QCOMPARE(mOutput->selectedIndex(), expected);
        QCOMPARE(indices(changed), QList<int>({ -1, expected }));
        QCOMPARE(portAudioOutputPorts().size(), 2);
    }

    void playsNoteThroughDevice_data()
    {
        QTest::addColumn<int>("deviceRate");
        QTest::newRow("device at 48000 refuses 44100") << 48000;
        QTest::newRow("device at 44100") << 44100;
    }

    // A note posted by the GUI thread is executed by the audio thread, played
    // by the patch at the device's rate and heard on the device.
    void playsNoteThroughDevice()
    {
        QFETCH(int, deviceRate);
        if (deviceRate != 48000) {
            mRowServer = std::make_unique<JackServer>(mServerBase + QString::number(deviceRate), deviceRate);
            QVERIFY2(mRowServer->isRunning(), qPrintable(mRowServer->error()));
        }
        QVERIFY(openSystemDevice());
        QVERIFY(mPlayer->streamRunning());
        QCOMPARE(logged("Got invalid sample rate for 44100") > 0, deviceRate != 44100);
        QVERIFY(logged(QString("Initialising libpd with sampleRate %1").arg(deviceRate)) > 0);
        QVERIFY(logged("PaStream started") > 0);

        QVERIFY(loadPatch());
        // One prime-3 step above 1/1 at 440 Hz: 3/2, 660 Hz.
        togglePathNote({ 3 });
        QTRY_VERIFY(sounding(WendleRatio(3, 2)));
        // The attack falls in the first second, which the measure leaves out.
        expectHeard(2, 660.0, deviceRate);
    }

    // Muted, the device hears zeros while commands still run and the patch
    // keeps computing: a note started and one released in silence are where
    // they should be once the output is lifted.
    void muteSilencesWhileEngineRuns()
    {
        QVERIFY(openSystemDevice());
        QVERIFY(loadPatch());
        togglePathNote({ 3 });
        QTRY_VERIFY(sounding(WendleRatio(3, 2)));
        constexpr int PerSecond = 48000 / 256; // callbacks, on the server's dummy device
        // A fifth of a second of the note before the mute.
        QVERIFY(waitForCallbacks(PerSecond / 5));

        mOutput->mute();
        // A whole callback has written silence since, and JACK hears no older one.
        QVERIFY(waitForCallbacks(3));
        expectHeard(1, 0.0);
        // Release 3/2 and start 5/4 (550 Hz); the release rings out unheard,
        // in two seconds of audio.
        togglePathNote({ 3 });
        togglePathNote({ 5 });
        QTRY_VERIFY(sounding(WendleRatio(5, 4)) && !sounding(WendleRatio(3, 2)));
        QVERIFY(waitForCallbacks(2 * PerSecond));

        // The unmute is heard within the first second, which the measure leaves out.
        mOutput->unmute();
        expectHeard(2, 550.0);
    }

    void callbackWritesEveryFrame_data()
    {
        QTest::addColumn<int>("frames");
        QTest::addColumn<QString>("state");
        for (const int frames : { 100, 256, 1000 }) {
            for (const char* state : { "no player", "no patch", "playing", "muted" })
                QTest::addRow("%d frames, %s", frames, state) << frames << state;
        }
    }

    // Driven by hand with no stream open: every frame of every buffer is
    // written, with silence after the last whole block of 64 and while muted.
    void callbackWritesEveryFrame()
    {
        QFETCH(int, frames);
        QFETCH(QString, state);
        PaAudioOutput output;
        if (state != "no player") {
            // init hands over the engine and sets libpd's rate; then no stream runs.
            QVERIFY(output.init(frames, -1, mPlayer.get()));
            QCOMPARE(logged(QString("Frames per buffer %1 is not a multiple of 64: the frames after the last whole block "
                                    "of each buffer stay silent").arg(frames)), frames % 64 ? 1 : 0);
            output.term();
        }
        const bool withPatch = state == "playing" || state == "muted";
        if (withPatch) {
            QVERIFY(loadPatch());
            togglePathNote({ 3 });
        }
        if (state == "muted")
            output.mute();

        std::vector<float> buffer(size_t(frames) * 2);
        float loudest = 0.0f;
        // About a fifth of a second, enough for any attack to have begun.
        for (int call = 0; call < 10000 / frames + 1; ++call) {
            std::fill(buffer.begin(), buffer.end(), std::numeric_limits<float>::quiet_NaN());
            QCOMPARE(PaAudioOutput::streamCallback(nullptr, buffer.data(), (unsigned long)frames, nullptr, 0, &output), int(paContinue));
            for (size_t i = 0; i < buffer.size(); ++i) {
                QVERIFY2(!std::isnan(buffer[i]), qPrintable(QString("sample %1 of call %2 unwritten").arg(i).arg(call)));
                if (i >= size_t(frames / 64 * 64) * 2)
                    QCOMPARE(buffer[i], 0.0f);
                loudest = std::max(loudest, std::abs(buffer[i]));
            }
        }
        QVERIFY2(state == "playing" ? loudest > 0.01f : loudest == 0.0f, qPrintable(QString::number(loudest)));
        // The note was executed whether the output was muted or not.
        QCOMPARE(sounding(WendleRatio(3, 2)), withPatch);
    }

    // A stream whose start fails is closed at once rather than kept half open:
    // its ports go, and term finds nothing left to stop. The device's client
    // leaves between the open and the start, so the start cannot connect to it.
    void failedStartClosesTheStream()
    {
        auto thru = startClient("jack_thru");
        QTRY_VERIFY_WITH_TIMEOUT(JackServer::ports().contains("jack_thru:input_1"), 10000);
        QVERIFY(openSystemDevice());
        const int index = int(mOutput->deviceNames().indexOf(JackHost + "jack_thru"));
        QVERIFY(index >= 0);
        QSignalSpy changed(mOutput.get(), &AudioOutput::selectedDeviceChanged);
        gOnMessage = [&thru](const QString& message) {
            if (!thru || !message.startsWith("PaStream opened"))
                return;
            thru.reset();
            for (int i = 0; i < 100 && JackServer::ports().filter("jack_thru:").size() > 0; ++i)
                QThread::msleep(50);
        };
        const bool selected = mOutput->selectDevice(index);
        gOnMessage = nullptr;
        QVERIFY(!thru);
        QVERIFY(!selected);
        QCOMPARE(logged("Pa_StartStream returned err: ", true), 1);
        QVERIFY(!mOutput->hasStream() && !mPlayer->streamRunning());
        QCOMPARE(mOutput->selectedIndex(), -1);
        QCOMPARE(indices(changed), QList<int>({ -1, -1 }));
        QCOMPARE(portAudioOutputPorts(), QStringList());
        clearLog();
        mOutput->term();
        QCOMPARE(logged("Stopping stream..."), 0);
        QCOMPARE(logged("Calling Pa_Terminate..."), 1);
        for (const char* call : { "Pa_StopStream", "Pa_CloseStream", "Pa_Terminate" })
            QCOMPARE(logged(QString("%1 returned err: ").arg(call), true), 0);
    }

    void termTwiceBeforeInitAndOnDestruction()
    {
        mOutput = std::make_unique<PaAudioOutput>();
        mOutput->term();
        QCOMPARE(logged("Calling Pa_Terminate..."), 0);

        QSignalSpy changed(mOutput.get(), &AudioOutput::selectedDeviceChanged);
        QVERIFY(openSystemDevice());
        QCOMPARE(portAudioOutputPorts().size(), 2);
        changed.clear();
        clearLog();
        mOutput->term();
        QVERIFY(!mOutput->hasStream() && !mPlayer->streamRunning());
        QCOMPARE(mOutput->selectedIndex(), -1);
        QCOMPARE(indices(changed), QList<int>({ -1 }));
        QCOMPARE(logged("Closing stream..."), 1);
        QCOMPARE(logged("Calling Pa_Terminate..."), 1);
        QCOMPARE(Pa_GetDeviceCount(), PaDeviceIndex(paNotInitialized));
        QTRY_VERIFY(portAudioOutputPorts().isEmpty());

        // A second term does nothing more; with PortAudio gone nothing can be selected.
        mOutput->term();
        QCOMPARE(logged("Calling Pa_Terminate..."), 1);
        QCOMPARE(logged("Pa_Terminate returned err: ", true), 0);
        QCOMPARE(changed.size(), 1);
        QVERIFY(!mOutput->selectDevice(-1));
        QCOMPARE(logged("No default output device returned from Pa_GetDefaultOutputDevice"), 1);
        QVERIFY(!mOutput->selectDevice(0));
        QVERIFY(!mOutput->hasStream());

        // It can start again; destroyed without term, it closes its stream and terminates PortAudio.
        QVERIFY(mOutput->init(256, -1, mPlayer.get()));
        QVERIFY(mPlayer->streamRunning());
        clearLog();
        mOutput.reset();
        QVERIFY(!mPlayer->streamRunning());
        QCOMPARE(logged("Closing stream..."), 1);
        QCOMPARE(Pa_GetDeviceCount(), PaDeviceIndex(paNotInitialized));
        QTRY_VERIFY(portAudioOutputPorts().isEmpty());
    }

    // A JACK server that dies under the running stream: PortAudio would wait
    // ten minutes to stop that stream, so term leaves it, and PortAudio, as
    // they are. Last of all, since PortAudio stays bound to the dead server.
    void deadServerNeverHangs()
    {
        mRowServer = std::make_unique<JackServer>(mServerBase + "-dies", 48000);
        QVERIFY2(mRowServer->isRunning(), qPrintable(mRowServer->error()));
        QVERIFY(openSystemDevice());
        QVERIFY(mPlayer->streamRunning());
        mRowServer.reset();

        // term runs on a thread of its own, so that a hang fails the test rather than stopping it.
        clearLog();
        auto done = std::make_shared<std::atomic<bool>>(false);
        PaAudioOutput* output = mOutput.get();
        std::thread([output, done] {
            output->term();
            done->store(true);
        }).detach();
        if (!QTest::qWaitFor([&] { return done->load(); }, 30000)) {
            (void)mOutput.release(); // still inside term on the other thread
            QFAIL("term did not return within 30 s of the server's death");
        }
        QCOMPARE(logged("The JACK server stopped under the running stream; the stream is left open"), 1);
        QCOMPARE(logged("Stopping stream..."), 0);
        QCOMPARE(logged("Calling Pa_Terminate..."), 0);
        QVERIFY(!mOutput->hasStream() && !mPlayer->streamRunning());
        QCOMPARE(mOutput->selectedIndex(), -1);
    }
};

QTEST_GUILESS_MAIN(TestPaAudioOutput)
#include "tst_paaudiooutput.moc"
