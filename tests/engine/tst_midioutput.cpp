// The MIDI output against a real peer: a private JACK server and a MIDI peer
// of the test's own on it. Expected bytes come from the frequency math here.
#include "EngineCommandType.h"
#include "EngineRig.h"
#include "Interface.h"
#include "JackServer.h"
#include "MidiOutRtMidi.h"
#include "MidiPeer.h"
#include "PdPlayer.h"
#include "SynthModel.h"
#include "WarningCatcher.h"

#include <QFile>
#include <QScopeGuard>
#include <QtTest>

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>

namespace {

using Messages = QList<QByteArray>;
const float NaN = std::numeric_limits<float>::quiet_NaN();
const float Inf = std::numeric_limits<float>::infinity();

double noteOf(float f)
{
    return 12.0 * std::log2(double(f) / 440.0) + 69.0;
}

float frequencyOf(double note)
{
    return float(440.0 * std::pow(2.0, (note - 69.0) / 12.0));
}

QByteArray bytes(std::initializer_list<int> values)
{
    QByteArray out;
    for (int v : values)
        out.append(char(v));
    return out;
}

// Key 32 + voice, the semitone and round(fraction × 16384) split 7/7, carried.
QByteArray mtsGroup(int voice, float f)
{
    const double m = noteOf(f);
    if (m < 0.0)
        return bytes({ 32 + voice, 0, 0, 0 });
    int semitone = int(std::floor(m));
    long fraction = std::lround((m - semitone) * 16384.0);
    if (fraction == 16384) {
        ++semitone;
        fraction = 0;
    }
    if (m >= 128.0 || semitone > 127)
        return bytes({ 32 + voice, 127, 127, 127 });
    return bytes({ 32 + voice, semitone, int(fraction >> 7), int(fraction & 127) });
}

QByteArray mts(const QList<int>& voices, const QList<float>& freqs)
{
    QByteArray m = bytes({ 0xF0, 0x7F, 0x7F, 0x08, 0x02, 0x00, int(voices.size()) });
    for (qsizetype i = 0; i < voices.size(); ++i)
        m += mtsGroup(voices[i], freqs[i]);
    return m + bytes({ 0xF7 });
}

QByteArray mtsReset(const QList<int>& keys)
{
    QByteArray m = bytes({ 0xF0, 0x7F, 0x7F, 0x08, 0x02, 0x00, int(keys.size()) });
    for (int k : keys)
        m += bytes({ k, k, 0, 0 });
    return m + bytes({ 0xF7 });
}

QByteArray noteOn(int channel, int key, int velocity = 127) { return bytes({ 0x90 | channel, key, velocity }); }
QByteArray noteOff(int channel, int key) { return bytes({ 0x80 | channel, key, 64 }); }
QByteArray notesOff(int channel) { return bytes({ 0xB0 | channel, 123, 0 }); }

// round(8192 × (1 + cents / R)), clamped to 14 bits.
QByteArray bend(int channel, double cents, int range)
{
    const long v = std::clamp(std::lround(8192.0 * (1.0 + cents / range)), 0L, 16383L);
    return bytes({ 0xE0 | channel, int(v & 127), int(v >> 7) });
}

// The bend of a freshly allocated channel: the note's own offset.
QByteArray allocation(int channel, float f, int range)
{
    return bend(channel, (noteOf(f) - std::lround(noteOf(f))) * 100.0, range);
}

Messages rpn(int cents)
{
    Messages out;
    for (int c = 0; c < 16; ++c) {
        for (const auto& [number, value] : { std::pair { 100, 0 }, { 101, 0 }, { 6, cents / 100 }, { 38, cents % 100 },
                                             { 100, 127 }, { 101, 127 } })
            out << bytes({ 0xB0 | c, number, value });
    }
    return out;
}

// What leaving MPE sends before the range goes back to 200 cents.
Messages mpeSilence()
{
    Messages out;
    for (int c = 0; c < 16; ++c)
        out << notesOff(c);
    for (int c = 0; c < 16; ++c)
        out << bytes({ 0xE0 | c, 0, 64 });
    return out + rpn(200);
}

struct Step
{
    enum Kind { Play, Channel, Range, Rpn, OpenIndex } kind = Play;
    int value = 0; // the instruction's parameter, or the setter's argument
    QList<int> voices;
    QList<float> freqs;
    float velocity = 1.0f;
    bool accepted = true;
};

Step play(int parameter, const QList<int>& voices, const QList<float>& freqs, float velocity = 1.0f)
{
    return Step { Step::Play, parameter, voices, freqs, velocity };
}
Step start(int voice, float f, float velocity = 1.0f) { return play(1, { voice }, { f }, velocity); }
Step glide(const QList<int>& voices, const QList<float>& freqs) { return play(2, voices, freqs, -1.0f); }
Step stop(int voice) { return play(-1, { voice }, { -1.0f }, -1.0f); }
Step setter(Step::Kind kind, int value, bool accepted = true) { return Step { kind, value, {}, {}, 0.0f, accepted }; }

// Counts the instructions that reach the Interface, by the engine's signal or by a sink call alike.
class CountingInterface : public Interface
{
public:
    using Interface::Interface;
    using Interface::receiveInstructions;
    void receiveInstructions(int parameter, const int* voices, const float* value1, const float* value2,
                             int count) override
    {
        ++received;
        Interface::receiveInstructions(parameter, voices, value1, value2, count);
    }
    int received = 0;
};

} // namespace

