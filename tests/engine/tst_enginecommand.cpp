#include "CommandRingBuffer.h"
#include "EngineCommand.h"
#include "EngineCommandType.h"
#include "PdPlayer.h"
#include "PrimeTables.h"
#include "WendleEvent.h"
#include "WendleNodeRemoveEvent.h"
#include "WendleNodeResetEvent.h"
#include "WendleNodeSelectToggleEvent.h"
#include "WendleNoteEvent.h"
#include "WendleTransposeEvent.h"

#include <QSignalSpy>
#include <QtEndian>
#include <QtTest>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>

#include "z_libpd.h"

namespace {

// Warnings logged while an instance lives, forwarded to the previous handler too.
class WarningCatcher
{
public:
    WarningCatcher()
    {
        sSelf = this;
        mPrevious = qInstallMessageHandler(&WarningCatcher::handle);
    }
    ~WarningCatcher()
    {
        qInstallMessageHandler(mPrevious);
        sSelf = nullptr;
    }
    int count(const QString& text) const { return int(mWarnings.count(text)); }
    const QStringList& warnings() const { return mWarnings; }

private:
    static void handle(QtMsgType type, const QMessageLogContext& context, const QString& message)
    {
        if (type == QtWarningMsg)
            sSelf->mWarnings << message;
        else if (sSelf->mPrevious)
            sSelf->mPrevious(type, context, message);
    }

    static WarningCatcher* sSelf;
    QtMessageHandler mPrevious = nullptr;
    QStringList mWarnings;
};

WarningCatcher* WarningCatcher::sSelf = nullptr;

template <typename T>
T readLe(const unsigned char* bytes)
{
    T value;
    std::memcpy(&value, bytes, sizeof value);
    return qFromLittleEndian(value);
}

float readFloatLe(const unsigned char* bytes)
{
    const quint32 bits = readLe<quint32>(bytes);
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

// The one command a freshly created ring gives back after one post.
QByteArray roundTrip(const WendleEvent* event)
{
    CommandRingBuffer ring;
    if (!ring.create())
        return {};
    ring.post(event);
    auto list = std::make_unique<EngineCommandList>();
    ring.drain(*list);
    if (list->count != 1)
        return {};
    return QByteArray(reinterpret_cast<const char*>(list->items[0]), int(sizeof(EngineCommand)));
}

QList<int> pathBytes(const QByteArray& record)
{
    QList<int> steps;
    for (int i = 4; i < 11 && record[i] != 0; ++i)
        steps << int(qint8(record[i]));
    return steps;
}

// Event classes that are two payload classes at once: the record must take
// the payload of whichever class comes first in the test order.
struct NoteAndTranspose : WendleNoteEvent, WendleTransposeEvent
{
    NoteAndTranspose(const WendlePath& path, const WendleRatio& noteRatio, const WendleRatio& otherRatio)
        : WendleNoteEvent(0, 1.0f, path, noteRatio)
        , WendleTransposeEvent(0, 1.0f, otherRatio)
    {
    }
};

struct TransposeAndRemove : WendleTransposeEvent, WendleNodeRemoveEvent
{
    TransposeAndRemove(const WendleRatio& first, const WendleRatio& second)
        : WendleTransposeEvent(36, 1.0f, first)
        , WendleNodeRemoveEvent(36, 1.0f, second)
    {
    }
};

struct RemoveAndSelect : WendleNodeSelectToggleEvent, WendleNodeRemoveEvent
{
    RemoveAndSelect(const WendleRatio& select, const WendleRatio& remove)
        : WendleNodeSelectToggleEvent(35, 1.0f, select)
        , WendleNodeRemoveEvent(35, 1.0f, remove)
    {
    }
};

struct SelectAndReset : WendleNodeResetEvent, WendleNodeSelectToggleEvent
{
    SelectAndReset(const WendleRatio& reset, const WendleRatio& select)
        : WendleNodeResetEvent(37, 1.0f, reset)
        , WendleNodeSelectToggleEvent(37, 1.0f, select)
    {
    }
};

// A subclass of a payload class still carries that class's payload.
struct DerivedResetEvent : WendleNodeResetEvent
{
    DerivedResetEvent(const WendleRatio& ratio)
        : WendleNodeResetEvent(38, 0.0f, ratio)
    {
    }
};

} // namespace

class TestEngineCommand : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void layoutOffsets();
    void noteEventRecordBytes();
    void sixStepPath();
    void plainEventCarriesNoPayload_data();
    void plainEventCarriesNoPayload();
    void payloadByClass_data();
    void payloadByClass();
    void payloadOrder_data();
    void payloadOrder();
    void typeComesFromTheEventNotItsClass();
    void commandNames();

