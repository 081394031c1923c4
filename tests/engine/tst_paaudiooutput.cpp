#include "EngineCommandType.h"
#include "PaAudioOutput.h"
#include "PatchFolder.h"
#include "PdPlayer.h"
#include "WendleEvent.h"
#include "WendleNoteEvent.h"
#include "WendlePath.h"
#include "WendleRatio.h"

#include <QDir>
#include <QFile>
#include <QMutex>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

#ifdef Q_OS_LINUX
#include <csignal>
#include <sys/prctl.h>
#endif

namespace {

const QString JackHost = QStringLiteral("JACK Audio Connection Kit: ");

// --- log capture -----------------------------------------------------------

QtMessageHandler previousHandler = nullptr;
QMutex logMutex;
QStringList logLines;

void captureMessage(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    {
        QMutexLocker lock(&logMutex);
        logLines << message;
    }
    if (previousHandler)
        previousHandler(type, context, message);
}

int loggedCount(const QString& text)
{
    QMutexLocker lock(&logMutex);
    return int(std::count(logLines.cbegin(), logLines.cend(), text));
}

int loggedStartingWithCount(const QString& text)
{
    QMutexLocker lock(&logMutex);
    return int(std::count_if(logLines.cbegin(), logLines.cend(), [&](const QString& l) { return l.startsWith(text); }));
}

bool loggedStartingWith(const QString& text)
{
    return loggedStartingWithCount(text) > 0;
}

void clearLog()
{
    QMutexLocker lock(&logMutex);
    logLines.clear();
}

// --- JACK ------------------------------------------------------------------

// Runs a JACK command-line tool against the server that JACK_DEFAULT_SERVER names.
QString runJackTool(const QString& program, const QStringList& args, bool* ok = nullptr, int timeoutMs = 10000)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::SeparateChannels);
    p.start(program, args);
    const bool done = p.waitForFinished(timeoutMs);
    if (!done) {
        p.kill();
        p.waitForFinished(2000);
    }
    if (ok)
        *ok = done && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
    return QString::fromLocal8Bit(p.readAllStandardOutput());
}

QStringList jackPorts()
{
    return runJackTool(QStringLiteral("jack_lsp"), {}).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

// Ports that `port` is connected to, from `jack_lsp -c`.
QStringList connectionsOf(const QString& port)
{
    const QStringList lines = runJackTool(QStringLiteral("jack_lsp"), { QStringLiteral("-c") })
                                  .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QStringList result;
    bool inside = false;
    for (const QString& line : lines) {
        if (!line.startsWith(QLatin1Char(' '))) {
            inside = line == port;
        } else if (inside) {
            result << line.trimmed();
        }
    }
    return result;
}

// The output ports of this process's PortAudio client.
QStringList portAudioOutputPorts()
{
    static const QRegularExpression pattern(QStringLiteral("^PortAudio[^:]*:out_\\d+$"));
    return jackPorts().filter(pattern);
}

bool waitForPorts(const QRegularExpression& pattern, int count, int timeoutMs = 10000)
{
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < timeoutMs) {
        if (jackPorts().filter(pattern).size() >= count)
            return true;
        QThread::msleep(50);
    }
    return false;
}

// A private JACK server on the dummy driver: real time paced, no sound card.
class JackServer
{
public:
    ~JackServer() { stop(); }

    bool start(const QString& name, int rate, QString* error)
    {
        mName = name;
        mProcess.setProcessChannelMode(QProcess::MergedChannels);
#ifdef Q_OS_LINUX
        // A crashed test must not leave its server behind: JACK allows only a few at once.
        mProcess.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
#endif
        mProcess.start(QStringLiteral("jackd"),
                       { QStringLiteral("--no-realtime"), QStringLiteral("-n"), name, QStringLiteral("-d"),
                         QStringLiteral("dummy"), QStringLiteral("-r"), QString::number(rate),
                         QStringLiteral("-p"), QStringLiteral("256") });
        if (!mProcess.waitForStarted(5000)) {
            *error = QStringLiteral("jackd did not start: ") + mProcess.errorString();
            return false;
        }
        use();
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < 15000) {
            bool ok = false;
            const QString ports = runJackTool(QStringLiteral("jack_lsp"), {}, &ok, 5000);
            if (ok && ports.contains(QLatin1String("system:playback_1")))
                return true;
            if (mProcess.state() == QProcess::NotRunning)
                break;
            QThread::msleep(100);
        }
        *error = QStringLiteral("JACK server %1 did not answer: %2")
                     .arg(name, QString::fromLocal8Bit(mProcess.readAll()));
        return false;
    }

    // Points libjack, and so PortAudio's next initialisation and the tools, at this server.
    void use() const { qputenv("JACK_DEFAULT_SERVER", mName.toLocal8Bit()); }

    void stop()
    {
        if (mProcess.state() == QProcess::NotRunning)
            return;
        mProcess.terminate();
        if (!mProcess.waitForFinished(5000)) {
            mProcess.kill();
            mProcess.waitForFinished(2000);
        }
    }