Q_DECLARE_METATYPE(Step)

// A failed comparison ends the test function, not only the helper.
#define EXPECT_HEARD(...)                                                                                              \
    do {                                                                                                               \
        expectHeard(__VA_ARGS__);                                                                                      \
        if (QTest::currentTestFailed())                                                                                \
            return;                                                                                                    \
    } while (false)

class TestMidiOutput : public QObject
{
    Q_OBJECT

    std::unique_ptr<JackServer> mServer;
    std::unique_ptr<MidiPeer> mPeer;
    std::unique_ptr<MidiPeer> mOther;

    static MidiOutRtMidi* jackOutput() { return new MidiOutRtMidi(MidiOutRtMidi::Api::Jack); }

    static void apply(Interface& iface, const Step& s)
    {
        MidiOutput* out = iface.midiOutput();
        switch (s.kind) {
        case Step::Play: {
            const QList<float> velocities(s.voices.size(), s.velocity);
            iface.receiveInstructions(s.value, s.voices.constData(), s.freqs.constData(), velocities.constData(),
                                      int(s.voices.size()));
            break;
        }
        case Step::Channel:
            QCOMPARE(out->setMidiChannel(s.value), s.accepted);
            break;
        case Step::Range:
            QCOMPARE(out->setPitchBendRange(s.value), s.accepted);
            break;
        case Step::Rpn:
            out->sendPitchBendRangeRpn(s.value);
            break;
        case Step::OpenIndex:
            QCOMPARE(out->openPort(s.value), s.accepted);
            break;
        }
    }

    // Waits for `expected` on `peer` and nothing more. On the open port a bend
    // reset sent after them closes the comparison: a call on the GUI side
    // sends what is queued first. A port closed since gets nothing after its
    // silencing.
    static void expectHeard(MidiOutput& out, MidiPeer& peer, const Messages& expected)
    {
        const auto explain = qScopeGuard([&peer] {
            if (QTest::currentTestFailed())
                qInfo().noquote() << peer.account();
        });
        if (out.portOpen() && out.portName() == peer.port()) {
            out.resetPitchBend(15);
            const QByteArray fence = bytes({ 0xEF, 0, 64 });
            const Messages heard = peer.collectUntil(fence, int(expected.count(fence)) + 1);
            QCOMPARE(MidiPeer::hex(heard), MidiPeer::hex(expected + Messages { fence }));
        } else {
            QCOMPARE(MidiPeer::hex(peer.collect(int(expected.size()))), MidiPeer::hex(expected));
        }
        const QStringList problems = peer.takeProblems();
        QVERIFY2(problems.isEmpty(), qPrintable(problems.join('\n')));
    }

    // What an output closed before left on its way: its port was closed after
    // a cycle had taken its last messages.
    static void settle(MidiPeer& peer)
    {
        QVERIFY2(peer.waitCycles(), qPrintable(peer.account()));
        peer.take();
    }

