#include "EngineCommandType.h"
#include "EngineReportQueue.h"
#include "EngineRig.h"
#include "PatchFolder.h"
#include "PdPlayer.h"
#include "VectorState.h"
#include "WendleEvent.h"

#include <QMutex>
#include <QtTest>
#include <atomic>
#include <thread>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

#include "z_libpd.h"

namespace {

QString dataDir()
{
    return PatchFolder::sourceDir() + QStringLiteral("/tests/engine/data");
}

// Every log line with the thread that wrote it.
struct LogLine
{
    std::thread::id thread;
    QString text;
};

QMutex gLogMutex;
QList<LogLine> gLog;

void recordingHandler(QtMsgType, const QMessageLogContext&, const QString& text)
{
    QMutexLocker lock(&gLogMutex);
    gLog.append({ std::this_thread::get_id(), text });
}

class LogRecorder
{
public:
    LogRecorder()
    {
        gLog.clear();
        mPrevious = qInstallMessageHandler(recordingHandler);
    }
    ~LogRecorder() { qInstallMessageHandler(mPrevious); }
    QList<LogLine> lines() const
    {
        QMutexLocker lock(&gLogMutex);
        return gLog;
    }
    int count(const QString& prefix) const
    {
        int n = 0;
        for (const LogLine& line : lines())
            n += line.text.startsWith(prefix);
        return n;
    }

private:
    QtMessageHandler mPrevious;
};

#if defined(__x86_64__) || defined(__i386__)
// XGETBV with ECX=1 tells which register states are in use: bit 2 is the
// upper halves of the AVX registers.
bool canReadStateInUse()
{
    unsigned a = 0, b = 0, c = 0, d = 0;
    return __get_cpuid_count(0xd, 1, &a, &b, &c, &d) && (a & 4u);
}

bool upperHalvesInUse()
{
    unsigned lo = 0, hi = 0;
    asm volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(1));
    return lo & 4u;
}

// What a 256-bit instruction in other code leaves behind: all ones in ymm8.
void dirtyUpperHalves()
{
    asm volatile("vcmptrueps %%ymm8, %%ymm8, %%ymm8" ::: "xmm8");
}
#else
bool canReadStateInUse() { return false; }
bool upperHalvesInUse() { return false; }
void dirtyUpperHalves() {}
#endif

} // namespace