private:
    QString mName;
    QProcess mProcess;
};

// A JACK client tool kept running for the length of one test.
class JackClient
{
public:
    explicit JackClient(const QString& program, const QStringList& args = {})
    {
        mProcess.setProcessChannelMode(QProcess::MergedChannels);
        mProcess.start(program, args);
        mProcess.waitForStarted(5000);
    }
    ~JackClient()
    {
        mProcess.terminate();
        if (!mProcess.waitForFinished(5000)) {
            mProcess.kill();
            mProcess.waitForFinished(2000);
        }
    }

private:
    QProcess mProcess;
};

// --- capture and analysis --------------------------------------------------

struct Capture
{
    int rate = 0;
    std::vector<std::vector<float>> channels;
};

quint32 le32(const char* p)
{
    const auto* u = reinterpret_cast<const unsigned char*>(p);
    return quint32(u[0]) | quint32(u[1]) << 8 | quint32(u[2]) << 16 | quint32(u[3]) << 24;
}

quint16 le16(const char* p)
{
    const auto* u = reinterpret_cast<const unsigned char*>(p);
    return quint16(u[0] | u[1] << 8);
}

// Reads a 16-bit PCM or 32-bit float WAV file as jack_rec writes it.
bool readWav(const QString& path, Capture& capture, QString* error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot open ") + path;
        return false;
    }
    const QByteArray bytes = file.readAll();
    if (bytes.size() < 12 || !bytes.startsWith("RIFF") || bytes.mid(8, 4) != "WAVE") {
        *error = QStringLiteral("not a WAV file: ") + path;
        return false;
    }
    int channels = 0;
    int bits = 0;
    int format = 0;
    qsizetype pos = 12;
    while (pos + 8 <= bytes.size()) {
        const QByteArray id = bytes.mid(pos, 4);
        const qsizetype size = le32(bytes.constData() + pos + 4);
        const char* body = bytes.constData() + pos + 8;
        if (id == "fmt " && size >= 16) {
            format = le16(body);
            channels = le16(body + 2);
            capture.rate = int(le32(body + 4));
            bits = le16(body + 14);
            if (format == 0xFFFE && size >= 26)
                format = le16(body + 24);
        } else if (id == "data" && channels > 0) {
            const int frameBytes = channels * bits / 8;
            const qsizetype available = std::min<qsizetype>(size, bytes.size() - pos - 8);
            const qsizetype frames = frameBytes > 0 ? available / frameBytes : 0;
            capture.channels.assign(size_t(channels), std::vector<float>(size_t(frames)));
            for (qsizetype f = 0; f < frames; ++f) {
                for (int c = 0; c < channels; ++c) {
                    const char* s = body + f * frameBytes + c * bits / 8;
                    float v = 0.0f;
                    if (format == 1 && bits == 16) {
                        v = float(qint16(le16(s))) / 32768.0f;
                    } else if (format == 3 && bits == 32) {
                        const quint32 u = le32(s);
                        std::memcpy(&v, &u, sizeof v);
                    } else {
                        *error = QStringLiteral("unexpected WAV format %1 with %2 bits").arg(format).arg(bits);
                        return false;
                    }
                    capture.channels[size_t(c)][size_t(f)] = v;
                }
            }
            return true;
        }
        pos += 8 + size + (size & 1);
    }
    *error = QStringLiteral("no audio data in ") + path;
    return false;
}

