#include "CommandRingBuffer.h"
#include "EngineCommand.h"
#include "EngineCommandType.h"
#include "EngineRig.h"
#include "SignalLog.h"
#include "WarningCatcher.h"
#include "WendleNodeRemoveEvent.h"
#include "WendleNodeResetEvent.h"
#include "WendleNodeSelectToggleEvent.h"
#include "WendleNoteEvent.h"
#include "WendleTransposeEvent.h"

#include <QtEndian>
#include <QtTest>

#include <chrono>
#include <cstring>
#include <memory>
#include <thread>

#include "z_libpd.h"

namespace {

template <typename T>
T readLe(const QByteArray& record, int offset)
{
    T value;
    std::memcpy(&value, record.constData() + offset, sizeof value);
    return qFromLittleEndian(value);
}

// The one record a fresh ring gives back after one post.
QByteArray roundTrip(const WendleEvent* event)
{
    CommandRingBuffer ring;
    auto list = std::make_unique<EngineCommandList>();
    if (!ring.create())
        return {};
    ring.post(event);
    ring.drain(*list);
    return list->count == 1 ? QByteArray(reinterpret_cast<const char*>(list->items[0]), int(sizeof(EngineCommand)))
                            : QByteArray();
}

EngineCommand commandOf(const QByteArray& record)
{
    EngineCommand command;
    std::memcpy(&command, record.constData(), sizeof command);
    return command;
}

struct DerivedResetEvent : WendleNodeResetEvent
{
    using WendleNodeResetEvent::WendleNodeResetEvent;
};

// An event of class T carrying `ratio` (a note event also the path 5).
template <typename T>
struct Payload : T
{
    explicit Payload(const WendleRatio& ratio)
        : T(0, 1.0f, ratio)
    {
    }
};

template <>
struct Payload<WendleNoteEvent> : WendleNoteEvent
{
    explicit Payload(const WendleRatio& ratio)
        : WendleNoteEvent(0, 1.0f, WendlePath::fromSteps({ 5 }), ratio)
    {
    }
};

// An event of two payload classes at once: the earlier class in the record's
// order of classes gives the payload, whichever base it is posted through.
template <typename First, typename Second>
QByteArray roundTripBoth(bool throughSecond, const WendleRatio& first, const WendleRatio& second)
{
    struct Both : Payload<First>, Payload<Second>
    {
        Both(const WendleRatio& a, const WendleRatio& b)
            : Payload<First>(a)
            , Payload<Second>(b)
        {
        }
    } event(first, second);
    return roundTrip(throughSecond ? static_cast<const WendleEvent*>(static_cast<const Second*>(&event))
                                   : static_cast<const WendleEvent*>(static_cast<const First*>(&event)));
}

} // namespace

