// The listener as start-up runs it: its own thread, real datagrams over
// loopback, and its events connected directly to a real engine run offline.
#include "ControllerTestSupport.h"
#include "EngineRig.h"
#include "RfidMap.h"
#include "SignalLog.h"
#include "UdpListener.h"
#include "WendleEvent.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <QtTest>

#include <atomic>
#include <thread>
#include <vector>

#include "z_libpd.h"

namespace {

using L = QStringList;
using Burst = QList<QByteArray>;

const QByteArray Table = R"({"PlayFifth0": {"value": "/3"}, "volumehalf": {"event": 19, "value": 0.5},)"
                         R"( "volumequar": {"event": 19, "value": 0.25}})";

QString opened(quint16 port)
{
    return QStringLiteral("W: UDP socket opened on port %1").arg(port);
}

// Starts the thread as start-up does: port handed over first, events direct to the engine.
void startListener(UdpListener& listener, qint32 port, PdPlayer* engine)
{
    listener.setPort(port);
    if (engine)
        QObject::connect(&listener, SIGNAL(eventReceived(const WendleEvent*)), engine, SLOT(queueEventSerial(const WendleEvent*)),
                         Qt::DirectConnection);
    listener.start(QThread::InheritPriority);
}

// Runs the engine's callbacks until its signals include `expected`; what it signalled.
QStringList runUntil(EngineRig& rig, SignalLog& signalLog, const QString& expected)
{
    QStringList seen;
    [[maybe_unused]] const bool seenAll = QTest::qWaitFor([&] {
        rig.run();
        seen += signalLog.take();
        return seen.contains(expected);
    }, 10000);
    return seen;
}

} // namespace

class TestUdpListener : public QObject
{
    Q_OBJECT

    QTemporaryDir mHome;

private slots:
    void initTestCase()
    {
        QVERIFY(mHome.isValid());
        qputenv("XDG_DATA_HOME", mHome.path().toUtf8());
        QVERIFY(PdPlayer::initLibpd());
        QCOMPARE(libpd_init_audio(0, 2, 48000), 0);
    }

    void init()
    {
        QVERIFY(writeConfigFile(QLatin1String(RfidMap::FileName), Table));
    }

    void plays_data()
    {
        QTest::addColumn<QString>("address");
        QTest::addColumn<int>("wand");
        QTest::addColumn<QByteArray>("tag");
        QTest::addColumn<QString>("expected");
        QTest::newRow("path to 127.0.0.1, wand -1") << "127.0.0.1" << -1 << QByteArray("playfifth0") << "noteToggled(3/2,true)";
        QTest::newRow("upper case to ::1, wand 127") << "::1" << 127 << QByteArray("PLAYFIFTH0") << "noteToggled(3/2,true)";
        QTest::newRow("volume to ::1") << "::1" << 0 << QByteArray("VolumeHalf") << "volumeChanged(0.5)";
    }

    // A tag plays what the table maps it to, whichever address the wand sends to.
    void plays()
    {
        QFETCH(QString, address);
        QFETCH(int, wand);
        QFETCH(QByteArray, tag);
        QFETCH(QString, expected);
        LogCapture log;
        EngineRig rig;
        SignalLog signalLog(rig.get(), { "noteToggled", "volumeChanged" });
        UdpListener listener;
        const quint16 port = freeUdpPort();
        startListener(listener, port, rig.get());
        QVERIFY(log.waitFor(opened(port)));

        QVERIFY(sendDatagrams({ wandDatagram(qint8(wand), tag) }, QHostAddress(address), port));
        QCOMPARE(runUntil(rig, signalLog, expected), L { expected });
        QCOMPARE(log.count(QStringLiteral("D: Wand ID: %1, RFID: %2").arg(wand).arg(QString::fromLatin1(tag))), 1);
        QVERIFY(log.lines('D').filter(QStringLiteral("Received a UDP packet from ")).first().endsWith(QStringLiteral(" on port %1").arg(port)));
    }