// Records what this process's PortAudio client plays, as JACK sees it.
bool captureOutput(int seconds, const QString& folder, Capture& capture, QString* error)
{
    const QStringList ports = portAudioOutputPorts();
    if (ports.size() != PaAudioOutput::ChannelCount) {
        *error = QStringLiteral("expected %1 PortAudio output ports, JACK lists: %2")
                     .arg(PaAudioOutput::ChannelCount)
                     .arg(jackPorts().join(QLatin1Char(' ')));
        return false;
    }
    const QString path = QDir(folder).filePath(QStringLiteral("capture.wav"));
    QFile::remove(path);
    bool ok = false;
    QStringList args { QStringLiteral("-f"), path, QStringLiteral("-d"), QString::number(seconds),
                       QStringLiteral("-b"), QStringLiteral("16") };
    args << ports;
    runJackTool(QStringLiteral("jack_rec"), args, &ok, (seconds + 20) * 1000);
    if (!ok) {
        *error = QStringLiteral("jack_rec failed");
        return false;
    }
    return readWav(path, capture, error);
}

// Frequency from the median period between rising zero crossings in the last
// `seconds` of a channel, each crossing placed between its samples by linear
// interpolation. The median keeps a dropped or repeated buffer from moving it.
double measuredFrequency(const std::vector<float>& samples, int rate, double seconds)
{
    const size_t length = std::min(samples.size(), size_t(seconds * rate));
    std::vector<double> periods;
    double previous = -1.0;
    for (size_t i = samples.size() - length + 1; i < samples.size(); ++i) {
        const double a = samples[i - 1];
        const double b = samples[i];
        if (a < 0.0 && b >= 0.0) {
            const double at = double(i - 1) + a / (a - b);
            if (previous >= 0.0)
                periods.push_back(at - previous);
            previous = at;
        }
    }
    if (periods.empty())
        return 0.0;
    std::nth_element(periods.begin(), periods.begin() + periods.size() / 2, periods.end());
    return rate / periods[periods.size() / 2];
}

float peak(const std::vector<float>& samples)
{
    float p = 0.0f;
    for (float s : samples)
        p = std::max(p, std::abs(s));
    return p;
}

bool soundingContains(const PdPlayer& player, const WendleRatio& ratio)
{
    return player.getAllSoundingRatios().contains(ratio);
}

void postPathNote(PdPlayer& player, std::initializer_list<int> steps)
{
    const WendleNoteEvent event(TogglePathNote, 1.0f, WendlePath::fromSteps(steps), WendleRatio());
    player.guiCommandBuffer().post(&event);
}

} // namespace

class TestPaAudioOutput : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();

    void listsOutputDevicesOnly();
    void printsEveryOutputDevice();
    void unknownMenuIndexSelectsDefault_data();
    void unknownMenuIndexSelectsDefault();
    void playsNoteThroughDevice_data();
    void playsNoteThroughDevice();
    void muteSilencesWhileEngineRuns();
    void callbackWritesEveryFrame_data();
    void callbackWritesEveryFrame();
    void termClosesStreamAndTerminatesOnce();
    void destructorClosesRunningStream();

private:
    bool openSystemDevice(int framesPerBuffer);
    bool loadPatch();

    std::unique_ptr<QTemporaryDir> mTemp;
    std::unique_ptr<PatchFolder> mPatches;
    QString mServerBase;
    JackServer mServer48k;
    std::unique_ptr<JackServer> mRowServer;
    std::unique_ptr<PdPlayer> mPlayer;
    std::unique_ptr<PaAudioOutput> mOutput;
};

