// The MIDI output against JACK servers of the test's own, one at a time: a
// server with a long period, where a port closed too early loses its
// silencing, a server that dies under an open port, and the output's watch
// client, which must leave the server with the last port.
#include "Interface.h"
#include "JackServer.h"
#include "MidiOutRtMidi.h"
#include "MidiPeer.h"
#include "SynthModel.h"
#include "WarningCatcher.h"

#include <QElapsedTimer>
#include <QLoggingCategory>
#include <QtTest>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <thread>

// The JACK servers are started from a process that already runs threads.
extern "C" const char* __tsan_default_options()
{
    return "die_after_fork=0";
}

class TestMidiServer : public QObject
{
    Q_OBJECT

    static void play(Interface& iface, int parameter, int voice, float frequency)
    {
        const float velocity = 1.0f;
        iface.receiveInstructions(parameter, &voice, &frequency, &velocity, 1);
    }

private slots:
    void initTestCase()
    {
        const QString missing = JackServer::missingTool({ "jackd", "jack_lsp" });
        if (!missing.isEmpty())
            QSKIP(qPrintable(missing + " not installed: these tests need the jackd2 package (scripts/setup.sh installs it)"));
        QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
    }

    // One JACK period at 1024 frames is 21.3 ms: a port closed after a fixed
    // spell of about that loses its last messages now and then. Each close
    // here must leave the note off and the key back at the synth.
    void closedPortLeavesNoNote()
    {
        JackServer server(JackServer::uniqueName("wendle-midi-1024"), 48000, 1024, JackServer::LateClients::Wait);
        QVERIFY2(server.isRunning(), qPrintable(server.error()));
        // A synth slow to read: a port taken away within the cycle that
        // carries its last messages loses them.
        MidiPeer peer(JackServer::uniqueName("wendle-synth"), 1 << 20, 5000);
        QVERIFY2(peer.isReady(), qPrintable(peer.error()));
        Interface iface(new MidiOutRtMidi(MidiOutRtMidi::Api::Jack));
        MidiOutput& out = *iface.midiOutput();
        for (int i = 0; i < 80; ++i) {
            QVERIFY(out.openPortByName(peer.port()));
            play(iface, 1, 0, 440.0f);
            QVERIFY(!out.openPort(-1));
            // The port is gone: what it delivered has come two cycles on.
            QVERIFY2(peer.waitCycles(), qPrintable(peer.account()));
            const MidiPeer::Messages heard = peer.take();
            SynthModel synth;
            synth.feed(heard);
            QVERIFY2(heard.size() == 4 && synth.sounding().isEmpty() && synth.retunedKeys().isEmpty(),
                     qPrintable(QStringLiteral("close %1: %2; %3").arg(i).arg(MidiPeer::hex(heard), peer.account())));
        }
        const QStringList problems = peer.takeProblems();
        QVERIFY2(problems.isEmpty(), qPrintable(problems.join('\n')));
    }

    void watchGoesWithThePort_data()
    {
        QTest::addColumn<bool>("restarted");
        QTest::newRow("server gone") << false;
        QTest::newRow("server restarted") << true;
    }

    // The watch client, without ports of its own, goes with the last port
    // and comes back with the next: a patchbay would show it as a stray.
    // A server that dies meanwhile, or is started again under the same name,
    // is found gone when the next port asks for the watch, and its dead
    // clients are left alone from then on.
    void watchGoesWithThePort()
    {
        QFETCH(bool, restarted);
        const QString name = JackServer::uniqueName("wendle-midi-watch");
        auto server = std::make_unique<JackServer>(name, 48000, 256, JackServer::LateClients::Wait);
        QVERIFY2(server->isRunning(), qPrintable(server->error()));
        auto peer = std::make_unique<MidiPeer>(JackServer::uniqueName("wendle-synth"));
        QVERIFY2(peer->isReady(), qPrintable(peer->error()));
        MidiOutRtMidi out(MidiOutRtMidi::Api::Jack);
        out.init();
        const QString watch = QStringLiteral("wendle-watch");
        for (int i = 0; i < 2; ++i) {
            QVERIFY(out.openPortByName(peer->port()));
            QVERIFY2(peer->knowsClient(watch), qPrintable(QStringLiteral("port %1 open").arg(i)));
            QVERIFY(!out.openPort(-1));
            QVERIFY2(!peer->knowsClient(watch), qPrintable(QStringLiteral("port %1 closed").arg(i)));
        }
        peer.reset();
        server.reset();
        WarningCatcher catcher;
        if (restarted) {
            server = std::make_unique<JackServer>(name, 48000, 256, JackServer::LateClients::Wait);
            QVERIFY2(server->isRunning(), qPrintable(server->error()));
            peer = std::make_unique<MidiPeer>(JackServer::uniqueName("wendle-synth"));
            QVERIFY2(peer->isReady(), qPrintable(peer->error()));
            QVERIFY(!out.openPortByName(peer->port()));
        } else {
            QVERIFY(!out.openPort(0));
        }
        out.term();
        QVERIFY2(catcher.warnings().filter("JACK server has gone").size() == 1,
                 qPrintable(catcher.warnings().join('\n')));
    }