    // JACK takes a new connection into its graph at a cycle's start: what the
    // output sends before goes nowhere.
    static void waitConnected(MidiPeer& peer) { QVERIFY2(peer.waitConnected(), qPrintable(peer.account())); }

private slots:
    void initTestCase()
    {
        const QString missing = JackServer::missingTool({ "jackd", "jack_lsp" });
        if (!missing.isEmpty())
            QSKIP(qPrintable(missing + " not installed: these tests need the jackd2 package (scripts/setup.sh installs it)"));
        QVERIFY(PdPlayer::initLibpd());
        // Every message is compared: a cycle waits for a client the busy
        // machine is late to run, rather than lose what was sent to it.
        mServer = std::make_unique<JackServer>(JackServer::uniqueName("wendle-midi"), 48000, 256,
                                               JackServer::LateClients::Wait);
        QVERIFY2(mServer->isRunning(), qPrintable(mServer->error()));
        mPeer = std::make_unique<MidiPeer>(JackServer::uniqueName("wendle-peer"));
        mOther = std::make_unique<MidiPeer>(JackServer::uniqueName("wendle-other"));
        QVERIFY2(mPeer->isReady() && mOther->isReady(), qPrintable(mPeer->error() + ' ' + mOther->error()));

        // The test's own math against the known cases.
        QCOMPARE(mtsGroup(0, 440.0f), bytes({ 32, 69, 0, 0 }));
        QCOMPARE(mtsGroup(0, frequencyOf(69.5)), bytes({ 32, 69, 64, 0 }));
        QCOMPARE(bend(0, 0.0, 200), bytes({ 0xE0, 0, 64 }));
        QCOMPARE(bend(0, 150.0, 200), bytes({ 0xE0, 0, 112 }));
        QCOMPARE(rpn(250).mid(2, 2), Messages({ bytes({ 0xB0, 6, 2 }), bytes({ 0xB0, 38, 50 }) }));
    }

    // What jackd said, beside a failure: a client it gave up on, a late cycle.
    void cleanup()
    {
        if (QTest::currentTestFailed())
            qInfo().noquote() << "jackd:" << mServer->output().right(1500);
    }

    void cleanupTestCase()
    {
        mOther.reset();
        mPeer.reset();
        mServer.reset();
    }