void TestPaAudioOutput::initTestCase()
{
    for (const char* tool : { "jackd", "jack_lsp", "jack_rec", "jack_metro", "jack_thru", "jack_iodelay" }) {
        if (QStandardPaths::findExecutable(QString::fromLatin1(tool)).isEmpty())
            QSKIP(qPrintable(QStringLiteral("%1 not installed: these tests need the jackd2 package "
                                            "(scripts/setup.sh installs it)")
                                 .arg(QString::fromLatin1(tool))));
    }
    // Never let libjack start a server of its own in place of ours.
    qputenv("JACK_NO_START_SERVER", "1");
    previousHandler = qInstallMessageHandler(captureMessage);

    mTemp = std::make_unique<QTemporaryDir>();
    QVERIFY(mTemp->isValid());
    mPatches = std::make_unique<PatchFolder>(4, QStringLiteral("Sine.pd"));
    QVERIFY2(mPatches->isValid(), qPrintable(QStringLiteral("patches not found in ") + PatchFolder::patchesDir()));

    QVERIFY(PdPlayer::initLibpd());

    mServerBase = QStringLiteral("wendle-test-%1").arg(QCoreApplication::applicationPid());
    QString error;
    QVERIFY2(mServer48k.start(mServerBase + QStringLiteral("-48k"), 48000, &error), qPrintable(error));
}

void TestPaAudioOutput::cleanupTestCase()
{
    mOutput.reset();
    mPlayer.reset();
    mServer48k.stop();
    if (previousHandler) {
        qInstallMessageHandler(previousHandler);
        previousHandler = nullptr;
    }
}

void TestPaAudioOutput::init()
{
    clearLog();
    mServer48k.use();
    mPlayer = std::make_unique<PdPlayer>();
    QVERIFY(mPlayer->createRings());
}

void TestPaAudioOutput::cleanup()
{
    mOutput.reset();
    if (mPlayer && mPlayer->hasPatch())
        mPlayer->unloadPatch();
    mPlayer.reset();
    mRowServer.reset();
}

bool TestPaAudioOutput::openSystemDevice(int framesPerBuffer)
{
    if (!mOutput)
        mOutput = std::make_unique<PaAudioOutput>();
    if (!mOutput->init(framesPerBuffer, -1, mPlayer.get()))
        return false;
    const int index = int(mOutput->deviceNames().indexOf(JackHost + QStringLiteral("system")));
    if (index < 0)
        return false;
    return mOutput->selectedIndex() == index || mOutput->selectDevice(index);
}

// Opens the main patch and, as the application does after every load, hands
// it the master volume, which a freshly opened patch holds at 0.
bool TestPaAudioOutput::loadPatch()
{
    if (!mPlayer->loadPendingPatch(mPatches->path(), QStringLiteral("wendle_main.pd")))
        return false;
    const WendleEvent volume(MasterVolumeSet, 0.8f);
    mPlayer->guiCommandBuffer().post(&volume);
    return true;
}