class TestEngineCommand : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(PdPlayer::initLibpd());
        QCOMPARE(libpd_init_audio(0, 2, 48000), 0);
    }

    void recordBytes_data()
    {
        QTest::addColumn<QString>("eventClass");
        QTest::addColumn<int>("type");
        QTest::addColumn<float>("value");
        QTest::addColumn<QList<int>>("path");
        QTest::addColumn<quint64>("numerator");
        QTest::addColumn<quint64>("denominator");
        QTest::newRow("note with path") << "note" << 34 << -0.625f << QList<int>{ 5, -3 } << quint64(5) << quint64(4);
        QTest::newRow("six-step path, no ratio") << "note" << 0 << 1.0f << QList<int>{ 3, -5, 7, -11, 13, -31 } << quint64(0)
                                                 << quint64(1);
        QTest::newRow("transpose") << "transpose" << 36 << 1.0f << QList<int>{} << quint64(3) << quint64(2);
        QTest::newRow("remove") << "remove" << 35 << 1.0f << QList<int>{} << quint64(11) << quint64(8);
        QTest::newRow("remove posted as type 3") << "remove" << 3 << 1.0f << QList<int>{} << quint64(3) << quint64(2);
        QTest::newRow("select toggle") << "select" << 37 << 1.0f << QList<int>{} << quint64(5) << quint64(4);
        QTest::newRow("reset") << "reset" << 38 << 0.0f << QList<int>{} << quint64(13) << quint64(8);
        QTest::newRow("subclass of reset") << "derived" << 38 << 0.0f << QList<int>{} << quint64(19) << quint64(16);
        QTest::newRow("plain master volume") << "plain" << 19 << 0.3f << QList<int>{} << quint64(0) << quint64(1);
        QTest::newRow("plain out of range type") << "plain" << 99 << -2.0f << QList<int>{} << quint64(0) << quint64(1);
    }

    // The bytes that cross the ring, read at the documented offsets.
    void recordBytes()
    {
        QFETCH(QString, eventClass);
        QFETCH(int, type);
        QFETCH(float, value);
        QFETCH(QList<int>, path);
        QFETCH(quint64, numerator);
        QFETCH(quint64, denominator);
        const WendleRatio ratio = numerator ? WendleRatio(numerator, denominator) : WendleRatio();
        WendlePath wendlePath;
        for (int s : path)
            wendlePath.append(qint8(s));
        std::unique_ptr<WendleEvent> event;
        if (eventClass == "note")
            event = std::make_unique<WendleNoteEvent>(type, value, wendlePath, ratio);
        else if (eventClass == "transpose")
            event = std::make_unique<WendleTransposeEvent>(type, value, ratio);
        else if (eventClass == "remove")
            event = std::make_unique<WendleNodeRemoveEvent>(type, value, ratio);
        else if (eventClass == "select")
            event = std::make_unique<WendleNodeSelectToggleEvent>(type, value, ratio);
        else if (eventClass == "reset")
            event = std::make_unique<WendleNodeResetEvent>(type, value, ratio);
        else if (eventClass == "derived")
            event = std::make_unique<DerivedResetEvent>(type, value, ratio);
        else
            event = std::make_unique<WendleEvent>(type, value);

        const QByteArray record = roundTrip(event.get());
        QCOMPARE(record.size(), 64);
        QCOMPARE(readLe<qint32>(record, 0), type);
        for (int i = 0; i < 7; ++i)
            QCOMPARE(int(qint8(record[4 + i])), i < path.size() ? path[i] : 0);
        QCOMPARE(readLe<quint64>(record, 24), numerator);
        QCOMPARE(readLe<quint64>(record, 32), denominator);
        QCOMPARE(readLe<quint64>(record, 40), quint64(0));
        QCOMPARE(readLe<quint64>(record, 48), quint64(1));
        QCOMPARE(readLe<float>(record, 56), value);
        const EngineCommand command = commandOf(record);
        QCOMPARE(command.ratio(), ratio);
        QCOMPARE(command.wendlePath(), wendlePath);
    }

    void payloadOrder_data()
    {
        QTest::addColumn<int>("combination");
        QTest::addColumn<bool>("throughSecond");
        const char* names[] = { "note before transpose", "transpose before remove", "remove before select",
                                "select before reset" };
        for (int c = 0; c < 4; ++c) {
            QTest::addRow("%s, as the first class", names[c]) << c << false;
            QTest::addRow("%s, as the second class", names[c]) << c << true;
        }
    }

    void payloadOrder()
    {
        QFETCH(int, combination);
        QFETCH(bool, throughSecond);
        const WendleRatio winner(9, 8), loser(17, 16);
        const QByteArray record = combination == 0 ? roundTripBoth<WendleNoteEvent, WendleTransposeEvent>(throughSecond, winner, loser)
            : combination == 1 ? roundTripBoth<WendleTransposeEvent, WendleNodeRemoveEvent>(throughSecond, winner, loser)
            : combination == 2 ? roundTripBoth<WendleNodeRemoveEvent, WendleNodeSelectToggleEvent>(throughSecond, winner, loser)
                               : roundTripBoth<WendleNodeSelectToggleEvent, WendleNodeResetEvent>(throughSecond, winner, loser);
        QCOMPARE(record.size(), 64);
        QCOMPARE(commandOf(record).ratio(), winner);
        QCOMPARE(commandOf(record).wendlePath().toList(), combination == 0 ? QList<int>{ 5 } : QList<int>{});
    }

    void postAndDrainKeepOrder()
    {
        auto list = std::make_unique<EngineCommandList>();
        CommandRingBuffer none;
        const WendleEvent event(MasterVolumeSet, 0.5f);
        {
            WarningCatcher catcher;
            none.post(&event);
            QCOMPARE(catcher.warnings(), QStringList{ QStringLiteral("Command buffer full") });
        }
        none.drain(*list);
        QCOMPARE(list->count, qint64(0));

        CommandRingBuffer ring;
        QVERIFY(ring.create());
        // Rounds of different sizes, so that the write position wraps around the end.
        for (int round = 0; round < 5; ++round) {
            const int n = 70 + round * 37;
            for (int i = 0; i < n; ++i) {
                const WendleNodeResetEvent e(ResetNode, float(i), WendleRatio(quint64(i + 1), quint64(round + 1)));
                ring.post(&e);
            }
            ring.drain(*list);
            QCOMPARE(list->count, qint64(n));
            for (int i = 0; i < n; ++i) {
                QCOMPARE(list->items[i]->value, float(i));
                QCOMPARE(list->items[i]->ratio(), WendleRatio(quint64(i + 1), quint64(round + 1)));
            }
            ring.drain(*list);
            QCOMPARE(list->count, qint64(0));
        }
    }

    // A full ring drops with "Command buffer full"; what it holds runs intact, once.
    void fullRingDropsAndKeepsWhatItHolds()
    {
        EngineRig rig;
        SignalLog log(rig.get(), { "voiceVolumeChanged" });
        int dropped = 0;
        {
            WarningCatcher catcher;
            for (int i = 0; i < 300; ++i)
                rig.post(WendleEvent(VoiceVolumeSet, float(i)));
            dropped = catcher.count(QStringLiteral("Command buffer full"));
            QCOMPARE(catcher.warnings().size(), dropped);
        }
        // 16384 bytes hold 256 records, or 255 when one byte tells full from empty.
        const int accepted = 300 - dropped;
        QVERIFY2(accepted == 255 || accepted == 256, qPrintable(QString::number(accepted)));
        rig.run();
        rig.run();
        QStringList expected;
        for (int i = 0; i < accepted; ++i)
            expected << QStringLiteral("voiceVolumeChanged(%1)").arg(i);
        QCOMPARE(log.take(), expected);

        WarningCatcher catcher;
        rig.exec(VoiceVolumeSet, 1000.0f);
        QVERIFY(catcher.warnings().isEmpty());
        QCOMPARE(rig->voiceVolume(), 1000.0f);
    }

    // The controller's ring runs first whatever the posting order; the interface
    // slot only logs.
    void serialRingBeforeGuiRing()
    {
        EngineRig rig;
        SignalLog log(rig.get(), { "volumeChanged" });
        const WendleEvent gui1(MasterVolumeSet, 0.1f), gui2(MasterVolumeSet, 0.2f);
        const WendleEvent serial1(MasterVolumeSet, 0.7f), serial2(MasterVolumeSet, 0.8f);
        const WendleEvent fromInterface(MasterVolumeSet, 0.75f);
        rig->queueEventGui(&gui1);
        rig->queueEventSerial(&serial1);
        rig->queueEventGui(&gui2);
        rig->queueEventFromInterface(QStringLiteral("test"), &fromInterface);
        rig->queueEventSerial(&serial2);
        rig.run();
        QCOMPARE(log.take(), (QStringList{ "volumeChanged(0.7)", "volumeChanged(0.8)", "volumeChanged(0.1)", "volumeChanged(0.2)" }));
        QCOMPARE(rig->masterVolume(), 0.2f);
    }

    // The ring holds copies: the posted events may be freed and their memory reused.
    void eventDeletedAfterPosting()
    {
        EngineRig rig;
        SignalLog log(rig.get(), { "noteToggled", "removeNodeInStack" });
        auto note = std::make_unique<WendleNoteEvent>(ToggleRatioNote, 1.0f, WendlePath(), WendleRatio(5, 4));
        rig.post(*note);
        note.reset();
        auto remove = std::make_unique<WendleNodeRemoveEvent>(RemoveNode, 1.0f, WendleRatio(7, 4));
        rig.post(*remove);
        remove.reset();
        auto other = std::make_unique<WendleNoteEvent>(ToggleRatioNote, 2.0f, WendlePath::fromSteps({ 3 }), WendleRatio(9, 8));
        auto otherRemove = std::make_unique<WendleNodeRemoveEvent>(RemoveNode, 1.0f, WendleRatio(13, 8));
        rig.run();
        QCOMPARE(log.take(), (QStringList{ "noteToggled(5/4,true)", "removeNodeInStack(7/4)" }));
    }

    // One writer per ring on a thread of its own, this thread draining: every
    // command arrives once, in the order of its ring.
    void postersOnOtherThreadsKeepOrder()
    {
        EngineRig rig;
        constexpr int total = 20000;
        auto poster = [](CommandRingBuffer& ring, qint32 type) {
            for (int i = 0; i < total; ++i) {
                // Wait for room rather than lose a command: the test is about order.
                while (ring.freeCommandSlots() == 0)
                    std::this_thread::yield();
                const WendleEvent event(type, float(i));
                ring.post(&event);
            }
        };
        QList<float> voiceVolumes, masterVolumes;
        connect(rig.get(), &PdPlayer::voiceVolumeChanged, this, [&](float v) { voiceVolumes << v; });
        connect(rig.get(), &PdPlayer::volumeChanged, this, [&](float v) { masterVolumes << v; });
        std::thread gui(poster, std::ref(rig->guiCommandBuffer()), qint32(VoiceVolumeSet));
        std::thread controller(poster, std::ref(rig->serialCommandBuffer()), qint32(MasterVolumeSet));
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while ((voiceVolumes.size() < total || masterVolumes.size() < total) && std::chrono::steady_clock::now() < deadline) {
            rig.run();
            rig.deliver();
        }
        gui.join();
        controller.join();
        QCOMPARE(voiceVolumes.size(), total);
        QCOMPARE(masterVolumes.size(), total);
        for (int i = 0; i < total; ++i) {
            if (voiceVolumes[i] != float(i) || masterVolumes[i] != float(i))
                QFAIL(qPrintable(QStringLiteral("command %1 arrived as %2 and %3").arg(i).arg(voiceVolumes[i]).arg(masterVolumes[i])));
        }
    }
};

QTEST_GUILESS_MAIN(TestEngineCommand)
#include "tst_enginecommand.moc"