    void messages_data()
    {
        QTest::addColumn<int>("channel");
        QTest::addColumn<int>("range");
        QTest::addColumn<QList<Step>>("steps");
        QTest::addColumn<Messages>("expected");
        QTest::addColumn<int>("warnings");
        const auto row = [](const char* name, int channel, int range, const QList<Step>& steps, const Messages& expected,
                            int warnings = 0) { QTest::newRow(name) << channel << range << steps << expected << warnings; };

        const float a = 440.0f;
        const float up = frequencyOf(60.0 + 16383.7 / 16384.0), below128 = frequencyOf(127.99),
                    carried = frequencyOf(128.0 - 0.3 / 16384.0), above = frequencyOf(128.01), under = frequencyOf(-0.5);
        row("MTS: 440 Hz on voice 0", 0, 200, { start(0, a) }, { mts({ 0 }, { a }), noteOn(0, 32) });
        row("MTS: m = 69.5", 0, 200, { start(3, frequencyOf(69.5)) }, { mts({ 3 }, { frequencyOf(69.5) }), noteOn(0, 35) });
        row("MTS: a fraction that rounds up to the next semitone", 0, 200, { start(1, up) },
            { mts({ 1 }, { up }), noteOn(0, 33) });
        row("MTS: just below key 128", 0, 200, { start(2, below128) }, { mts({ 2 }, { below128 }), noteOn(0, 34) });
        row("MTS: rounds up past key 127", 0, 200, { start(2, carried) }, { mts({ 2 }, { carried }), noteOn(0, 34) });
        row("MTS: above key 128", 0, 200, { start(2, above) }, { mts({ 2 }, { above }), noteOn(0, 34) }, 1);
        row("MTS: below key 0", 0, 200, { start(2, under) }, { mts({ 2 }, { under }), noteOn(0, 34) }, 1);
        const QList<float> three { a, frequencyOf(72.25), frequencyOf(64.9) };
        row("MTS: several voices in one start", 0, 200, { play(1, { 3, 5, 7 }, three) },
            { mts({ 3, 5, 7 }, three), noteOn(0, 35) });
        row("MTS: a gliss step retunes only", 0, 200, { glide({ 0, 1 }, { a, up }) }, { mts({ 0, 1 }, { a, up }) });
        row("MTS: note off", 0, 200, { stop(4) }, { noteOff(0, 36) });
        row("MTS: channel 5", 5, 200, { start(1, a), stop(1) }, { mts({ 1 }, { a }), noteOn(5, 33), noteOff(5, 33) });
        // Worked out by hand: 445 Hz is 19.56 cents above key 69, 3205/16384 of a semitone.
        row("MTS: 445 Hz, by hand", 0, 200, { start(0, 445.0f) },
            { bytes({ 0xF0, 0x7F, 0x7F, 0x08, 0x02, 0x00, 0x01, 0x20, 0x45, 0x19, 0x05, 0xF7 }), noteOn(0, 32) });
        // 660 Hz is 1.96 cents above key 76, 320/16384 of a semitone.
        row("MTS: 660 Hz, by hand", 0, 200, { start(0, 660.0f) },
            { bytes({ 0xF0, 0x7F, 0x7F, 0x08, 0x02, 0x00, 0x01, 0x20, 0x4C, 0x02, 0x40, 0xF7 }), noteOn(0, 32) });

        row("velocity 0.5 gives 63", 0, 200, { start(0, a, 0.5f) }, { mts({ 0 }, { a }), noteOn(0, 32, 63) });
        row("velocity 1.5 is clamped", 0, 200, { start(0, a, 1.5f) }, { mts({ 0 }, { a }), noteOn(0, 32, 127) });
        row("velocity -0.2 is clamped", 0, 200, { start(0, a, -0.2f) }, { mts({ 0 }, { a }), noteOn(0, 32, 1) });
        row("velocity 0 is no note off", 0, 200, { start(0, a, 0.0f) }, { mts({ 0 }, { a }), noteOn(0, 32, 1) });

        row("MPE: allocation at R 200", -1, 200, { start(4, a) }, { allocation(0, a, 200), noteOn(0, 69) });
        // By hand: voice 0 holds channel 0, so voice 1 gets channel 1; its
        // 1.96 cents of 200 bend to 8192 + 80 = 0x2050.
        row("MPE: 660 Hz on channel 1 at R 200, by hand", -1, 200, { start(0, a), start(1, 660.0f) },
            { bytes({ 0xE0, 0x00, 0x40 }), bytes({ 0x90, 0x45, 0x7F }), bytes({ 0xE1, 0x50, 0x40 }),
              bytes({ 0x91, 0x4C, 0x7F }) });
        const float plus150 = frequencyOf(69 + 1.5), plus250 = frequencyOf(69 + 2.5);
        row("MPE: a retune of +150 cents at R 200", -1, 200, { start(4, a), glide({ 4 }, { plus150 }) },
            { allocation(0, a, 200), noteOn(0, 69), bend(0, 150, 200) });
        row("MPE: a retune beyond the range at R 200", -1, 200, { start(4, a), glide({ 4 }, { plus250 }) },
            { allocation(0, a, 200), noteOn(0, 69), bend(0, 150, 200) });
        const float n693 = frequencyOf(69.3);
        row("MPE: at R 50 the allocation's bend repeats", -1, 50,
            { start(0, n693), glide({ 0 }, { frequencyOf(69.7) }), glide({ 0 }, { frequencyOf(68.9) }) },
            { allocation(0, n693, 50), noteOn(0, 69), allocation(0, n693, 50), allocation(0, n693, 50) });
        // Voice 2 holds channel 1 when channel 0 comes free: its note is bent
        // where it sounds, and the next voice finds channel 0 first.
        const float n71 = frequencyOf(71), n64 = frequencyOf(64);
        row("MPE: a voice is bent on its own channel", -1, 200,
            { start(1, a), start(2, n71), stop(1), glide({ 2 }, { frequencyOf(71.5) }), start(3, n64), stop(2) },
            { allocation(0, a, 200), noteOn(0, 69), allocation(1, n71, 200), noteOn(1, 71), noteOff(0, 69),
              bend(1, (noteOf(frequencyOf(71.5)) - 71) * 100, 200), allocation(0, n64, 200), noteOn(0, 64),
              noteOff(1, 71) });
        // Voice 99 finds no channel; voice 5, later in the same call, is still found on its own.
        QList<Step> sixteen;
        Messages held;
        for (int v = 0; v < 16; ++v) {
            sixteen << start(v, n64);
            held << allocation(v, n64, 200) << noteOn(v, 64);
        }
        row("MPE: a voice without a channel leaves the next search at channel 0", -1, 200,
            sixteen + QList<Step> { glide({ 99, 5 }, { a, frequencyOf(64.5) }) },
            held + Messages { bend(5, 50, 200) }, 1);
        // Told once for each burst of voices that find every channel taken.
        row("MPE: all channels in use, twice", -1, 200,
            sixteen + QList<Step> { start(16, a), start(17, a), stop(3), start(18, a), start(19, a) },
            held + Messages { noteOff(3, 64), allocation(3, a, 200), noteOn(3, 69) }, 2);
        row("MPE: several voices in one start", -1, 200, { play(1, { 1, 2 }, { a, frequencyOf(72) }) },
            { allocation(0, a, 200), allocation(1, frequencyOf(72), 200), noteOn(0, 69) });

        row("RPN for 250 cents", -1, 200, { setter(Step::Range, 250) }, rpn(250));
        row("RPN for 200 cents", -1, 50, { setter(Step::Range, 200) }, rpn(200));
        row("an RPN outside the range is refused", -1, 200, { setter(Step::Rpn, 20000), setter(Step::Rpn, 300) },
            rpn(300), 1);
        row("no RPN in channel mode", 0, 200, { setter(Step::Range, 300) }, {});

        // A port past the last closes the open one: its silencing, then nothing.
        row("a closed port", 0, 200, { setter(Step::OpenIndex, 999, false), start(0, a), glide({ 0 }, { a }), stop(0) },
            { notesOff(0) });
        row("parameters 0 and 3", 0, 200, { play(0, { 0 }, { a }), play(3, { 0 }, { a }) }, {});

        row("channel 99 is refused", 0, 200, { setter(Step::Channel, 99, false), start(0, a) },
            { mts({ 0 }, { a }), noteOn(0, 32) }, 1);
        row("channel -2 is refused in MPE", -1, 200, { setter(Step::Channel, -2, false), start(0, a) },
            { allocation(0, a, 200), noteOn(0, 69) }, 1);
        const float n702 = frequencyOf(70.2);
        row("ranges -100 and 20000 are refused", -1, 200,
            { setter(Step::Range, -100, false), setter(Step::Range, 20000, false), start(0, n702),
              glide({ 0 }, { frequencyOf(72.0) }) },
            { allocation(0, n702, 200), noteOn(0, 70), bend(0, 150 + (noteOf(n702) - 70) * 100, 200) }, 2);

        QList<int> all;
        QList<float> spread;
        for (int v = 0; v < 128; ++v) {
            all << v;
            spread << frequencyOf(30.0 + v * 0.7);
        }
        row("128 voices in channel mode", 0, 200, { glide(all, spread), start(100, a), stop(100) },
            { mts(all.mid(0, 96), spread.mid(0, 96)) }, 1);
        QList<Step> starts;
        Messages allocated;
        for (int v = 0; v < 128; ++v) {
            starts << start(v, spread[v]);
            if (v < 16)
                allocated << allocation(v, spread[v], 200) << noteOn(v, int(std::lround(noteOf(spread[v]))));
        }
        row("128 voices in MPE", -1, 200, starts, allocated, 1);
        row("a frequency without pitch is left out", 0, 200,
            { glide({ 0, 1 }, { NaN, a }), start(2, Inf), glide({ 3 }, { -5.0f }) }, { mts({ 1 }, { a }) }, 3);
    }