// JACK shows every client as a device; one with only output ports can record
// but not play, one with a single input port can play mono only.
void TestPaAudioOutput::listsOutputDevicesOnly()
{
    JackClient metro(QStringLiteral("jack_metro"), { QStringLiteral("-n"), QStringLiteral("wendle_metro"),
                                                     QStringLiteral("-b"), QStringLiteral("120") });
    JackClient thru(QStringLiteral("jack_thru"));
    JackClient delay(QStringLiteral("jack_iodelay"));
    QVERIFY(waitForPorts(QRegularExpression(QStringLiteral("^(wendle_metro|jack_thru|jack_delay):")), 7));

    mOutput = std::make_unique<PaAudioOutput>();
    QSignalSpy changed(mOutput.get(), &AudioOutput::selectedDeviceChanged);
    QVERIFY(mOutput->init(256, -1, mPlayer.get()));
    QVERIFY(mPlayer->streamRunning());

    // What PortAudio itself reports, for comparison.
    QStringList expected;
    bool sawInputOnly = false;
    for (PaDeviceIndex i = 0; i < Pa_GetDeviceCount(); ++i) {
        const PaDeviceInfo* info = Pa_GetDeviceInfo(i);
        const QString name = QString::fromLocal8Bit(Pa_GetHostApiInfo(info->hostApi)->name) + QStringLiteral(": ")
            + QString::fromLocal8Bit(info->name);
        if (info->maxOutputChannels >= 1)
            expected << name;
        else if (name == JackHost + QStringLiteral("wendle_metro"))
            sawInputOnly = info->maxInputChannels == 1;
    }
    QVERIFY2(sawInputOnly, "PortAudio should report the metronome as a one-input, no-output device");

    const QStringList names = mOutput->deviceNames();
    QCOMPARE(names, expected);
    QVERIFY(names.contains(JackHost + QStringLiteral("system")));
    QVERIFY(names.contains(JackHost + QStringLiteral("jack_thru")));
    QVERIFY(names.contains(JackHost + QStringLiteral("jack_delay")));
    QVERIFY(!names.contains(JackHost + QStringLiteral("wendle_metro")));

    // A menu index opens the device at that place in the list: PortAudio
    // connects its outputs to that client's inputs.
    for (const QString& client : { QStringLiteral("jack_thru"), QStringLiteral("system") }) {
        const int index = int(names.indexOf(JackHost + client));
        changed.clear();
        QVERIFY(mOutput->selectDevice(index));
        QCOMPARE(mOutput->selectedIndex(), index);
        QCOMPARE(changed.size(), 2);
        QCOMPARE(changed.at(0).at(0).toInt(), -1);
        QCOMPARE(changed.at(1).at(0).toInt(), index);
        QVERIFY(mPlayer->streamRunning());
        const QStringList ports = portAudioOutputPorts();
        QCOMPARE(ports.size(), 2);
        const QString firstInput = client == QLatin1String("system") ? QStringLiteral("system:playback_1")
                                                                      : QStringLiteral("jack_thru:input_1");
        QTRY_VERIFY2(connectionsOf(ports.first()).contains(firstInput),
                     qPrintable(connectionsOf(ports.first()).join(QLatin1Char(' '))));
    }

    // jack_delay has one input port: stereo is refused, and the stream that
    // played has been closed on the way.
    changed.clear();
    QVERIFY(!mOutput->selectDevice(int(names.indexOf(JackHost + QStringLiteral("jack_delay")))));
    QCOMPARE(loggedCount(QStringLiteral("Output format not supported")), 1);
    QVERIFY(loggedStartingWith(QStringLiteral("Pa_IsFormatSupported returned err: ")));
    QVERIFY(!mOutput->hasStream());
    QCOMPARE(mOutput->selectedIndex(), -1);
    QVERIFY(!mPlayer->streamRunning());
    QCOMPARE(changed.size(), 2);
    QCOMPARE(changed.at(1).at(0).toInt(), -1);
    QVERIFY(portAudioOutputPorts().isEmpty());
}

void TestPaAudioOutput::printsEveryOutputDevice()
{
    JackClient thru(QStringLiteral("jack_thru"));
    QVERIFY(waitForPorts(QRegularExpression(QStringLiteral("^jack_thru:")), 4));
    mOutput = std::make_unique<PaAudioOutput>();
    QVERIFY(mOutput->init(256, -1, mPlayer.get()));
    const QStringList names = mOutput->deviceNames();

    clearLog();
    mOutput->printDeviceInfo();
    QCOMPARE(loggedCount(QStringLiteral("Number of audio devices found: %1").arg(names.size())), 1);
    for (int i = 0; i < names.size(); ++i)
        QCOMPARE(loggedCount(QStringLiteral("Index: %1").arg(i)), 1);
    QCOMPARE(loggedCount(QStringLiteral("Name: system")), 1);
    QCOMPARE(loggedCount(QStringLiteral("Name: jack_thru")), 1);
    QVERIFY(loggedCount(QStringLiteral("Host API: JACK Audio Connection Kit")) >= 2);
    QVERIFY(loggedCount(QStringLiteral("Max outputs: 2")) >= 2);
    QVERIFY(loggedCount(QStringLiteral("Default sample rate: 48000")) >= 2);
    // One block of lines per device; ASIO lines only where PortAudio has ASIO.
    for (const char* label : { "Max inputs:", "Default low input latency:", "Default high input latency:",
                               "Default low output latency:", "Default high output latency:",
                               "Default sample rate:" })
        QCOMPARE(loggedStartingWithCount(QString::fromLatin1(label)), int(names.size()));
    QCOMPARE(loggedStartingWithCount(QStringLiteral("ASIO")), 0);
}

void TestPaAudioOutput::unknownMenuIndexSelectsDefault_data()
{
    QTest::addColumn<int>("index");
    QTest::newRow("default (-1)") << -1;
    QTest::newRow("past the end") << 57;
    QTest::newRow("negative") << -7;
}