    void drainOfEmptyRingDoesNothing();
    void postAndDrainKeepOrder();
    void fullRingDropsWithWarning();
    void fullRingStillExecutesWaitingCommands();
    void serialRingBeforeGuiRing();
    void eventDeletedAfterPosting();
    void queueEventSlotsPostIntoTheirRings();
    void postersOnOtherThreadsKeepOrder();
};

void TestEngineCommand::initTestCase()
{
    QVERIFY(PdPlayer::initLibpd());
    QCOMPARE(libpd_init_audio(0, 2, 48000), 0);
}

void TestEngineCommand::layoutOffsets()
{
    QCOMPARE(sizeof(EngineCommand), size_t(64));
    QCOMPARE(offsetof(EngineCommand, type), size_t(0));
    QCOMPARE(offsetof(EngineCommand, path), size_t(4));
    QCOMPARE(sizeof(EngineCommand::path), size_t(7));
    QCOMPARE(offsetof(EngineCommand, numerator), size_t(24));
    QCOMPARE(offsetof(EngineCommand, denominator), size_t(32));
    QCOMPARE(offsetof(EngineCommand, secondNumerator), size_t(40));
    QCOMPARE(offsetof(EngineCommand, secondDenominator), size_t(48));
    QCOMPARE(offsetof(EngineCommand, value), size_t(56));
    QCOMPARE(EngineCommandTypeCount, 43);
}

// The bytes that cross the ring, read back at the documented offsets.
void TestEngineCommand::noteEventRecordBytes()
{
    const WendlePath path = WendlePath::fromSteps({ 5, -3 });
    const WendleRatio ratio(path);
    const WendleNoteEvent event(34, -0.625f, path, ratio);
    const QByteArray record = roundTrip(&event);
    QCOMPARE(record.size(), 64);
    const auto* b = reinterpret_cast<const unsigned char*>(record.constData());
    QCOMPARE(readLe<qint32>(b + 0), 34);
    QCOMPARE(pathBytes(record), (QList<int>{ 5, -3 }));
    QCOMPARE(int(b[6]), 0);
    QCOMPARE(readLe<quint64>(b + 24), ratio.numerator());
    QCOMPARE(readLe<quint64>(b + 32), ratio.denominator());
    QCOMPARE(readLe<quint64>(b + 40), quint64(0));
    QCOMPARE(readLe<quint64>(b + 48), quint64(1));
    QCOMPARE(readFloatLe(b + 56), -0.625f);

    // The reader's view of the same bytes.
    EngineCommand command;
    std::memcpy(&command, record.constData(), sizeof command);
    QCOMPARE(command.ratio(), ratio);
    QCOMPARE(command.wendlePath(), path);
}

void TestEngineCommand::sixStepPath()
{
    const WendlePath path = WendlePath::fromSteps({ 3, -5, 7, -11, 13, -31 });
    QCOMPARE(path.size(), 6);
    const WendleNoteEvent event(0, 1.0f, path, WendleRatio());
    const QByteArray record = roundTrip(&event);
    QCOMPARE(record.size(), 64);
    QCOMPARE(pathBytes(record), (QList<int>{ 3, -5, 7, -11, 13, -31 }));
    QCOMPARE(int(record[10]), 0); // the terminator after the sixth step
    EngineCommand command;
    std::memcpy(&command, record.constData(), sizeof command);
    QCOMPARE(command.wendlePath(), path);
    QCOMPARE(command.wendlePath().toList(), path.toList());
    // A path event carries the ratio it was built with: here none.
    QCOMPARE(command.numerator, quint64(0));
    QCOMPARE(command.denominator, quint64(1));
}

