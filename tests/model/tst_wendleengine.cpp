#include "PdPlayer.h"
#include "Wendle.h"
#include "WendleBall.h"
#include "WendleEvent.h"
#include "WendleNodeResetEvent.h"
#include "WendleNodeSelectToggleEvent.h"
#include "WendleNoteEvent.h"
#include "WendleTransposeEvent.h"

#include <QDir>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

#include "z_libpd.h"

// The engine and the lattice wired as the program wires them: the engine's
// reports reach the lattice through the queued connections of `init`.
class TestWendleEngine : public QObject
{
    Q_OBJECT

    QTemporaryDir mHome;
    std::unique_ptr<PdPlayer> mPlayer;
    std::unique_ptr<Wendle> mLattice;
    QMap<QString, WendleBall*> mBalls;

    // One audio callback on this thread runs the command; its reports follow as signals.
    void post(const WendleEvent& event)
    {
        float buffer[64 * 2];
        mPlayer->guiCommandBuffer().post(&event);
        mPlayer->processCallback(buffer, 64, false);
        mPlayer->deliverReports();
    }

    void toggle(std::initializer_list<int> path) { post(WendleNoteEvent(0, 1.0f, WendlePath::fromSteps(path), WendleRatio())); }

    // The paths of the balls that show a flag.
    QStringList lit(bool WendleBall::*flag) const
    {
        QStringList out;
        for (auto it = mBalls.begin(); it != mBalls.end(); ++it) {
            if (it.value()->*flag)
                out << it.key();
        }
        return out;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(mHome.isValid());
        qputenv("XDG_DATA_HOME", mHome.path().toUtf8());
        const QString config = QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation);
        QVERIFY(config.startsWith(mHome.path()) && QDir().mkpath(config));
        qRegisterMetaType<WendleRatio>("WendleRatio");
        qRegisterMetaType<WendlePath>("WendlePath");
        QVERIFY(PdPlayer::initLibpd());
        QCOMPARE(libpd_init_audio(0, 2, 48000), 0);
    }

    void init()
    {
        mPlayer = std::make_unique<PdPlayer>();
        QVERIFY(mPlayer->createRings());
        mLattice = std::make_unique<Wendle>();
        QVERIFY(mLattice->init(mPlayer.get()));
        mBalls.clear();
        for (WendleBall* b : mLattice->findChildren<WendleBall*>())
            mBalls.insert(b->path.toString(), b);
        QCOMPARE(mBalls.size(), 361);
    }

    void cleanup()
    {
        mLattice.reset();
        mPlayer.reset();
    }

    void pathNoteFollowsTransposition()
    {
        toggle({ 3 });
        QVERIFY(mPlayer->voiceOf(WendleRatio(3, 2)));
        QTRY_COMPARE(lit(&WendleBall::playing), QStringList({ "/3" }));

        // A fifth up: the sounding 3/2 is now the root's pitch, and /-3 sounds 1/1.
        post(WendleEvent(15, 3.0f));
        QTRY_COMPARE(mLattice->transpositionRatio, WendleRatio(3, 2));
        QCOMPARE(mLattice->transpositionPath(), QList<int>({ 3 }));
        QCOMPARE(lit(&WendleBall::playing), QStringList({ "/" }));
        toggle({ -3 });
        QVERIFY(mPlayer->voiceOf(WendleRatio(1, 1)));
        QTRY_COMPARE(lit(&WendleBall::playing), QStringList({ "/", "/-3" }));

        // Selecting by a relative ratio selects its transposed pitch: 5/4 under 3/2 is 15/8, the ball /5.
        post(WendleNodeSelectToggleEvent(37, 1.0f, WendleRatio(5, 4)));
        QCOMPARE(mPlayer->selection(), QList<WendleRatio>({ WendleRatio(15, 8) }));
        QTRY_COMPARE(lit(&WendleBall::selected), QStringList({ "/5" }));
        QCOMPARE(lit(&WendleBall::altered), QStringList({ "/5" }));
        post(WendleNodeResetEvent(38, 1.0f, WendleRatio(5, 4)));
        QTRY_VERIFY(lit(&WendleBall::selected).isEmpty());
        QTRY_VERIFY(lit(&WendleBall::altered).isEmpty());

        post(WendleEvent(15, 0.0f));
        QTRY_VERIFY(mLattice->transpositionPath().isEmpty());
        QCOMPARE(lit(&WendleBall::playing), QStringList({ "/", "/3" }));

        // By a ratio: 3/2 ÷ 9/8 = 4/3 (/2/-3) and 1/1 ÷ 9/8 = 8/9 (/2/-3/-3).
        post(WendleTransposeEvent(36, 1.0f, WendleRatio(9, 8)));
        QTRY_COMPARE(mLattice->transpositionPath(), QList<int>({ 3, 3, -2 }));
        QCOMPARE(lit(&WendleBall::playing), QStringList({ "/2/-3", "/2/-3/-3" }));
        toggle({ 3 });
        QVERIFY(mPlayer->voiceOf(WendleRatio(27, 16)));
        QTRY_COMPARE(lit(&WendleBall::playing), QStringList({ "/2/-3", "/2/-3/-3", "/3" }));
    }

    void ratioWithoutBallGoesToStack()
    {
        QSignalSpy added(mLattice.get(), &Wendle::addNodeToStack);
        QSignalSpy shown(mLattice.get(), &Wendle::showCard);
        QSignalSpy hidden(mLattice.get(), &Wendle::hideCard);
        post(WendleNoteEvent(34, 1.0f, WendlePath(), WendleRatio(7, 5)));
        QTRY_COMPARE(shown.size(), 1);
        QCOMPARE(added.size(), 1);
        QCOMPARE(shown.at(0).at(0).value<WendleRatio>(), WendleRatio(7, 5));
        post(WendleNoteEvent(34, 1.0f, WendlePath(), WendleRatio(7, 5)));
        QTRY_COMPARE(hidden.size(), 1);
        QVERIFY(mLattice->playingSet.isEmpty());
    }

    void primeSwitchesAndBaseFrequency()
    {
        QStringList fives;
        for (auto it = mBalls.begin(); it != mBalls.end(); ++it) {
            if (it.value()->lastPrime() == 5)
                fives << it.key();
        }
        QCOMPARE(fives.size(), 38);
        const auto enabled = [this] { return int(lit(&WendleBall::enabled).size()); };

        post(WendleEvent(23, 5.0f));
        QTRY_COMPARE(enabled(), 361 - 38);
        for (const QString& p : std::as_const(fives))
            QVERIFY(!mBalls.value(p)->enabled);
        // The engine ignores a click on a switched-off prime.
        toggle({ 5 });
        QVERIFY(!mPlayer->voiceOf(WendleRatio(5, 4)));
        post(WendleEvent(23, 1.0f));
        QTRY_COMPARE(enabled(), 0);
        post(WendleEvent(23, 1.0f));
        QTRY_COMPARE(enabled(), 361 - 38);
        post(WendleEvent(23, 5.0f));
        QTRY_COMPARE(enabled(), 361);

        QSignalSpy changed(mLattice.get(), &Wendle::transposeOrBaseFrequencyChanged);
        post(WendleEvent(22, 220.0f));
        QTRY_COMPARE(mLattice->baseFrequency, 220.0f);
        QCOMPARE(changed.size(), 1);
    }
};

QTEST_GUILESS_MAIN(TestWendleEngine)
#include "tst_wendleengine.moc"