// What the audio thread leaves to others: its log lines, its reports, the
// CPU state it runs Pd in.
class TestAudioThread : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(PdPlayer::initLibpd());
        QCOMPARE(libpd_init_audio(0, 2, 48000), 0);
    }

    void callbackRunsPdWithCleanVectorState_data()
    {
        QTest::addColumn<bool>("withPatch");
        QTest::newRow("no patch") << false;
        QTest::newRow("patch") << true;
    }

    void callbackRunsPdWithCleanVectorState()
    {
        QFETCH(bool, withPatch);
        if (!VectorState::canClearUpperHalves() || !canReadStateInUse())
            QSKIP("needs an x86 CPU with AVX that reports the register states in use");
        EngineRig rig;
        if (withPatch)
            QVERIFY(rig->loadPendingPatch(dataDir(), QStringLiteral("engine_macros.pd")));
        // Nothing between the dirt and the callback may clean up by chance.
        dirtyUpperHalves();
        const bool dirtyBefore = upperHalvesInUse();
        rig.run();
        const bool dirtyAfter = upperHalvesInUse();
        QVERIFY(dirtyBefore);
        QVERIFY(!dirtyAfter);
    }

    // A stream thread's prints and patch steps reach the log only through
    // deliverReports on the thread that calls it.
    void audioThreadLogsNothingItself()
    {
        EngineRig rig;
        LogRecorder log;
        std::thread::id audioThread;
        {
            rig->setStreamRunning(true);
            std::atomic<bool> running { true };
            std::thread stream([&] {
                float out[2 * 64];
                while (running.load(std::memory_order_acquire)) {
                    rig->processCallback(out, 64, false);
                    std::this_thread::sleep_for(std::chrono::microseconds(300));
                }
            });
            audioThread = stream.get_id();
            QVERIFY(rig->loadPendingPatch(dataDir(), QStringLiteral("engine_print.pd")));
            // The patch prints every millisecond of audio.
            QTRY_VERIFY_WITH_TIMEOUT((rig.deliver(), log.count(QStringLiteral("libPD: engine-print")) >= 3), 2000);
            rig->unloadPatch();
            running.store(false, std::memory_order_release);
            stream.join();
            rig->setStreamRunning(false);
        }
        rig.deliver();
        for (const LogLine& line : log.lines())
            QVERIFY2(line.thread != audioThread, qPrintable(QStringLiteral("logged on the audio thread: ") + line.text));
        for (const QString& expected : { QStringLiteral("PdPlayer::openPatch()"),
                                         QStringLiteral("Opening PD patch: ") + dataDir() + QStringLiteral(" engine_print.pd"),
                                         QStringLiteral("Received macro names: level(0.5)"), QStringLiteral("Closing PD patch...") })
            QVERIFY2(log.count(expected) == 1, qPrintable(expected));
    }

    void fullQueueCountsWhatItLost_data()
    {
        QTest::addColumn<bool>("texts");
        QTest::addColumn<int>("fit");
        QTest::addColumn<int>("pushed");
        // Records: commands that report once each.
        QTest::newRow("records") << false << EngineReportQueue::Capacity << EngineReportQueue::Capacity + 300;
        // Texts: Pd prints of 1000 bytes, which fill the text ring first.
        QTest::newRow("texts") << true << EngineReportQueue::TextCapacity / 1000 << 100;
    }

    void fullQueueCountsWhatItLost()
    {
        QFETCH(bool, texts);
        QFETCH(int, fit);
        QFETCH(int, pushed);
        EngineRig rig;
        // Texts of 1000 bytes, each one different all along, so that a
        // shifted or torn one shows.
        const auto textOf = [](int i, char tag) {
            QByteArray text(1, tag);
            while (text.size() < 1000)
                text += QByteArray::number(i) + ':' + QByteArray::number(text.size()) + ' ';
            return text.left(1000);
        };
        const auto push = [&](int n, char tag) {
            for (int i = 0; i < n; ++i) {
                if (texts) {
                    PdPlayer::pdPrintHook(textOf(i, tag).constData());
                } else {
                    rig.post(WendleEvent(VoiceVolumeSet, float(i)));
                    if (i % 128 == 127 || i == n - 1)
                        rig.run();
                }
            }
        };
        // What arrived, in order, and what should have.
        const auto delivered = [&](QSignalSpy& volumes, LogRecorder& log) {
            QStringList got;
            for (const QList<QVariant>& v : volumes)
                got << QString::number(v.at(0).toFloat());
            for (const LogLine& line : log.lines()) {
                if (line.text.startsWith(QLatin1String("libPD: ")))
                    got << line.text.mid(7);
            }
            volumes.clear();
            return got;
        };
        const auto expected = [&](int n, char tag) {
            QStringList list;
            for (int i = 0; i < n; ++i)
                list << (texts ? QString::fromLatin1(textOf(i, tag)).trimmed() : QString::number(i));
            return list;
        };
        QSignalSpy volumes(rig.get(), &PdPlayer::voiceVolumeChanged);
        const QString lost = QStringLiteral("PdPlayer: report queue full, %1 reports from the audio thread were lost");
        {
            LogRecorder log;
            push(pushed, 'a');
            rig.deliver();
            QCOMPARE(log.count(lost.arg(pushed - fit)), 1);
            QCOMPARE(delivered(volumes, log), expected(fit, 'a'));
        }
        // Emptied, it takes everything again, across the end of its storage.
        LogRecorder log;
        push(fit, 'b');
        rig.deliver();
        QCOMPARE(log.count(QStringLiteral("PdPlayer: report queue full")), 0);
        QCOMPARE(delivered(volumes, log), expected(fit, 'b'));
    }
};

QTEST_GUILESS_MAIN(TestAudioThread)
#include "tst_audiothread.moc"