void TestEngineCommand::plainEventCarriesNoPayload_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<float>("value");
    QTest::newRow("deselect all") << int(DeselectAll) << 1.0f;
    QTest::newRow("master volume") << int(MasterVolumeSet) << 0.3f;
    QTest::newRow("toggle path note without a path") << int(TogglePathNote) << 1.0f;
    QTest::newRow("close patch") << int(ClosePatch) << 1.0f;
    QTest::newRow("out of range type") << 99 << -2.0f;
}

void TestEngineCommand::plainEventCarriesNoPayload()
{
    QFETCH(int, type);
    QFETCH(float, value);
    const WendleEvent event(type, value);
    const QByteArray record = roundTrip(&event);
    QCOMPARE(record.size(), 64);
    const auto* b = reinterpret_cast<const unsigned char*>(record.constData());
    QCOMPARE(readLe<qint32>(b), type);
    QCOMPARE(int(b[4]), 0);
    QCOMPARE(readLe<quint64>(b + 24), quint64(0));
    QCOMPARE(readLe<quint64>(b + 32), quint64(1));
    QCOMPARE(readLe<quint64>(b + 40), quint64(0));
    QCOMPARE(readLe<quint64>(b + 48), quint64(1));
    QCOMPARE(readFloatLe(b + 56), value);
}

void TestEngineCommand::payloadByClass_data()
{
    QTest::addColumn<QString>("eventClass");
    QTest::addColumn<quint64>("numerator");
    QTest::addColumn<quint64>("denominator");
    QTest::newRow("note by ratio") << "note" << quint64(7) << quint64(4);
    QTest::newRow("transpose") << "transpose" << quint64(3) << quint64(2);
    QTest::newRow("remove") << "remove" << quint64(11) << quint64(8);
    QTest::newRow("select toggle") << "select" << quint64(5) << quint64(4);
    QTest::newRow("reset") << "reset" << quint64(13) << quint64(8);
    QTest::newRow("derived reset") << "derived reset" << quint64(19) << quint64(16);
}

void TestEngineCommand::payloadByClass()
{
    QFETCH(QString, eventClass);
    QFETCH(quint64, numerator);
    QFETCH(quint64, denominator);
    const WendleRatio ratio(numerator, denominator);
    std::unique_ptr<WendleEvent> event;
    if (eventClass == "note")
        event = std::make_unique<WendleNoteEvent>(34, 1.0f, WendlePath(), ratio);
    else if (eventClass == "transpose")
        event = std::make_unique<WendleTransposeEvent>(36, 1.0f, ratio);
    else if (eventClass == "remove")
        event = std::make_unique<WendleNodeRemoveEvent>(35, 1.0f, ratio);
    else if (eventClass == "select")
        event = std::make_unique<WendleNodeSelectToggleEvent>(37, 1.0f, ratio);
    else if (eventClass == "reset")
        event = std::make_unique<WendleNodeResetEvent>(38, 1.0f, ratio);
    else
        event = std::make_unique<DerivedResetEvent>(ratio);
    const QByteArray record = roundTrip(event.get());
    QCOMPARE(record.size(), 64);
    EngineCommand command;
    std::memcpy(&command, record.constData(), sizeof command);
    QCOMPARE(command.type, event->type);
    QCOMPARE(command.value, event->value);
    QCOMPARE(command.numerator, numerator);
    QCOMPARE(command.denominator, denominator);
    QCOMPARE(command.secondNumerator, quint64(0));
    QCOMPARE(command.secondDenominator, quint64(1));
    QCOMPARE(command.path[0], qint8(0));
    QVERIFY(command.wendlePath().isEmpty());
}