    void messages()
    {
        QFETCH(int, channel);
        QFETCH(int, range);
        QFETCH(QList<Step>, steps);
        QFETCH(Messages, expected);
        QFETCH(int, warnings);
        settle(*mPeer);
        Interface iface(jackOutput());
        auto* out = static_cast<MidiOutRtMidi*>(iface.midiOutput());
        QVERIFY(out->setMidiChannel(channel));
        QVERIFY(out->setPitchBendRange(range));
        QVERIFY(out->openPortByName(mPeer->port()));
        QCOMPARE(out->portName(), mPeer->port());
        waitConnected(*mPeer);
        EXPECT_HEARD(*out, *mPeer, channel == -1 ? rpn(range) : Messages());

        WarningCatcher catcher;
        for (const Step& s : steps)
            apply(iface, s);
        EXPECT_HEARD(*out, *mPeer, expected);
        out->deliverWarnings();
        QVERIFY2(catcher.warnings().size() == warnings, qPrintable(catcher.warnings().join('\n')));
    }

    // The engine's instructions, connected as the application connects them,
    // reach the peer: path /3 at 440 Hz, a gliss step and the note off.
    void wholeRoad()
    {
        settle(*mPeer);
        EngineRig rig;
        CountingInterface iface(jackOutput());
        MidiOutput& out = *iface.midiOutput();
        iface.attachEngine(rig.get());
        rig.exec(SetMacro1, 0.8f);
        QVERIFY(out.openPortByName(mPeer->port()));
        waitConnected(*mPeer);

        rig.togglePath({ 3 });
        EXPECT_HEARD(out, *mPeer, { mts({ 0 }, { 660.0f }), noteOn(0, 32, Interface::velocityOf(0.8f)) });

        rig.select(WendleRatio(3, 2));
        rig.exec(SetGlissOne, 0.75f);
        // The engine's own arithmetic: a quarter of gliss one's travel is half its range of 1200 cents.
        const float glided = 660.0f * rig->mapGlissOne(0.75f) * rig->mapGlissTwo(0.5f);
        QVERIFY2(std::abs(1200.0 * std::log2(glided / 660.0) - 600.0) < 0.1, qPrintable(QString::number(glided)));
        EXPECT_HEARD(out, *mPeer, { mts({ 0 }, { glided }) });

        rig.togglePath({ 3 });
        EXPECT_HEARD(out, *mPeer, { noteOff(0, 32) });
        QCOMPARE(iface.received, 3);

        // Closed, the engine hands nothing on at all.
        QVERIFY(!out.openPort(-1));
        EXPECT_HEARD(out, *mPeer, { notesOff(0), mtsReset({ 32 }) });
        rig.togglePath({ 5 });
        QCOMPARE(iface.received, 3);
    }

