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

#include <functional>

#include "z_libpd.h"

namespace {

WendlePath pathOf(const QString& text)
{
    WendlePath p;
    p.fromText(text);
    return p;
}

QString text(const WendleRatio& r)
{
    return QStringLiteral("%1/%2").arg(r.numerator()).arg(r.denominator());
}

QMap<QString, WendleBall*> byPath(WendleBall* root)
{
    QMap<QString, WendleBall*> map;
    std::function<void(WendleBall*)> visit = [&](WendleBall* b) {
        map.insert(b->path.toString(), b);
        for (WendleBall* c : std::as_const(b->children))
            visit(c);
    };
    visit(root);
    return map;
}

// The paths of the balls that show a flag, sorted.
QStringList lit(const QMap<QString, WendleBall*>& balls, bool WendleBall::*flag)
{
    QStringList out;
    for (auto it = balls.begin(); it != balls.end(); ++it) {
        if (it.value()->*flag)
            out << it.key();
    }
    return out;
}

// One audio callback on this thread, then the engine's reports as signals,
// which reach the lattice through its queued connections.
void cycle(PdPlayer& player)
{
    float buffer[64 * 2];
    player.processCallback(buffer, 64, false);
    player.deliverReports();
}

void post(PdPlayer& player, const WendleEvent& event)
{
    player.guiCommandBuffer().post(&event);
    cycle(player);
}

} // namespace

class TestWendleEngine : public QObject
{
    Q_OBJECT