void TestEngineCommand::payloadOrder_data()
{
    QTest::addColumn<QString>("combination");
    QTest::addColumn<bool>("throughLaterBase");
    QTest::addColumn<quint64>("numerator");
    QTest::addColumn<quint64>("denominator");
    QTest::addColumn<QList<int>>("path");
    // Each row: which payload must win, handed over through either base.
    for (bool later : { false, true }) {
        const char* via = later ? " (posted as the later class)" : " (posted as the earlier class)";
        QTest::addRow("note before transpose%s", via) << "note+transpose" << later << quint64(5) << quint64(4)
                                                      << QList<int>{ 5 };
        QTest::addRow("transpose before remove%s", via) << "transpose+remove" << later << quint64(3) << quint64(2)
                                                        << QList<int>{};
        QTest::addRow("remove before select%s", via) << "remove+select" << later << quint64(7) << quint64(4)
                                                     << QList<int>{};
        QTest::addRow("select before reset%s", via) << "select+reset" << later << quint64(9) << quint64(8)
                                                    << QList<int>{};
    }
}

void TestEngineCommand::payloadOrder()
{
    QFETCH(QString, combination);
    QFETCH(bool, throughLaterBase);
    QFETCH(quint64, numerator);
    QFETCH(quint64, denominator);
    QFETCH(QList<int>, path);
    const WendleRatio winner(numerator, denominator);
    const WendleRatio loser(17, 16);
    QByteArray record;
    if (combination == "note+transpose") {
        const NoteAndTranspose e(WendlePath::fromSteps({ 5 }), winner, loser);
        const WendleEvent* p = throughLaterBase ? static_cast<const WendleEvent*>(static_cast<const WendleTransposeEvent*>(&e))
                                                : static_cast<const WendleEvent*>(static_cast<const WendleNoteEvent*>(&e));
        record = roundTrip(p);
    } else if (combination == "transpose+remove") {
        const TransposeAndRemove e(winner, loser);
        const WendleEvent* p = throughLaterBase ? static_cast<const WendleEvent*>(static_cast<const WendleNodeRemoveEvent*>(&e))
                                                : static_cast<const WendleEvent*>(static_cast<const WendleTransposeEvent*>(&e));
        record = roundTrip(p);
    } else if (combination == "remove+select") {
        const RemoveAndSelect e(loser, winner);
        const WendleEvent* p = throughLaterBase ? static_cast<const WendleEvent*>(static_cast<const WendleNodeSelectToggleEvent*>(&e))
                                                : static_cast<const WendleEvent*>(static_cast<const WendleNodeRemoveEvent*>(&e));
        record = roundTrip(p);
    } else {
        const SelectAndReset e(loser, winner);
        const WendleEvent* p = throughLaterBase ? static_cast<const WendleEvent*>(static_cast<const WendleNodeResetEvent*>(&e))
                                                : static_cast<const WendleEvent*>(static_cast<const WendleNodeSelectToggleEvent*>(&e));
        record = roundTrip(p);
    }
    QCOMPARE(record.size(), 64);
    EngineCommand command;
    std::memcpy(&command, record.constData(), sizeof command);
    QCOMPARE(command.ratio(), winner);
    QCOMPARE(command.wendlePath().toList(), path);
}

// One class posted with several types: the record keeps the type number.
void TestEngineCommand::typeComesFromTheEventNotItsClass()
{
    const WendleNodeRemoveEvent asDeselect(DeselectAll, 1.0f, WendleRatio(3, 2));
    const QByteArray record = roundTrip(&asDeselect);
    QCOMPARE(record.size(), 64);
    EngineCommand command;
    std::memcpy(&command, record.constData(), sizeof command);
    QCOMPARE(command.type, qint32(DeselectAll));
    QCOMPARE(command.ratio(), WendleRatio(3, 2));
    // A remove event is no note event: no path travels with it.
    QVERIFY(command.wendlePath().isEmpty());
}