    // Port, channel and mode changes while notes sound: the port or mode that
    // is left gets its silencing and resets, and no note stays on anywhere.
    void changesSilenceWhatWasSent()
    {
        settle(*mPeer);
        settle(*mOther);
        SynthModel first, second;
        Interface iface(jackOutput());
        MidiOutput* out = iface.midiOutput();
        QVERIFY(out->setPitchBendRange(200));
        QVERIFY(out->openPortByName(mPeer->port()));
        waitConnected(*mPeer);
        const float b = frequencyOf(73.4), c = frequencyOf(61.2), d = frequencyOf(66.6);
        apply(iface, start(0, 440.0f));
        apply(iface, start(1, b));
        first.feed(mPeer->collect(4));
        QCOMPARE(first.sounding(), QStringList({ "0/32", "0/33" }));

        QVERIFY(out->openPortByName(mOther->port()));
        const Messages left = mPeer->collect(2);
        QCOMPARE(MidiPeer::hex(left), MidiPeer::hex(Messages { notesOff(0), mtsReset({ 32, 33 }) }));
        first.feed(left);
        QVERIFY(first.sounding().isEmpty() && first.retunedKeys().isEmpty());

        waitConnected(*mOther);
        apply(iface, start(2, c));
        EXPECT_HEARD(*out, *mOther, { mts({ 2 }, { c }), noteOn(0, 34) });
        second.feed({ mts({ 2 }, { c }), noteOn(0, 34) });
        QVERIFY(out->setMidiChannel(5));
        apply(iface, start(3, d));
        apply(iface, stop(2));
        const Messages moved { notesOff(0), mts({ 3 }, { d }), noteOn(5, 35), noteOff(5, 34) };
        EXPECT_HEARD(*out, *mOther, moved);
        second.feed(moved);
        QCOMPARE(second.sounding(), QStringList({ "5/35" }));

        // Into MPE: the channel's notes off and the keys back before the range.
        QVERIFY(out->setMidiChannel(-1));
        const Messages intoMpe = Messages { notesOff(5), mtsReset({ 34, 35 }) } + rpn(200);
        EXPECT_HEARD(*out, *mOther, intoMpe);
        second.feed(intoMpe);
        QVERIFY(second.sounding().isEmpty() && second.retunedKeys().isEmpty());
        QCOMPARE(second.rangeCents(15), 200);

        apply(iface, start(4, 440.0f));
        apply(iface, start(5, b));
        QVERIFY(out->setPitchBendRange(300)); // not a silencing change
        apply(iface, glide({ 4 }, { frequencyOf(70) }));
        const Messages played = Messages { allocation(0, 440.0f, 200), noteOn(0, 69), allocation(1, b, 200),
                                           noteOn(1, 73) }
            + rpn(300) + Messages { bend(0, 100, 300) };
        EXPECT_HEARD(*out, *mOther, played);
        second.feed(played);
        QCOMPARE(second.sounding(), QStringList({ "0/69", "1/73" }));

        QVERIFY(out->setMidiChannel(0));
        EXPECT_HEARD(*out, *mOther, mpeSilence());
        second.feed(mpeSilence());
        QVERIFY(second.sounding().isEmpty());
        QCOMPARE(second.bend(1), 8192);

        // Back in MPE every channel is free again: the next voice gets channel 0.
        QVERIFY(out->setMidiChannel(-1));
        apply(iface, start(6, c));
        const Messages again = Messages { notesOff(0) } + rpn(300) + Messages { allocation(0, c, 300), noteOn(0, 61) };
        EXPECT_HEARD(*out, *mOther, again);
        second.feed(again);

        out->term();
        EXPECT_HEARD(*out, *mOther, mpeSilence());
        second.feed(mpeSilence());
        QVERIFY(second.sounding().isEmpty());
        QVERIFY(!out->portOpen());
        QCOMPARE(out->portName(), QString(MidiOutput::NoPortName));
        QCOMPARE(MidiPeer::hex(mPeer->take()), QString());
    }