// An index that the menu does not hold (devices changed since the options
// were saved) opens the default output device, from init as from selectDevice.
void TestPaAudioOutput::unknownMenuIndexSelectsDefault()
{
    QFETCH(int, index);

    mOutput = std::make_unique<PaAudioOutput>();
    QSignalSpy changed(mOutput.get(), &AudioOutput::selectedDeviceChanged);
    QVERIFY(mOutput->init(256, index, mPlayer.get()));

    const QStringList names = mOutput->deviceNames();
    const PaDeviceIndex defaultDevice = Pa_GetDefaultOutputDevice();
    QVERIFY(defaultDevice != paNoDevice);
    const PaDeviceInfo* info = Pa_GetDeviceInfo(defaultDevice);
    const int expected = int(names.indexOf(QString::fromLocal8Bit(Pa_GetHostApiInfo(info->hostApi)->name)
                                           + QStringLiteral(": ") + QString::fromLocal8Bit(info->name)));
    QVERIFY(expected >= 0);

    QCOMPARE(mOutput->selectedIndex(), expected);
    QCOMPARE(changed.size(), 1);
    QCOMPARE(changed.at(0).at(0).toInt(), expected);
    QVERIFY(mPlayer->streamRunning());

    // The same from a playing stream: the old one closes, the default opens.
    changed.clear();
    QVERIFY(mOutput->selectDevice(index));
    QCOMPARE(mOutput->selectedIndex(), expected);
    QCOMPARE(changed.size(), 2);
    QCOMPARE(changed.at(0).at(0).toInt(), -1);
    QCOMPARE(changed.at(1).at(0).toInt(), expected);
    QCOMPARE(portAudioOutputPorts().size(), 2);
}

void TestPaAudioOutput::playsNoteThroughDevice_data()
{
    QTest::addColumn<int>("deviceRate");
    QTest::addColumn<bool>("rateRefused");
    QTest::newRow("device at 48000 refuses 44100") << 48000 << true;
    QTest::newRow("device at 44100") << 44100 << false;
}

// The whole path: a note posted by the GUI thread is executed by the audio
// thread, played by the patch at the device's rate and heard on the device.
void TestPaAudioOutput::playsNoteThroughDevice()
{
    QFETCH(int, deviceRate);
    QFETCH(bool, rateRefused);

    if (deviceRate != 48000) {
        // A server of its own, for this row only.
        mRowServer = std::make_unique<JackServer>();
        QString error;
        QVERIFY2(mRowServer->start(mServerBase + QStringLiteral("-%1").arg(deviceRate), deviceRate, &error),
                 qPrintable(error));
    }
    QVERIFY(openSystemDevice(256));
    QVERIFY(mPlayer->streamRunning());

    QCOMPARE(loggedCount(QStringLiteral("Got invalid sample rate for 44100")) > 0, rateRefused);
    QVERIFY(loggedCount(QStringLiteral("Initialising libpd with sampleRate %1").arg(deviceRate)) > 0);
    QVERIFY(loggedStartingWith(QStringLiteral("PaStream opened with output latency")));
    QVERIFY(loggedCount(QStringLiteral("PaStream started")) > 0);

    QVERIFY(loadPatch());
    QVERIFY(mPlayer->hasPatch());

    // One prime-3 step above 1/1 at 440 Hz: 3/2, 660 Hz.
    postPathNote(*mPlayer, { 3 });
    QTRY_VERIFY(soundingContains(*mPlayer, WendleRatio(3, 2)));
    QTest::qWait(300);

    Capture capture;
    QString error;
    QVERIFY2(captureOutput(2, mTemp->path(), capture, &error), qPrintable(error));
    QCOMPARE(capture.rate, deviceRate);
    QCOMPARE(int(capture.channels.size()), 2);
    for (size_t c = 0; c < capture.channels.size(); ++c) {
        const std::vector<float>& channel = capture.channels[c];
        QVERIFY2(peak(channel) > 0.01f, qPrintable(QStringLiteral("peak %1").arg(double(peak(channel)))));
        const double hz = measuredFrequency(channel, capture.rate, 1.0);
        qInfo("channel %d: measured %.3f Hz, sampled at %d Hz", int(c) + 1, hz, capture.rate);
        QVERIFY2(std::abs(hz - 660.0) <= 0.005 * 660.0, qPrintable(QStringLiteral("measured %1 Hz").arg(hz, 0, 'f', 3)));
    }
}