void TestEngineCommand::commandNames()
{
    QCOMPARE(QString::fromLatin1(engineCommandTypeName(TogglePathNote)), QStringLiteral("TogglePathNote"));
    QCOMPARE(QString::fromLatin1(engineCommandTypeName(SetMacro8)), QStringLiteral("SetMacro8"));
    QCOMPARE(QString::fromLatin1(engineCommandTypeName(ClosePatch)), QStringLiteral("ClosePatch"));
    QCOMPARE(int(SetMacro1), 24);
    QCOMPARE(int(SetMacro8), 31);
    QCOMPARE(int(ToggleRatioNote), 34);
    QVERIFY(engineCommandTypeName(-1) == nullptr);
    QVERIFY(engineCommandTypeName(EngineCommandTypeCount) == nullptr);
    QSet<QString> names;
    for (int t = 0; t < EngineCommandTypeCount; ++t) {
        QVERIFY(engineCommandTypeName(t) != nullptr);
        names.insert(QString::fromLatin1(engineCommandTypeName(t)));
    }
    QCOMPARE(names.size(), EngineCommandTypeCount);
}

void TestEngineCommand::drainOfEmptyRingDoesNothing()
{
    CommandRingBuffer ring;
    QVERIFY(ring.create());
    auto list = std::make_unique<EngineCommandList>();
    ring.drain(*list);
    QCOMPARE(list->count, qint64(0));

    // A ring that was never created neither posts nor drains.
    CommandRingBuffer none;
    QVERIFY(!none.isValid());
    WarningCatcher catcher;
    const WendleEvent event(19, 0.5f);
    none.post(&event);
    none.drain(*list);
    QCOMPARE(list->count, qint64(0));
}

void TestEngineCommand::postAndDrainKeepOrder()
{
    CommandRingBuffer ring;
    QVERIFY(ring.create());
    auto list = std::make_unique<EngineCommandList>();
    // Several rounds, so that the ring's write position wraps around its end.
    for (int round = 0; round < 5; ++round) {
        const int n = 70 + round * 37;
        for (int i = 0; i < n; ++i) {
            const WendleNodeResetEvent event(38, float(i), WendleRatio(quint64(i + 1), quint64(round + 1)));
            ring.post(&event);
        }
        ring.drain(*list);
        QCOMPARE(list->count, qint64(n));
        for (int i = 0; i < n; ++i) {
            const EngineCommand* c = list->items[i];
            QCOMPARE(c->value, float(i));
            QCOMPARE(c->ratio(), WendleRatio(quint64(i + 1), quint64(round + 1)));
            // The commands lie one after another in the drain's scratch area.
            QCOMPARE(reinterpret_cast<const char*>(c), list->scratch + i * 64);
        }
        ring.drain(*list);
        QCOMPARE(list->count, qint64(0));
    }
}

void TestEngineCommand::fullRingDropsWithWarning()
{
    CommandRingBuffer ring;
    QVERIFY(ring.create(CommandRingBuffer::DefaultSize));
    int accepted = 0;
    int dropped = 0;
    {
        WarningCatcher catcher;
        for (int i = 0; i < 300; ++i) {
            const int before = catcher.count(QStringLiteral("Command buffer full"));
            const WendleEvent event(VoiceVolumeSet, float(i));
            ring.post(&event);
            if (catcher.count(QStringLiteral("Command buffer full")) == before)
                ++accepted;
            else
                ++dropped;
        }
        QCOMPARE(catcher.warnings().size(), dropped);
    }
    // 16384 bytes hold at most 256 commands; a ring that keeps one byte
    // free to tell full from empty holds one fewer.
    QVERIFY2(accepted <= CommandRingBuffer::DefaultSize / 64, qPrintable(QString::number(accepted)));
    QVERIFY2(accepted >= CommandRingBuffer::DefaultSize / 64 - 1, qPrintable(QString::number(accepted)));
    QCOMPARE(dropped, 300 - accepted);

    // The dropped commands left nothing behind; the accepted ones are intact.
    auto list = std::make_unique<EngineCommandList>();
    ring.drain(*list);
    QCOMPARE(list->count, qint64(accepted));
    for (int i = 0; i < accepted; ++i)
        QCOMPARE(list->items[i]->value, float(i));

    // Room again after the drain.
    WarningCatcher catcher;
    const WendleEvent event(VoiceVolumeSet, 7.0f);
    ring.post(&event);
    QCOMPARE(catcher.warnings().size(), 0);
    ring.drain(*list);
    QCOMPARE(list->count, qint64(1));
}