    // Messages the queue could not take may include a note off: what may
    // sound is silenced, with one warning, and the output goes on.
    void fullQueueSilences()
    {
        settle(*mPeer);
        Interface iface(jackOutput());
        auto* out = static_cast<MidiOutRtMidi*>(iface.midiOutput());
        QVERIFY(out->openPortByName(mPeer->port()));
        waitConnected(*mPeer);
        WarningCatcher catcher;
        apply(iface, start(0, 440.0f));
        QList<int> voices;
        QList<float> freqs;
        for (int v = 0; v < 96; ++v) {
            voices << v;
            freqs << frequencyOf(40.0 + v * 0.5);
        }
        // Far more than the queue holds before the sender, sending at most
        // RtMidi's ring of 16 KB a cycle, can take them.
        for (int i = 0; i < 400; ++i)
            apply(iface, glide(voices, freqs));
        // The silencing is the last message: nothing follows it.
        SynthModel synth;
        const Messages heard = mPeer->collectUntil(notesOff(0), 1, 20000);
        synth.feed(heard);
        QVERIFY(heard.size() < 402);
        QCOMPARE(heard.first(), mts({ 0 }, { 440.0f }));
        QCOMPARE(heard.last(), notesOff(0));
        EXPECT_HEARD(*out, *mPeer, {});
        QVERIFY(synth.sounding().isEmpty());
        QCOMPARE(catcher.warnings().filter("message queue was full").size(), 1);

        apply(iface, start(1, 440.0f));
        EXPECT_HEARD(*out, *mPeer, { mts({ 1 }, { 440.0f }), noteOn(0, 33) });
    }

    void staleMessagesAreDropped_data()
    {
        QTest::addColumn<QString>("change");
        QTest::addColumn<Messages>("onPeer");
        QTest::addColumn<Messages>("onOther");
        const float a = 440.0f;
        QTest::newRow("channel") << "channel" << Messages { notesOff(0), mts({ 1 }, { a }), noteOn(4, 33) } << Messages();
        QTest::newRow("mode") << "mode" << Messages { notesOff(0) } + rpn(200) + Messages { allocation(0, a, 200), noteOn(0, 69) }
                              << Messages();
        QTest::newRow("port") << "port" << Messages { notesOff(0) } << Messages { mts({ 1 }, { a }), noteOn(0, 33) };
    }

