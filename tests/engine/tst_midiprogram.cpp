// The built program with and without a MIDI system: it starts, opens the
// stored port with the stored mode and range, and quits on SIGTERM with the
// port silenced and the port and channel saved. Without JACK its audio goes
// to ALSA's null device. It also quits, and saves, when its JACK server has
// died under it.
#include "JackServer.h"
#include "MidiPeer.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <sys/prctl.h>

namespace {

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeAll(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QByteArray message(std::initializer_list<int> values)
{
    QByteArray out;
    for (int v : values)
        out.append(char(v));
    return out;
}

QList<QByteArray> rpn(int cents)
{
    QList<QByteArray> out;
    for (int c = 0; c < 16; ++c) {
        for (const auto& [number, value] : { std::pair { 100, 0 }, { 101, 0 }, { 6, cents / 100 }, { 38, cents % 100 },
                                             { 100, 127 }, { 101, 127 } })
            out << message({ 0xB0 | c, number, value });
    }
    return out;
}

} // namespace

class TestMidiProgram : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        const QString missing = JackServer::missingTool({ "jackd", "jack_lsp" });
        if (!missing.isEmpty())
            QSKIP(qPrintable(missing + " not installed: these tests need the jackd2 package (scripts/setup.sh installs it)"));
    }

    void startsAndQuits_data()
    {
        QTest::addColumn<bool>("jack");
        QTest::addColumn<bool>("serverDies");
        QTest::newRow("no MIDI system") << false << false;
        QTest::newRow("a JACK server with a MIDI peer") << true << false;
        QTest::newRow("the JACK server dies under the program") << true << true;
    }

    void startsAndQuits()
    {
        QFETCH(bool, jack);
        QFETCH(bool, serverDies);
        QTemporaryDir home;
        QVERIFY(home.isValid());
        const QString config = home.filePath("data/Drovane Tuning Wendle");
        QVERIFY(QDir().mkpath(config));
        // ALSA's null device plays wherever no JACK server is.
        QVERIFY(writeAll(home.filePath(".asoundrc"), "pcm.!default {\n    type null\n}\n"));

        std::unique_ptr<JackServer> server;
        std::unique_ptr<MidiPeer> peer;
        if (jack) {
            // Every message is compared: cycles wait for a late client.
            server = std::make_unique<JackServer>(JackServer::uniqueName("wendle-midi-program"), 48000, 256,
                                                  JackServer::LateClients::Wait);
            QVERIFY2(server->isRunning(), qPrintable(server->error()));
            peer = std::make_unique<MidiPeer>(JackServer::uniqueName("wendle-synth"));
            QVERIFY2(peer->isReady(), qPrintable(peer->error()));
        } else {
            JackServer::use(JackServer::uniqueName("wendle-no-server"));
        }
        const QString port = peer ? peer->port() : QStringLiteral("a synth that is not there");
        // Channel -1 is MPE; its range is the gliss range plus 50 cents.
        const QJsonObject options { { "midiOutDevice", port }, { "midiOutChannel", -1 }, { "glissRangeMPECents", 150 },
                                    { "updateCheckInterval", 4 } };
        QVERIFY(writeAll(config + "/options.json", QJsonDocument(options).toJson()));

        // Ended with SIGTERM whatever happens: a program killed under its
        // JACK server makes that server leave its slot behind.
        QProcess program;
        const auto end = qScopeGuard([&program] {
            if (program.state() != QProcess::NotRunning) {
                ::kill(pid_t(program.processId()), SIGTERM);
                program.waitForFinished(30000);
            }
        });
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("HOME", home.path());
        env.insert("XDG_DATA_HOME", home.filePath("data"));
        env.insert("QT_QPA_PLATFORM", "offscreen");
        program.setProcessEnvironment(env);
        program.setProcessChannelMode(QProcess::MergedChannels);
        program.setStandardOutputFile(home.filePath("program.out"));
        // A test that dies takes it along, with SIGTERM too.
        program.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
        program.start(QStringLiteral(WENDLE_PROGRAM), QStringList());
        QVERIFY(program.waitForStarted(10000));

        // The fallback's warning is logged once the event loop runs.
        const auto log = [&] { return QString::fromLocal8Bit(readAll(config + "/log.txt")); };
        QElapsedTimer clock;
        clock.start();
        while (!log().contains("MIDI output on JACK") && program.state() == QProcess::Running && clock.elapsed() < 60000)
            program.waitForFinished(100);
        QVERIFY2(log().contains("MIDI output on JACK"), qPrintable(log() + readAll(home.filePath("program.out"))));
        if (jack) {
            // Channel mode first, then MPE at the start range, then the stored range.
            const QList<QByteArray> expected = QList<QByteArray> { message({ 0xB0, 123, 0 }) } + rpn(50) + rpn(200);
            const QList<QByteArray> heard = peer->collect(int(expected.size()), 20000);
            if (heard != expected)
                qInfo().noquote() << peer->account();
            QCOMPARE(MidiPeer::hex(heard), MidiPeer::hex(expected));
        }

        if (serverDies) {
            peer.reset();
            server.reset();
        }

        ::kill(pid_t(program.processId()), SIGTERM);
        QVERIFY(program.waitForFinished(30000));
        QVERIFY2(program.exitStatus() == QProcess::NormalExit && program.exitCode() == 0,
                 qPrintable(log().right(600) + readAll(home.filePath("program.out")).right(600)));
        if (serverDies) {
            // Detaching PortAudio's or RtMidi's client from the dead server
            // would have crashed the program before it saved its options.
            QVERIFY2(log().contains("PortAudio is left as it is: its JACK server is gone")
                         && log().contains("MIDI output: the JACK server has gone; its port is left as it is"),
                     qPrintable(log().right(600)));
        } else {
            // One line about MIDI in the whole log: the API in use.
            const QStringList midiLines = log().split('\n').filter(QRegularExpression("MIDI|Midi"));
            QVERIFY2(midiLines.size() == 1 && midiLines[0].contains("MIDI output on JACK"), qPrintable(log()));
        }
        if (jack && !serverDies) {
            QList<QByteArray> silence;
            for (int c = 0; c < 16; ++c)
                silence << message({ 0xB0 | c, 123, 0 });
            for (int c = 0; c < 16; ++c)
                silence << message({ 0xE0 | c, 0, 64 });
            // The program has ended: once its silencing has come and the peer
            // has run on, nothing more can come.
            QList<QByteArray> heard = peer->collect(int(silence.size()) + 96, 20000);
            QVERIFY2(peer->waitCycles(), qPrintable(peer->account()));
            heard += peer->take();
            if (heard != silence + rpn(200))
                qInfo().noquote() << peer->account();
            QCOMPARE(MidiPeer::hex(heard), MidiPeer::hex(silence + rpn(200)));
            const QStringList problems = peer->takeProblems();
            QVERIFY2(problems.isEmpty(), qPrintable(problems.join('\n')));
        }
        const QJsonObject saved = QJsonDocument::fromJson(readAll(config + "/options.json")).object();
        QCOMPARE(saved.value("midiOutDevice").toString(), jack ? port : QStringLiteral("- deactivated -"));
        QCOMPARE(saved.value("midiOutChannel").toInt(), -1);
    }
};

QTEST_GUILESS_MAIN(TestMidiProgram)
#include "tst_midiprogram.moc"