void TestEngineCommand::fullRingStillExecutesWaitingCommands()
{
    PdPlayer player;
    QVERIFY(player.createRings());
    QSignalSpy volumes(&player, &PdPlayer::voiceVolumeChanged);
    const float start = player.voiceVolume();
    int accepted = 0;
    {
        WarningCatcher catcher;
        for (int i = 0; i < 400; ++i) {
            const WendleEvent event(VoiceVolumeAdd, 1.0f);
            player.guiCommandBuffer().post(&event);
        }
        accepted = 400 - catcher.count(QStringLiteral("Command buffer full"));
        QVERIFY(catcher.count(QStringLiteral("Command buffer full")) > 0);
    }
    QVERIFY(accepted > 0 && accepted <= 256);
    float buffer[2 * 64];
    player.processCallback(buffer, 64, false);
    player.deliverReports();
    QCOMPARE(volumes.count(), accepted);
    QCOMPARE(player.voiceVolume(), start + float(accepted));
    QCOMPARE(volumes.last().at(0).toFloat(), start + float(accepted));
    // Nothing of the dropped posts turns up later.
    player.processCallback(buffer, 64, false);
    player.deliverReports();
    QCOMPARE(volumes.count(), accepted);
}

void TestEngineCommand::serialRingBeforeGuiRing()
{
    PdPlayer player;
    QVERIFY(player.createRings());
    QSignalSpy volumes(&player, &PdPlayer::voiceVolumeChanged);
    // The GUI posts first, the controller later: the controller's still runs first.
    for (float v : { 0.1f, 0.2f }) {
        const WendleEvent event(VoiceVolumeSet, v);
        player.guiCommandBuffer().post(&event);
    }
    for (float v : { 0.7f, 0.8f }) {
        const WendleEvent event(VoiceVolumeSet, v);
        player.serialCommandBuffer().post(&event);
    }
    float buffer[2 * 64];
    player.processCallback(buffer, 64, false);
    player.deliverReports();
    QCOMPARE(volumes.count(), 4);
    QList<float> order;
    for (const QList<QVariant>& args : volumes)
        order << args.at(0).toFloat();
    QCOMPARE(order, (QList<float>{ 0.7f, 0.8f, 0.1f, 0.2f }));
    QCOMPARE(player.voiceVolume(), 0.2f);
}

void TestEngineCommand::eventDeletedAfterPosting()
{
    PdPlayer player;
    QVERIFY(player.createRings());
    QSignalSpy notes(&player, &PdPlayer::noteToggled);
    QSignalSpy removed(&player, &PdPlayer::removeNodeInStack);
    auto* note = new WendleNoteEvent(ToggleRatioNote, 1.0f, WendlePath(), WendleRatio(5, 4));
    player.guiCommandBuffer().post(note);
    delete note;
    auto* remove = new WendleNodeRemoveEvent(RemoveNode, 1.0f, WendleRatio(7, 4));
    player.guiCommandBuffer().post(remove);
    delete remove;
    // Reuse the freed memory with other contents before the engine runs.
    auto other = std::make_unique<WendleNoteEvent>(ToggleRatioNote, 2.0f, WendlePath::fromSteps({ 3 }), WendleRatio(9, 8));
    auto otherRemove = std::make_unique<WendleNodeRemoveEvent>(RemoveNode, 1.0f, WendleRatio(13, 8));
    float buffer[2 * 64];
    player.processCallback(buffer, 64, false);
    player.deliverReports();
    QCOMPARE(notes.count(), 1);
    QCOMPARE(notes.at(0).at(0).value<WendleRatio>(), WendleRatio(5, 4));
    QCOMPARE(notes.at(0).at(1).toBool(), true);
    QCOMPARE(removed.count(), 1);
    QCOMPARE(removed.at(0).at(0).value<WendleRatio>(), WendleRatio(7, 4));
    QVERIFY(player.voiceOf(WendleRatio(9, 8)) == nullptr);
}