    // Port, channel, mode and range changes after the server died under an
    // open port each return at once, and so does term: RtMidi's send would
    // spin for good on a ring that no cycle empties any more.
    void changesAfterTheServerDied()
    {
        auto server = std::make_unique<JackServer>(JackServer::uniqueName("wendle-midi-dies"), 48000, 256,
                                                   JackServer::LateClients::Wait);
        QVERIFY2(server->isRunning(), qPrintable(server->error()));
        auto peer = std::make_unique<MidiPeer>(JackServer::uniqueName("wendle-synth"));
        QVERIFY2(peer->isReady(), qPrintable(peer->error()));
        const QString port = peer->port();
        auto iface = std::make_unique<Interface>(new MidiOutRtMidi(MidiOutRtMidi::Api::Jack));
        MidiOutput& out = *iface->midiOutput();
        QVERIFY(out.openPortByName(port));
        QVERIFY(out.setMidiChannel(-1));
        for (int v = 0; v < 4; ++v)
            play(*iface, 1, v, 220.0f * float(v + 1));
        QVERIFY(out.setPitchBendRange(300));
        // Until the fourth voice's note on has come: the synth is playing.
        QVERIFY2(peer->waitFor([](const MidiPeer::Messages& m) {
            return std::any_of(m.begin(), m.end(), [](const QByteArray& b) { return quint8(b[0]) == 0x93; });
        }),
                 qPrintable(peer->account()));
        peer.reset();
        server.reset();

        // A change that hangs would hang the test: this ends it instead.
        std::atomic<int> step { 0 };
        std::atomic<bool> finished { false };
        std::thread watchdog([&] {
            int seen = -1;
            auto since = std::chrono::steady_clock::now();
            while (!finished.load()) {
                if (step.load() != seen) {
                    seen = step.load();
                    since = std::chrono::steady_clock::now();
                } else if (std::chrono::steady_clock::now() - since > std::chrono::seconds(20)) {
                    std::fprintf(stderr, "FAIL: change %d after the server died has not returned in 20 s\n", seen);
                    std::_Exit(1);
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
        });
        WarningCatcher catcher;
        // Channel, mode and range changes first: each sends its silencing
        // and range, and twenty of them fill RtMidi's ring.
        const std::function<void()> changes[] = {
            [&] { out.setMidiChannel(0); },
            [&] { out.setMidiChannel(-1); },
            [&] { out.setPitchBendRange(500); },
            [&] { out.setPitchBendRange(300); },
        };
        QStringList slow;
        for (int i = 0; i < 40; ++i) {
            QElapsedTimer clock;
            clock.start();
            if (i < 32)
                changes[i % std::size(changes)]();
            else if (i % 2 == 0)
                out.openPortByName(port);
            else
                out.openPort(0);
            play(*iface, 1, i % 8, 330.0f);
            if (clock.elapsed() >= 1000)
                slow << QStringLiteral("change %1: %2 ms").arg(i).arg(clock.elapsed());
            step.store(i + 1);
        }
        QElapsedTimer clock;
        clock.start();
        out.term();
        if (clock.elapsed() >= 1000)
            slow << QStringLiteral("term: %1 ms").arg(clock.elapsed());
        finished.store(true);
        watchdog.join();
        QVERIFY2(slow.isEmpty(), qPrintable(slow.join("; ")));
        QVERIFY(!out.portOpen());
        // Told by JACK itself, not guessed from cycles that stopped.
        QVERIFY2(catcher.warnings().filter("JACK server has gone").size() == 1
                     && catcher.warnings().filter("runs no cycles").isEmpty(),
                 qPrintable(catcher.warnings().join('\n')));
    }
};

QTEST_GUILESS_MAIN(TestMidiServer)
#include "tst_midiserver.moc"
