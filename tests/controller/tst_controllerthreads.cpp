// The listener thread posts into the engine's controller ring while an audio
// thread drains it; run under ThreadSanitizer as well.
#include "ControllerTestSupport.h"
#include "PdPlayer.h"
#include "RfidMap.h"
#include "UdpListener.h"

#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <thread>

#include "z_libpd.h"

class TestControllerThreads : public QObject
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

    void postsWhileAudioDrains()
    {
        // Each tag adds 1 to the voice volume.
        QVERIFY(writeConfigFile(QLatin1String(RfidMap::FileName), R"({"addoneaddo": {"event": 16, "value": 1}})"));
        LogCapture log;
        PdPlayer player;
        QVERIFY(player.createRings());

        std::atomic<bool> audioRunning { true };
        std::atomic<int> heard { 0 };
        // std::thread: its join is visible to ThreadSanitizer, unlike QThread::wait inside Qt.
        std::thread audio([&] {
            float out[256 * 2];
            while (audioRunning.load()) {
                player.processCallback(out, 256, false);
                heard.store(int(player.voiceVolume()) - 1);
            }
        });

        UdpListener listener;
        const quint16 port = freeUdpPort();
        listener.setPort(port);
        QObject::connect(&listener, SIGNAL(eventReceived(const WendleEvent*)), &player, SLOT(queueEventSerial(const WendleEvent*)),
                         Qt::DirectConnection);
        listener.start(QThread::InheritPriority);
        const bool opened = log.waitFor(QStringLiteral("W: UDP socket opened on port %1").arg(port));

        // In rounds that neither the socket's buffer nor the ring can overflow.
        const int rounds = 20, perRound = 40;
        const QByteArray tag = wandDatagram(7, "AddOneAddO");
        bool allHeard = opened;
        for (int r = 1; r <= rounds && allHeard; ++r) {
            allHeard = sendDatagrams(QList<QByteArray>(perRound, tag), QHostAddress::LocalHostIPv6, port)
                && QTest::qWaitFor([&] { return heard.load() >= r * perRound; }, 10000);
        }
        listener.requestStop();
        const bool ended = listener.wait(5000);
        audioRunning = false;
        audio.join();

        QVERIFY(opened);
        QVERIFY(ended);
        QVERIFY(allHeard);
        QCOMPARE(heard.load(), rounds * perRound);
        QCOMPARE(log.lines('W').filter(QStringLiteral("Command buffer full")), QStringList());
    }
};

QTEST_GUILESS_MAIN(TestControllerThreads)
#include "tst_controllerthreads.moc"