    void bursts_data()
    {
        QTest::addColumn<Burst>("burst");
        QTest::addColumn<QStringList>("warnings");
        QTest::addColumn<QStringList>("signalled");
        const QByteArray half = wandDatagram(1, "volumehalf");
        const QString quarter = QStringLiteral("volumeChanged(0.25)");
        auto wrongSize = [](int size) { return QStringLiteral("Discarding UDP packet due to wrong size %1").arg(size); };

        QTest::newRow("71, 72, 73") << Burst { half.left(71), half, half + 'x' } << L { wrongSize(71), wrongSize(73) }
                                    << L { "volumeChanged(0.5)", quarter };
        QTest::newRow("0 and 65507") << Burst { QByteArray(), QByteArray(65507, 'x') } << L { wrongSize(0), wrongSize(65507) } << L { quarter };
        QTest::newRow("unknown tag") << Burst { wandDatagram(2, "ZZZZZZZZZZ") } << L { "RFID ZZZZZZZZZZ not found in mapping table. Ignoring." }
                                     << L { quarter };
        QTest::newRow("not UTF-8") << Burst { wandDatagram(5, "\xff\xfe" "abcdefgh") }
                                   << L { "RFID bytes ff fe 61 62 63 64 65 66 67 68 from wand 5 are not UTF-8 text. Ignoring." } << L { quarter };
        // Tags that do not print are logged escaped: a sender cannot forge lines.
        QTest::newRow("control bytes") << Burst { wandDatagram(2, QByteArray("ab\ncd\x1b[2J\x7f", 10)) }
                                       << L { R"(RFID ab\x0acd\x1b[2J\x7f not found in mapping table. Ignoring.)" } << L { quarter };
        QTest::newRow("right-to-left override") << Burst { wandDatagram(2, "\xe2\x80\xae" "gnp.exe") }
                                                << L { R"(RFID \u202egnp.exe not found in mapping table. Ignoring.)" } << L { quarter };
        QTest::newRow("backslash") << Burst { wandDatagram(2, R"(a\x0aaaaaa)") }
                                   << L { R"(RFID a\\x0aaaaaa not found in mapping table. Ignoring.)" } << L { quarter };
    }

    // Datagrams sent in one burst, then one that sets the volume to a quarter:
    // each bad one is logged and dropped, and the rest still plays.
    void bursts()
    {
        QFETCH(Burst, burst);
        QFETCH(QStringList, warnings);
        QFETCH(QStringList, signalled);
        LogCapture log;
        EngineRig rig;
        SignalLog signalLog(rig.get(), { "noteToggled", "volumeChanged" });
        UdpListener listener;
        const quint16 port = freeUdpPort();
        startListener(listener, port, rig.get());
        QVERIFY(log.waitFor(opened(port)));
        log.clear();

        QVERIFY(sendDatagrams(burst << wandDatagram(1, "volumequar"), QHostAddress::LocalHost, port));
        QCOMPARE(runUntil(rig, signalLog, QStringLiteral("volumeChanged(0.25)")), signalled);
        QCOMPARE(log.lines('W'), warnings);
        // Debug lines included, nothing logged holds a control character.
        QCOMPARE(log.lines().filter(QRegularExpression(QStringLiteral("[\\x00-\\x1f\\x7f-\\x9f]"))), L());
    }

    void failedStarts_data()
    {
        QTest::addColumn<QByteArray>("table");
        QTest::addColumn<int>("port");
        QTest::addColumn<QString>("message");
        const QString noSocket = QStringLiteral("Can't open UDP socket on port %1. UDP thread shutting down.");
        QTest::newRow("unparsable table") << QByteArray("{ \"x\": ") << int(freeUdpPort())
                                          << "Failed to load RFID mapping file, UDP thread shutting down.";
        // Port -2 stands for a free port that another socket then binds.
        QTest::newRow("port in use") << Table << -2 << noSocket;
        QTest::newRow("port 0") << Table << 0 << noSocket.arg(0);
        QTest::newRow("port 65536") << Table << 65536 << noSocket.arg(65536);
        QTest::newRow("port 70000") << Table << 70000 << noSocket.arg(70000);
        QTest::newRow("port -1") << Table << -1 << noSocket.arg(-1);
    }

    // One fatal error with its message, the thread ends, and the table's bytes stay as they were.
    void failedStarts()
    {
        QFETCH(QByteArray, table);
        QFETCH(int, port);
        QFETCH(QString, message);
        QVERIFY(writeConfigFile(QLatin1String(RfidMap::FileName), table));
        QUdpSocket other;
        if (port == -2) {
            // Shared as far as this socket allows: the listener must still not get the port.
            QVERIFY(other.bind(QHostAddress::Any, 0, QAbstractSocket::ShareAddress | QAbstractSocket::ReuseAddressHint));
            port = other.localPort();
            message = message.arg(port);
        }
        LogCapture log;
        UdpListener listener;
        QSignalSpy fatal(&listener, &UdpListener::fatalError);
        startListener(listener, port, nullptr);
        QVERIFY(listener.wait(10000));
        QCOMPARE(fatal.size(), 1);
        QCOMPARE(fatal.first().first().toString(), message);
        QCOMPARE(log.count(QStringLiteral("C: ") + message), 1);
        QCOMPARE(log.lines('W').filter(QStringLiteral("UDP socket opened")), L());
        QCOMPARE(readConfigFile(QLatin1String(RfidMap::FileName)), table);
    }