    QTemporaryDir mHome;
    QString mConfig;

private slots:
    void initTestCase()
    {
        QVERIFY(mHome.isValid());
        qputenv("XDG_DATA_HOME", mHome.path().toUtf8());
        mConfig = QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation);
        QVERIFY(mConfig.startsWith(mHome.path()));
        qRegisterMetaType<WendleRatio>("WendleRatio");
        qRegisterMetaType<WendlePath>("WendlePath");
        QVERIFY(PdPlayer::initLibpd());
        QCOMPARE(libpd_init_audio(0, 2, 48000), 0);
    }

    void init()
    {
        QDir(mConfig).removeRecursively();
        QVERIFY(QDir().mkpath(mConfig));
    }

    void pathNoteFollowsTransposition()
    {
        PdPlayer player;
        QVERIFY(player.createRings());
        Wendle lattice;
        QVERIFY(lattice.init(&player));
        const QMap<QString, WendleBall*> balls = byPath(lattice.root);
        QCOMPARE(balls.size(), 361);

        post(player, WendleNoteEvent(0, 1.0f, pathOf("/3"), WendleRatio()));
        QVERIFY(player.voiceOf(WendleRatio(3, 2)));
        QTRY_VERIFY(balls.value("/3")->playing);
        QCOMPARE(lit(balls, &WendleBall::playing), QStringList({ "/3" }));
        QCOMPARE(lattice.playingSet, QSet<WendleRatio>({ WendleRatio(3, 2) }));

        // A fifth up: the sounding 3/2 is now the root's pitch.
        post(player, WendleEvent(15, 3.0f));
        QCOMPARE(player.transposition(), WendleRatio(3, 2));
        QTRY_COMPARE(lattice.transpositionRatio, WendleRatio(3, 2));
        QCOMPARE(lattice.transpositionPath(), QList<int>({ 3 }));
        QCOMPARE(lit(balls, &WendleBall::playing), QStringList({ "/" }));
        QCOMPARE(lattice.ballOf(WendleRatio(1, 1)), balls.value("/-3"));

        // The ball /-3 now sounds 1/1.
        post(player, WendleNoteEvent(0, 1.0f, pathOf("/-3"), WendleRatio()));
        QVERIFY(player.voiceOf(WendleRatio(1, 1)));
        QTRY_VERIFY(balls.value("/-3")->playing);
        QCOMPARE(lit(balls, &WendleBall::playing), QStringList({ "/", "/-3" }));

        // Selecting by a relative ratio selects its transposed pitch: 5/4 under 3/2 is 15/8, the ball /5.
        post(player, WendleNodeSelectToggleEvent(37, 1.0f, WendleRatio(5, 4)));
        QCOMPARE(player.selection(), QList<WendleRatio>({ WendleRatio(15, 8) }));
        QTRY_VERIFY(balls.value("/5")->selected);
        QCOMPARE(lit(balls, &WendleBall::selected), QStringList({ "/5" }));
        QCOMPARE(lit(balls, &WendleBall::altered), QStringList({ "/5" }));
        QCOMPARE(lattice.selectedSet, QSet<WendleRatio>({ WendleRatio(15, 8) }));

        // Resetting it the same way deselects it and clears its altered state.
        post(player, WendleNodeResetEvent(38, 1.0f, WendleRatio(5, 4)));
        QVERIFY(player.selection().isEmpty());
        QTRY_VERIFY(!balls.value("/5")->selected);
        QTRY_VERIFY(!balls.value("/5")->altered);
        QVERIFY(lattice.selectedSet.isEmpty());

        // Back to no transposition: 3/2 is /3 again and 1/1 the root.
        post(player, WendleEvent(15, 0.0f));
        QTRY_COMPARE(lattice.transpositionRatio, WendleRatio(1, 1));
        QVERIFY(lattice.transpositionPath().isEmpty());
        QCOMPARE(lit(balls, &WendleBall::playing), QStringList({ "/", "/3" }));

        // By a ratio: the path is rebuilt from its steps.
        post(player, WendleTransposeEvent(36, 1.0f, WendleRatio(9, 8)));
        QTRY_COMPARE(lattice.transpositionRatio, WendleRatio(9, 8));
        QCOMPARE(lattice.transpositionPath(), QList<int>({ 3, 3, -2 }));
        // 3/2 ÷ 9/8 = 4/3 (/2/-3) and 1/1 ÷ 9/8 = 8/9 (/2/-3/-3).
        QCOMPARE(lit(balls, &WendleBall::playing), QStringList({ "/2/-3", "/2/-3/-3" }));

        // Clicking /3 again now asks for 3/2 × 9/8, a new note.
        post(player, WendleNoteEvent(0, 1.0f, pathOf("/3"), WendleRatio()));
        QVERIFY(player.voiceOf(WendleRatio(27, 16)));
        QTRY_VERIFY(balls.value("/3")->playing);
        QCOMPARE(lattice.playingSet.size(), 3);
    }

    void ratioWithoutBallGoesToStack()
    {
        PdPlayer player;
        QVERIFY(player.createRings());
        Wendle lattice;
        QVERIFY(lattice.init(&player));
        QStringList log;
        connect(&lattice, &Wendle::addNodeToStack, this, [&log](WendleRatio r) { log << "addNodeToStack " + text(r); });
        connect(&lattice, &Wendle::toggleNodeInStack, this,
                [&log](WendleRatio r, bool on) { log << "toggleNodeInStack " + text(r) + (on ? " true" : " false"); });
        connect(&lattice, &Wendle::showCard, this, [&log](WendleRatio r) { log << "showCard " + text(r); });
        connect(&lattice, &Wendle::hideCard, this, [&log](WendleRatio r) { log << "hideCard " + text(r); });

        post(player, WendleNoteEvent(34, 1.0f, WendlePath(), WendleRatio(7, 5)));
        QTRY_COMPARE(log.size(), 3);
        QCOMPARE(log, QStringList({ "addNodeToStack 7/5", "toggleNodeInStack 7/5 true", "showCard 7/5" }));
        QVERIFY(lattice.playingSet.contains(WendleRatio(7, 5)));

        log.clear();
        post(player, WendleNoteEvent(34, 1.0f, WendlePath(), WendleRatio(7, 5)));
        QTRY_COMPARE(log.size(), 2);
        QCOMPARE(log, QStringList({ "toggleNodeInStack 7/5 false", "hideCard 7/5" }));
        QVERIFY(lattice.playingSet.isEmpty());
        disconnect(&lattice, nullptr, this, nullptr);
    }

    void primeSwitches()
    {
        PdPlayer player;
        QVERIFY(player.createRings());
        Wendle lattice;
        QVERIFY(lattice.init(&player));
        const QMap<QString, WendleBall*> balls = byPath(lattice.root);
        const auto disabled = [&] {
            QStringList out;
            for (auto it = balls.begin(); it != balls.end(); ++it) {
                if (!it.value()->enabled)
                    out << it.key();
            }
            return out;
        };
        QStringList fives;
        for (auto it = balls.begin(); it != balls.end(); ++it) {
            if (it.value()->lastPrime() == 5)
                fives << it.key();
        }
        QCOMPARE(fives.size(), 38);

        post(player, WendleEvent(23, 5.0f));
        QVERIFY(!player.primeEnabled(5));
        QTRY_COMPARE(disabled(), fives);

        // The engine ignores a click on a switched-off prime.
        post(player, WendleNoteEvent(0, 1.0f, pathOf("/5"), WendleRatio()));
        QVERIFY(!player.voiceOf(WendleRatio(5, 4)));

        post(player, WendleEvent(23, 1.0f));
        QTRY_COMPARE(disabled().size(), 361);
        post(player, WendleEvent(23, 1.0f));
        QTRY_COMPARE(disabled(), fives);
        post(player, WendleEvent(23, 5.0f));
        QTRY_VERIFY(disabled().isEmpty());
    }

    void baseFrequencyReachesLattice()
    {
        PdPlayer player;
        QVERIFY(player.createRings());
        Wendle lattice;
        QVERIFY(lattice.init(&player));
        QSignalSpy changed(&lattice, &Wendle::transposeOrBaseFrequencyChanged);
        post(player, WendleEvent(22, 220.0f));
        QTRY_COMPARE(lattice.baseFrequency, 220.0f);
        QCOMPARE(changed.size(), 1);
        QCOMPARE(player.baseFrequency(), 220.0f);
    }
};

QTEST_GUILESS_MAIN(TestWendleEngine)
#include "tst_wendleengine.moc"