void TestEngineCommand::queueEventSlotsPostIntoTheirRings()
{
    PdPlayer player;
    QVERIFY(player.createRings());
    QSignalSpy volumes(&player, &PdPlayer::volumeChanged);
    const WendleEvent fromGui(MasterVolumeSet, 0.25f);
    const WendleEvent fromController(MasterVolumeSet, 0.5f);
    const WendleEvent fromInterface(MasterVolumeSet, 0.75f);
    player.queueEventGui(&fromGui);
    player.queueEventSerial(&fromController);
    // The interface slot only logs.
    player.queueEventFromInterface(QStringLiteral("test"), &fromInterface);
    float buffer[2 * 64];
    player.processCallback(buffer, 64, false);
    player.deliverReports();
    QCOMPARE(volumes.count(), 2);
    QCOMPARE(volumes.at(0).at(0).toFloat(), 0.5f);
    QCOMPARE(volumes.at(1).at(0).toFloat(), 0.25f);
    QCOMPARE(player.masterVolume(), 0.25f);
}

// One writer per ring on a thread of its own, the audio thread draining: every
// command arrives once, in the order of its ring.
void TestEngineCommand::postersOnOtherThreadsKeepOrder()
{
    PdPlayer player;
    QVERIFY(player.createRings());
    constexpr int total = 20000;
    auto poster = [](CommandRingBuffer& ring, qint32 type, std::atomic<bool>& finished) {
        for (int i = 0; i < total; ++i) {
            // Wait for room rather than lose a command: the test is about order.
            while (ring.freeCommandSlots() == 0)
                std::this_thread::yield();
            const WendleEvent event(type, float(i));
            ring.post(&event);
        }
        finished.store(true, std::memory_order_release);
    };
    std::atomic<bool> guiDone { false };
    std::atomic<bool> serialDone { false };
    QList<float> voiceVolumes;
    QList<float> masterVolumes;
    voiceVolumes.reserve(total);
    masterVolumes.reserve(total);
    connect(&player, &PdPlayer::voiceVolumeChanged, this, [&](float v) { voiceVolumes << v; });
    connect(&player, &PdPlayer::volumeChanged, this, [&](float v) { masterVolumes << v; });
    std::thread gui(poster, std::ref(player.guiCommandBuffer()), qint32(VoiceVolumeSet), std::ref(guiDone));
    std::thread controller(poster, std::ref(player.serialCommandBuffer()), qint32(MasterVolumeSet), std::ref(serialDone));
    float buffer[2 * 64];
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while ((voiceVolumes.size() < total || masterVolumes.size() < total) && std::chrono::steady_clock::now() < deadline) {
        player.processCallback(buffer, 64, false);
        player.deliverReports();
    }
    gui.join();
    controller.join();
    QVERIFY(guiDone.load() && serialDone.load());
    QCOMPARE(voiceVolumes.size(), total);
    QCOMPARE(masterVolumes.size(), total);
    for (int i = 0; i < total; ++i) {
        if (voiceVolumes[i] != float(i) || masterVolumes[i] != float(i))
            QFAIL(qPrintable(QStringLiteral("command %1 arrived as %2 and %3").arg(i).arg(voiceVolumes[i]).arg(masterVolumes[i])));
    }
    QCOMPARE(player.voiceVolume(), float(total - 1));
    QCOMPARE(player.masterVolume(), float(total - 1));
}

QTEST_GUILESS_MAIN(TestEngineCommand)
#include "tst_enginecommand.moc"