    // Without a table the thread writes an empty one and knows no tag.
    void missingTableIsWrittenEmpty()
    {
        QVERIFY(QFile::remove(QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation) + QStringLiteral("/rfid_map.json")));
        LogCapture log;
        UdpListener listener;
        const quint16 port = freeUdpPort();
        startListener(listener, port, nullptr);
        QVERIFY(log.waitFor(opened(port)));
        const QJsonDocument written = QJsonDocument::fromJson(readConfigFile(QLatin1String(RfidMap::FileName)));
        QVERIFY(written.isObject());
        QCOMPARE(written.object(), QJsonObject());
        QVERIFY(sendDatagrams({ wandDatagram(1, "playfifth0"), wandDatagram(1, "volumehalf") }, QHostAddress::LocalHost, port));
        QVERIFY(log.waitFor(QStringLiteral("W: RFID volumehalf not found in mapping table. Ignoring.")));
        QCOMPARE(log.count(QStringLiteral("W: RFID playfifth0 not found in mapping table. Ignoring.")), 1);
    }

    // With nothing arriving, the stop flag is seen within a wait of one second.
    void stopsWithoutTraffic()
    {
        LogCapture log;
        UdpListener listener;
        const quint16 port = freeUdpPort();
        startListener(listener, port, nullptr);
        QVERIFY(log.waitFor(opened(port)));
        listener.requestStop();
        QVERIFY(listener.wait(1500));
        QCOMPARE(log.count(QStringLiteral("W: UDP thread exits run")), 1);
    }

    // A socket that never empties still lets the thread see its flag, and
    // write the count of a flood of another kind that ended before.
    void stopsDuringFlood()
    {
        LogCapture log;
        UdpListener listener;
        const quint16 port = freeUdpPort();
        startListener(listener, port, nullptr);
        QVERIFY(log.waitFor(opened(port)));
        QVERIFY(sendDatagrams(Burst(30, QByteArray(20, 'w')), QHostAddress::LocalHost, port));
        // A slow log and senders enough to keep the socket's buffer full.
        log.slowDown(100);
        std::atomic<bool> flooding { true };
        std::vector<std::thread> senders;
        for (int i = 0; i < 4; ++i) {
            senders.emplace_back([&] {
                QUdpSocket socket;
                const QByteArray junk = wandDatagram(4, "floodflood");
                while (flooding.load())
                    socket.writeDatagram(junk, QHostAddress::LocalHost, port);
            });
        }
        const bool inFull = log.waitFor(QStringLiteral("W: RFID floodflood not found in mapping table. Ignoring."), 20, 10000);
        const QRegularExpression wrongSizeSummary(QStringLiteral("^10 more UDP packets of a wrong size discarded in \\d+ ms$"));
        const bool summed = QTest::qWaitFor([&] { return !log.lines('W').filter(wrongSizeSummary).isEmpty(); }, 10000);
        listener.requestStop();
        const bool ended = listener.wait(3000);
        flooding = false;
        for (std::thread& t : senders)
            t.join();
        QVERIFY(inFull);
        QVERIFY(summed);
        QVERIFY(ended);
    }

    // Destroying a running listener stops it first, and frees its port.
    void destroyingRunningListener()
    {
        LogCapture log;
        auto listener = std::make_unique<UdpListener>();
        const quint16 port = freeUdpPort();
        startListener(*listener, port, nullptr);
        QVERIFY(log.waitFor(opened(port)));
        listener.reset();
        QUdpSocket again;
        QVERIFY(again.bind(QHostAddress::Any, port, QAbstractSocket::DontShareAddress));
    }

    void commandFlood_data()
    {
        QTest::addColumn<bool>("quiet");
        QTest::newRow("a quiet second") << true;
        QTest::newRow("shutdown") << false;
    }

    // 20 000 valid tags while the engine drains nothing: the ring's drops
    // reach the log a few a second, and every one is counted once the flood
    // has been quiet for a second, or at shutdown without that second (the
    // engine's timer does not run until the test processes events).
    void commandFlood()
    {
        QFETCH(bool, quiet);
        LogCapture log;
        EngineRig rig;
        SignalLog signalLog(rig.get(), { "volumeChanged" });
        UdpListener listener;
        std::atomic<int> received { 0 };
        QObject::connect(&listener, &UdpListener::eventReceived, [&] { ++received; });
        const quint16 port = freeUdpPort();
        startListener(listener, port, rig.get());
        QVERIFY(log.waitFor(opened(port)));
        log.clear();

        QUdpSocket socket;
        const QByteArray half = wandDatagram(3, "volumehalf");
        int sent = 0;
        for (int i = 0; i < 20000; ++i) {
            if (socket.writeDatagram(half, QHostAddress::LocalHost, port) > 0)
                ++sent;
        }
        QVERIFY(sent > 10000);
        // More than the ring holds and the throttle writes in full, whatever the socket lost.
        QDeadlineTimer deadline(10000);
        while (received.load() < 1000 && !deadline.hasExpired())
            socket.writeDatagram(half, QHostAddress::LocalHost, port);
        QVERIFY(received.load() >= 1000);

        const auto dropped = [&] { return received.load() - int(rig->serialCommandBuffer().written()); };
        const auto logged = [&] { return droppedCommandsLogged(log.lines('W')); };
        if (quiet) {
            QTRY_VERIFY_WITH_TIMEOUT(logged() == dropped(), 10000);
            // Once the engine has drained its ring, a tag plays again.
            rig.run();
            QVERIFY(sendDatagrams({ wandDatagram(3, "volumequar") }, QHostAddress::LocalHost, port));
            QVERIFY(runUntil(rig, signalLog, QStringLiteral("volumeChanged(0.25)")).contains(QStringLiteral("volumeChanged(0.25)")));
        }
        listener.requestStop();
        QVERIFY(listener.wait(5000));
        rig->writeDroppedCommandCount();
        QCOMPARE(logged(), dropped());
        QVERIFY2(log.logBytes() < 16000, qPrintable(QStringLiteral("%1 bytes in %2 lines").arg(log.logBytes()).arg(log.lines('W').size())));
    }

    // 100 000 junk datagrams leave a few lines in the log; afterwards a
    // valid tag plays and an unknown one is logged in full again.
    void flood()
    {
        LogCapture log;
        EngineRig rig;
        SignalLog signalLog(rig.get(), { "volumeChanged" });
        UdpListener listener;
        const quint16 port = freeUdpPort();
        startListener(listener, port, rig.get());
        QVERIFY(log.waitFor(opened(port)));
        log.clear();

        QUdpSocket socket;
        const QByteArray wrongSize(20, 'w');
        const QByteArray unknown = wandDatagram(3, "unknownTag");
        int sent = 0;
        for (int i = 0; i < 100000; ++i) {
            if (socket.writeDatagram(i % 2 ? wrongSize : unknown, QHostAddress::LocalHost, port) > 0)
                ++sent;
        }
        QVERIFY(sent > 50000);
        // The flood is over for the listener once both summaries are written
        // and a tag sent now is logged in full again (a quiet second has
        // passed), however long the listener takes to drain the socket.
        const QRegularExpression wrongSizeSummary(QStringLiteral("^\\d+ more UDP packets of a wrong size discarded in \\d+ ms$"));
        const QRegularExpression unknownSummary(QStringLiteral("^\\d+ more unknown RFIDs ignored in \\d+ ms$"));
        const auto summed = [&](const QRegularExpression& summary) { return !log.lines('W').filter(summary).isEmpty(); };
        QTRY_VERIFY_WITH_TIMEOUT(summed(wrongSizeSummary) && summed(unknownSummary), 30000);
        const QString inFull = QStringLiteral("W: RFID unknownTag not found in mapping table. Ignoring.");
        QElapsedTimer clock;
        clock.start();
        bool quiet = false;
        while (!quiet && clock.elapsed() < 30000) {
            const int before = log.count(inFull);
            QVERIFY(sendDatagrams({ unknown }, QHostAddress::LocalHost, port));
            quiet = log.waitFor(inFull, before + 1, 500);
        }
        QVERIFY2(quiet, "the listener still throttles 30 s after the flood");
        QVERIFY(sendDatagrams({ wandDatagram(3, "unknownTag"), wandDatagram(3, "volumehalf") }, QHostAddress::LocalHost, port));
        QCOMPARE(runUntil(rig, signalLog, QStringLiteral("volumeChanged(0.5)")), L { "volumeChanged(0.5)" });

        const QStringList warnings = log.lines('W');
        QVERIFY2(log.logBytes() < 16000, qPrintable(QStringLiteral("%1 bytes in %2 lines").arg(log.logBytes()).arg(warnings.size())));
        QVERIFY2(!warnings.filter(wrongSizeSummary).isEmpty(), qPrintable(warnings.join(QLatin1Char('\n'))));
        QVERIFY(!warnings.filter(unknownSummary).isEmpty());
        QCOMPARE(warnings.last(), QStringLiteral("RFID unknownTag not found in mapping table. Ignoring."));
    }
};

QTEST_GUILESS_MAIN(TestUdpListener)
#include "tst_udplistener.moc"