    // A note the audio thread computed for the old channel, mode or port while
    // the change silenced it would hang there: it is dropped; the next one is
    // computed for the new state.
    void staleMessagesAreDropped()
    {
        QFETCH(QString, change);
        QFETCH(Messages, onPeer);
        QFETCH(Messages, onOther);
        settle(*mPeer);
        settle(*mOther);
        Interface iface(jackOutput());
        MidiOutput* out = iface.midiOutput();
        QVERIFY(out->setPitchBendRange(200));
        QVERIFY(out->openPortByName(mPeer->port()));
        waitConnected(*mPeer);

        const int voice = 0;
        const float f = 440.0f;
        out->beginInstruction();
        if (change == "channel")
            QVERIFY(out->setMidiChannel(4));
        else if (change == "mode")
            QVERIFY(out->setMidiChannel(-1));
        else
            QVERIFY(out->openPortByName(mOther->port()));
        out->sendMtsSingleNote(&voice, &f, 1);
        out->noteOn(voice, 100);
        out->endInstruction();
        if (change == "port")
            waitConnected(*mOther);
        apply(iface, start(1, f));
        EXPECT_HEARD(*out, *mPeer, onPeer);
        EXPECT_HEARD(*out, *mOther, onOther);
    }

    // The peer's own check: what its ring cannot keep is told, and what it
    // kept comes whole and in order.
    void peerTellsWhatItDropped()
    {
        MidiPeer small(JackServer::uniqueName("wendle-small"), 1024);
        QVERIFY2(small.isReady(), qPrintable(small.error()));
        Interface iface(jackOutput());
        MidiOutput& out = *iface.midiOutput();
        QVERIFY(out.openPortByName(small.port()));
        waitConnected(small);
        // 96 messages of 11 bytes in the ring; the call returns once all are with JACK.
        out.sendPitchBendRangeRpn(200);
        QVERIFY(small.waitCycles());
        const QStringList problems = small.takeProblems();
        QVERIFY2(problems.size() == 1 && problems[0].contains("dropped 3 events"), qPrintable(problems.join('\n')));
        const Messages kept = small.take();
        QCOMPARE(MidiPeer::hex(kept), MidiPeer::hex(rpn(200).mid(0, 93)));
    }

    void fallback_data()
    {
        QTest::addColumn<bool>("server");
        QTest::newRow("no JACK server") << false;
        QTest::newRow("a JACK server") << true;
    }

    // Without a MIDI system the output still constructs, with one warning
    // naming the API in use, and does nothing; with a server it lists its ports.
    void fallback()
    {
        QFETCH(bool, server);
        JackServer::use(server ? mServer->name() : JackServer::uniqueName("wendle-no-server"));
        // Where an ALSA sequencer exists it is the default, and the JACK fallback is not needed.
        const bool alsa = QFile::exists("/dev/snd/seq");
        {
            WarningCatcher catcher;
            Interface iface;
            auto* out = static_cast<MidiOutRtMidi*>(iface.midiOutput());
            out->deliverWarnings();
            QCOMPARE(out->apiName(), alsa ? QString("ALSA") : QString("JACK"));
            QVERIFY2(catcher.warnings().size() == (alsa ? 0 : 1), qPrintable(catcher.warnings().join('\n')));
            if (!alsa)
                QVERIFY(catcher.warnings().value(0).contains("JACK"));
            if (!alsa && !server) {
                QCOMPARE(out->portNames(), QStringList());
                QVERIFY(!out->openPort(0));
            }
            const float f = 440.0f, velocity = 1.0f;
            const int voice = 0;
            iface.receiveInstructions(1, &voice, &f, &velocity, 1);
            QVERIFY(out->setMidiChannel(-1));
            out->term();
            QVERIFY(!out->portOpen());
        }
        if (server) {
            Interface iface(jackOutput());
            const QStringList names = iface.midiOutput()->portNames();
            QVERIFY2(names.contains(mPeer->port()) && names.contains(mOther->port()), qPrintable(names.join(' ')));
        }
        JackServer::use(mServer->name());
    }
};

QTEST_GUILESS_MAIN(TestMidiOutput)
#include "tst_midioutput.moc"
