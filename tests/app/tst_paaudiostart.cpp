// Start-up's audio step against a JACK server that stops answering while the
// stream is being opened: start-up must end with its message instead of
// waiting for the server.
#include "JackServer.h"
#include "TuningWendleApplication.h"
#include "WindowRig.h"

#include <QFile>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QByteArray bytesOf(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

} // namespace

// main() below makes the application with the flag "-PaAudioOutput", so
// that the audio output's messages reach the diagnostics signal as they are logged.
class TestAudioStart : public QObject
{
    Q_OBJECT

    TuningWendleApplication* app() { return TuningWendleApplication::instance(); }

private slots:
    void initTestCase()
    {
        const QString missing = JackServer::missingTool({ "jackd", "jack_lsp" });
        if (!missing.isEmpty())
            QSKIP(qPrintable(missing + " not installed: this test needs the jackd2 package (scripts/setup.sh installs it)"));
    }

    void streamOpenPastItsDeadlineEndsStartUp()
    {
        JackServer server(JackServer::uniqueName("wendle-audio-start"));
        QVERIFY2(server.isRunning(), qPrintable(server.error()));
        const QString config = TuningWendleApplication::configDir();
        QVERIFY(QDir().mkpath(config));
        const QByteArray options = R"({"updateCheckInterval": 4, "masterVolume": 0.5})";
        QFile file(config + "/options.json");
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(options) == options.size());
        file.close();

        // The server stops right before the stream is opened.
        bool suspended = false;
        const QMetaObject::Connection watch = connect(app(), &TuningWendleApplication::diagnosticMessage, this, [&](const QString& message) {
            if (!suspended && message.contains("Initialising libpd with sampleRate"))
                suspended = server.suspend();
        }, Qt::DirectConnection);
        const auto unwatch = qScopeGuard([&watch] { disconnect(watch); });
        ModalAnswerer modals;
        modals.answers << "ok";

        QVERIFY(!app()->start());
        const QString log = QString::fromUtf8(bytesOf(config + "/log.txt"));
        QVERIFY2(suspended, qPrintable(log.right(2000)));
        QCOMPARE(modals.seen, QStringList { QStringLiteral("%1|Initialisation of audio device failed. This means no audio playback "
                                                           "will be possible.\n\nThe program will now shut down.")
                                                .arg(TuningWendleApplication::Name) });
        QVERIFY2(log.contains(QStringLiteral("Pa_OpenStream did not return within %1 ms").arg(PaAudioOutput::OpenDeadlineMs))
                     && log.contains("PortAudio is left as it is: a stream open never returned"),
                 qPrintable(log.right(2000)));
        QCOMPARE(bytesOf(config + "/options.json"), options);
        // The open that was left behind returns once the server runs again;
        // the server must outlive it.
        QVERIFY(server.resume());
        QTRY_VERIFY_WITH_TIMEOUT(PaAudioOutput::opensUnderWay() == 0, 60000);
    }
};

int main(int argc, char** argv)
{
    QTemporaryDir home;
    qputenv("XDG_DATA_HOME", home.path().toUtf8());
    QCoreApplication::setApplicationName(TuningWendleApplication::Name);
    char flag[] = "-PaAudioOutput";
    char* args[] = { argv[0], flag, nullptr };
    int count = 2;
    TuningWendleApplication app(count, args);
    TestAudioStart test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_paaudiostart.moc"
