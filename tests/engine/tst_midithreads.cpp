// The MIDI output between its threads: an audio thread starts, stops and
// glides voices while this (the GUI) thread switches port, mode and range,
// and the output's sender thread sends. Built with ThreadSanitizer too.
#include "Interface.h"
#include "JackServer.h"
#include "MidiOutRtMidi.h"
#include "MidiPeer.h"
#include "SynthModel.h"

#include <QLoggingCategory>
#include <QScopeGuard>
#include <QtTest>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <random>
#include <thread>

// The JACK server is started from a process that already runs threads
// (QtTest's watchdog, libjack's); the child only runs a shell that starts it.
extern "C" const char* __tsan_default_options()
{
    return "die_after_fork=0";
}

class TestMidiThreads : public QObject
{
    Q_OBJECT

    std::unique_ptr<JackServer> mServer;
    std::array<std::unique_ptr<MidiPeer>, 2> mPeers;

private slots:
    void initTestCase()
    {
        // A thousand changes log several thousand lines.
        QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
        const QString missing = JackServer::missingTool({ "jackd", "jack_lsp" });
        if (!missing.isEmpty())
            QSKIP(qPrintable(missing + " not installed: these tests need the jackd2 package (scripts/setup.sh installs it)"));
        // A lost note off would be a hanging note: cycles wait for a late client.
        mServer = std::make_unique<JackServer>(JackServer::uniqueName("wendle-midi-threads"), 48000, 256,
                                               JackServer::LateClients::Wait);
        QVERIFY2(mServer->isRunning(), qPrintable(mServer->error()));
        for (auto& peer : mPeers) {
            peer = std::make_unique<MidiPeer>(JackServer::uniqueName("wendle-peer"));
            QVERIFY2(peer->isReady(), qPrintable(peer->error()));
        }
    }

    void cleanupTestCase()
    {
        for (auto& peer : mPeers)
            peer.reset();
        mServer.reset();
    }

    void changesBesideSoundingVoices()
    {
        Interface iface(new MidiOutRtMidi(MidiOutRtMidi::Api::Jack));
        MidiOutput* out = iface.midiOutput();
        QVERIFY(out->openPortByName(mPeers[0]->port()));
        std::array<SynthModel, 2> synths;
        const auto listen = [&] {
            for (size_t p = 0; p < 2; ++p)
                synths[p].feed(mPeers[p]->take());
        };

        std::atomic<bool> done { false };
        std::atomic<int> instructions { 0 };
        std::thread audio([&] {
            constexpr int Voices = 24;
            std::mt19937 random(7);
            std::array<bool, Voices> sounding {};
            int voices[Voices];
            float freqs[Voices];
            float velocities[Voices];
            std::fill(std::begin(velocities), std::end(velocities), 0.7f);
            const auto pitch = [&] { return float(110.0 * std::pow(2.0, double(random() % 4800) / 1200.0)); };
            while (!done.load(std::memory_order_acquire)) {
                const int v = int(random() % Voices);
                if (random() % 8 == 0) {
                    int n = 0;
                    for (int i = 0; i < Voices; ++i) {
                        if (sounding[size_t(i)]) {
                            voices[n] = i;
                            freqs[n++] = pitch();
                        }
                    }
                    iface.receiveInstructions(2, voices, freqs, velocities, n);
                } else {
                    const float f = pitch();
                    iface.receiveInstructions(sounding[size_t(v)] ? -1 : 1, &v, &f, velocities, 1);
                    sounding[size_t(v)] = !sounding[size_t(v)];
                }
                instructions.fetch_add(1, std::memory_order_relaxed);
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            for (int v = 0; v < Voices; ++v) {
                if (sounding[size_t(v)])
                    iface.receiveInstructions(-1, &v, freqs, velocities, 1);
            }
        });

        // A failed check returns early: the audio thread must end all the same.
        const auto joined = qScopeGuard([&] {
            done.store(true, std::memory_order_release);
            if (audio.joinable())
                audio.join();
        });

        std::mt19937 random(11);
        const int channels[] = { 3, -1, 0, 15, -1, 7 };
        size_t port = 0;
        for (int i = 0; i < 1000; ++i) {
            switch (i % 4) {
            case 0:
                port = 1 - port;
                QVERIFY(out->openPortByName(mPeers[port]->port()));
                break;
            case 1:
                QVERIFY(out->setMidiChannel(channels[size_t(i / 4) % std::size(channels)]));
                break;
            case 2:
                QVERIFY(out->setPitchBendRange(50 + int(random() % 1200)));
                break;
            default:
                QVERIFY(out->setMidiChannel(out->midiChannel() == -1 ? 2 : -1));
                break;
            }
            listen();
            if (!mServer->isAlive())
                QFAIL(qPrintable("jackd ended: " + mServer->output()));
        }
        done.store(true, std::memory_order_release);
        audio.join();
        QVERIFY2(instructions.load() > 1000, qPrintable(QString::number(instructions.load())));

        // Every voice has stopped: no note may sound on either port. A range
        // change first sends what is queued (here the last note offs), and a
        // port left before had its last messages taken before it closed.
        QVERIFY(out->setPitchBendRange(out->pitchBendRange()));
        for (size_t p = 0; p < 2; ++p) {
            QVERIFY2(mPeers[p]->waitCycles(), qPrintable(mPeers[p]->account()));
            synths[p].feed(mPeers[p]->take());
            // A cycle the server gave up on loses what it carried: told beside a failure.
            QVERIFY2(synths[p].sounding().isEmpty(),
                     qPrintable(synths[p].sounding().join(' ') + "; " + mPeers[p]->account()
                                + "; jackd: " + mServer->output().right(600)));
            const QStringList problems = mPeers[p]->takeProblems();
            QVERIFY2(problems.isEmpty(), qPrintable(problems.join('\n') + "; " + mPeers[p]->account()));
        }
        out->term();
    }

    // The sender sleeps until the audio thread wakes it: a note queued after
    // a long quiet spell still goes out, and so does the next.
    void senderWakesAfterIdle()
    {
        Interface iface(new MidiOutRtMidi(MidiOutRtMidi::Api::Jack));
        MidiOutput* out = iface.midiOutput();
        QVERIFY(out->openPortByName(mPeers[0]->port()));
        QVERIFY(mPeers[0]->waitConnected());
        mPeers[0]->take();
        const auto startFromAudioThread = [&iface](int voice) {
            std::thread audio([&iface, voice] {
                const float f = 440.0f, velocity = 1.0f;
                iface.receiveInstructions(1, &voice, &f, &velocity, 1);
            });
            audio.join();
        };
        for (int voice = 0; voice < 3; ++voice) {
            // Long enough for the sender to have gone to sleep.
            std::this_thread::sleep_for(std::chrono::milliseconds(voice == 0 ? 1500 : 300));
            startFromAudioThread(voice);
            const QByteArray noteOn { "\x90", 1 };
            const QByteArray key(1, char(32 + voice));
            QVERIFY2(mPeers[0]->waitFor([&](const MidiPeer::Messages& m) {
                return std::any_of(m.begin(), m.end(), [&](const QByteArray& b) { return b.startsWith(noteOn + key); });
            }),
                     qPrintable(QStringLiteral("voice %1: ").arg(voice) + mPeers[0]->account()));
            mPeers[0]->take();
        }
        out->term();
        QVERIFY(mPeers[0]->waitCycles());
        mPeers[0]->take();
    }
};

QTEST_GUILESS_MAIN(TestMidiThreads)
#include "tst_midithreads.moc"