// Muted, the device hears zeros while commands still run and the patch keeps
// computing: a note started and one released in silence are where they
// should be once the output is lifted.
void TestPaAudioOutput::muteSilencesWhileEngineRuns()
{
    QVERIFY(openSystemDevice(256));
    QVERIFY(loadPatch());
    postPathNote(*mPlayer, { 3 });
    QTRY_VERIFY(soundingContains(*mPlayer, WendleRatio(3, 2)));
    QTest::qWait(200);

    mOutput->mute();
    QVERIFY(mOutput->isMuted());
    QTest::qWait(100);
    Capture capture;
    QString error;
    QVERIFY2(captureOutput(1, mTemp->path(), capture, &error), qPrintable(error));
    QCOMPARE(int(capture.channels.size()), 2);
    QVERIFY(!capture.channels[0].empty());
    for (const std::vector<float>& channel : capture.channels)
        QCOMPARE(peak(channel), 0.0f);

    // Release 3/2 and start 5/4 (550 Hz) while muted; let the release ring out unheard.
    postPathNote(*mPlayer, { 3 });
    postPathNote(*mPlayer, { 5 });
    QTRY_VERIFY(soundingContains(*mPlayer, WendleRatio(5, 4)));
    QTRY_VERIFY(!soundingContains(*mPlayer, WendleRatio(3, 2)));
    QTest::qWait(2000);

    mOutput->unmute();
    QVERIFY(!mOutput->isMuted());
    QTest::qWait(100);
    QVERIFY2(captureOutput(2, mTemp->path(), capture, &error), qPrintable(error));
    for (size_t c = 0; c < capture.channels.size(); ++c) {
        const std::vector<float>& channel = capture.channels[c];
        QVERIFY(peak(channel) > 0.01f);
        const double hz = measuredFrequency(channel, capture.rate, 1.5);
        qInfo("channel %d: measured %.3f Hz after unmute", int(c) + 1, hz);
        QVERIFY2(std::abs(hz - 550.0) <= 0.005 * 550.0, qPrintable(QStringLiteral("measured %1 Hz").arg(hz, 0, 'f', 3)));
    }
}

void TestPaAudioOutput::callbackWritesEveryFrame_data()
{
    QTest::addColumn<int>("frames");
    QTest::addColumn<bool>("withPlayer");
    QTest::addColumn<bool>("withPatch");
    QTest::addColumn<bool>("muted");

    for (const int frames : { 64, 100, 256, 1000 }) {
        QTest::addRow("%d frames, no player", frames) << frames << false << false << false;
        QTest::addRow("%d frames, no patch", frames) << frames << true << false << false;
        QTest::addRow("%d frames, playing", frames) << frames << true << true << false;
        QTest::addRow("%d frames, muted", frames) << frames << true << true << true;
    }
}

// Driven by hand with no stream open: every frame of every buffer is
// written, with silence after the last whole block of 64.
void TestPaAudioOutput::callbackWritesEveryFrame()
{
    QFETCH(int, frames);
    QFETCH(bool, withPlayer);
    QFETCH(bool, withPatch);
    QFETCH(bool, muted);

    PaAudioOutput output;
    if (withPlayer) {
        // init hands over the engine and sets libpd's rate; then no stream runs.
        QVERIFY(output.init(frames, -1, mPlayer.get()));
        QCOMPARE(output.framesPerBuffer(), frames);
        QCOMPARE(loggedCount(QStringLiteral("Frames per buffer %1 is not a multiple of 64: the frames after "
                                            "the last whole block of each buffer stay silent")
                                 .arg(frames)),
                 frames % 64 == 0 ? 0 : 1);
        output.term();
        QVERIFY(!mPlayer->streamRunning());
    }
    if (withPatch) {
        QVERIFY(loadPatch());
        postPathNote(*mPlayer, { 3 });
    }
    if (muted)
        output.mute();

    const int wholeFrames = frames / 64 * 64;
    std::vector<float> buffer(size_t(frames) * 2);
    float loudest = 0.0f;
    // About a fifth of a second, enough for any attack to have begun.
    for (int call = 0; call < 10000 / frames + 1; ++call) {
        std::fill(buffer.begin(), buffer.end(), std::numeric_limits<float>::quiet_NaN());
        QCOMPARE(PaAudioOutput::streamCallback(nullptr, buffer.data(), (unsigned long)frames, nullptr, 0, &output),
                 int(paContinue));
        for (size_t i = 0; i < buffer.size(); ++i) {
            QVERIFY2(!std::isnan(buffer[i]), qPrintable(QStringLiteral("sample %1 of call %2 unwritten").arg(i).arg(call)));
            if (i >= size_t(wholeFrames) * 2)
                QCOMPARE(buffer[i], 0.0f);
            loudest = std::max(loudest, std::abs(buffer[i]));
        }
    }
    if (withPatch && !muted)
        QVERIFY2(loudest > 0.01f, qPrintable(QString::number(double(loudest))));
    else
        QCOMPARE(loudest, 0.0f);
    // The note was executed whether the output was muted or not.
    if (withPatch)
        QVERIFY(soundingContains(*mPlayer, WendleRatio(3, 2)));
}

void TestPaAudioOutput::termClosesStreamAndTerminatesOnce()
{
    mOutput = std::make_unique<PaAudioOutput>();
    // Before init there is nothing to close or terminate.
    mOutput->term();
    QCOMPARE(loggedCount(QStringLiteral("Calling Pa_Terminate...")), 0);

    QSignalSpy changed(mOutput.get(), &AudioOutput::selectedDeviceChanged);
    QVERIFY(openSystemDevice(256));
    QVERIFY(mPlayer->streamRunning());
    QCOMPARE(portAudioOutputPorts().size(), 2);

    changed.clear();
    clearLog();
    mOutput->term();
    QVERIFY(!mOutput->hasStream());
    QCOMPARE(mOutput->selectedIndex(), -1);
    QVERIFY(!mPlayer->streamRunning());
    QCOMPARE(changed.size(), 1);
    QCOMPARE(changed.at(0).at(0).toInt(), -1);
    QCOMPARE(loggedCount(QStringLiteral("Stopping stream...")), 1);
    QCOMPARE(loggedCount(QStringLiteral("Closing stream...")), 1);
    QCOMPARE(loggedCount(QStringLiteral("Calling Pa_Terminate...")), 1);
    QCOMPARE(Pa_GetDeviceCount(), PaDeviceIndex(paNotInitialized));
    QTRY_VERIFY(portAudioOutputPorts().isEmpty());

    // A second term does nothing more.
    changed.clear();
    mOutput->term();
    QCOMPARE(loggedCount(QStringLiteral("Calling Pa_Terminate...")), 1);
    QVERIFY(!loggedStartingWith(QStringLiteral("Pa_Terminate returned err: ")));
    QCOMPARE(changed.size(), 0);

    // With PortAudio gone nothing can be selected, and nothing is left half open.
    QVERIFY(!mOutput->selectDevice(-1));
    QCOMPARE(loggedCount(QStringLiteral("No default output device returned from Pa_GetDefaultOutputDevice")), 1);
    QVERIFY(!mOutput->selectDevice(0));
    QVERIFY(!mOutput->hasStream());

    // And it can start again.
    clearLog();
    QVERIFY(mOutput->init(256, -1, mPlayer.get()));
    QCOMPARE(loggedCount(QStringLiteral("PortAudio initialised.")), 1);
    QVERIFY(mPlayer->streamRunning());
}

// An output destroyed without term must not leave its stream calling into
// the engine, nor PortAudio initialised.
void TestPaAudioOutput::destructorClosesRunningStream()
{
    QVERIFY(openSystemDevice(256));
    QVERIFY(loadPatch());
    QVERIFY(mPlayer->streamRunning());
    QCOMPARE(portAudioOutputPorts().size(), 2);

    clearLog();
    mOutput.reset();
    QVERIFY(!mPlayer->streamRunning());
    QCOMPARE(loggedCount(QStringLiteral("Closing stream...")), 1);
    QCOMPARE(Pa_GetDeviceCount(), PaDeviceIndex(paNotInitialized));
    QTRY_VERIFY(portAudioOutputPorts().isEmpty());
}

QTEST_GUILESS_MAIN(TestPaAudioOutput)
#include "tst_paaudiooutput.moc"
