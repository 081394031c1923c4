#include "CardConnectorOverlay.h"
#include "CardStackWidget.h"
#include "EngineCommandType.h"
#include "PageRig.h"
#include "WendleBallWidget.h"
#include "WendleStrutWidget.h"
#include "WendleTransposeEvent.h"
#include "WendleView.h"
#include "WendleWidget.h"

#include <QElapsedTimer>
#include <QJsonObject>
#include <QPointer>
#include <QtTest>
#include <functional>

namespace {

// Remembers which ball items asked for their card to come forward.
class RaiseRecorder : public CardStackWidget
{
public:
    void raiseCard(WendleBallWidget* ball) override { raised.append(ball); }
    QList<WendleBallWidget*> raised;
};

QString rgb(const QColor& c)
{
    return c.name();
}

} // namespace

class TestWendleBallWidget : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(PageRig::initProcess()); }

    // A ball's centre pixel: its colour darker by 115 while silent, lighter
    // by 130 once the engine's report reaches it, and back.
    void soundingLightsTheBall_data()
    {
        QTest::addColumn<int>("mode");
        QTest::addColumn<QString>("path");
        QTest::addColumn<int>("prime");
        QTest::newRow("circles /3") << 0 << "/3" << 3;
        QTest::newRow("grapes /-2") << 1 << "/-2" << 2;
        QTest::newRow("grapes /-3/-3") << 1 << "/-3/-3" << 3;
    }

    void soundingLightsTheBall()
    {
        QFETCH(int, mode);
        QFETCH(QString, path);
        QFETCH(int, prime);
        PageRig rig(mode);
        WendleBallWidget* w = rig.item(path);
        const QColor colour = rig.lattice.primeColor(prime);
        QCOMPARE(rgb(rig.pixel(w->scenePos())), rgb(colour.darker(115)));
        rig.click(w);
        QCOMPARE(rgb(rig.pixel(w->scenePos())), rgb(colour.lighter(130)));
        QVERIFY(w->parts().glow->isVisible());
        rig.click(w);
        QCOMPARE(rgb(rig.pixel(w->scenePos())), rgb(colour.darker(115)));
        QVERIFY(!w->parts().glow->isVisible());
    }

    // Relative mode: the centre is grey once the lattice is transposed.
    void relativeCentreTurnsGrey()
    {
        PageRig rig(0);
        rig.settings.absRelView = 0;
        const auto refresh = [&rig] {
            for (WendleBallWidget* w : rig.items())
                w->updateLook();
        };
        refresh();
        WendleBallWidget* centre = rig.item("/");
        QCOMPARE(rgb(rig.pixel(centre->scenePos())), rgb(rig.lattice.primeColor(1).darker(115)));
        rig.click(rig.item("/3"), Qt::ShiftModifier);
        QCOMPARE(rig.lattice.transpositionPath(), QList<int> { 3 });
        refresh();
        QCOMPARE(rgb(rig.pixel(centre->scenePos())), rgb(QColor(158, 158, 158).darker(115)));
        rig.settings.centralNodeColourRelativeMode = false;
        refresh();
        QCOMPARE(rgb(rig.pixel(centre->scenePos())), rgb(rig.lattice.primeColor(1).darker(115)));
    }

    // The root's 5 and 23 leaves where each mode puts them, worked out from
    // the constants: circles of radius 14 at 35 above and below the ball, 5
    // at 140 degrees and 23 in the middle; grapes 8 to the side at
    // 80 * height / 12 (5: 3.86, 23: 6.28), the plus group mirrored.
    // A switched-off prime shows nothing there, also after a rebuild.
    void leavesAndSwitchedOffPrimes_data()
    {
        QTest::addColumn<int>("mode");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QPointF>("at");
        QTest::addColumn<int>("prime");
        QTest::newRow("circles -5") << 0 << "/-5" << QPointF(-10.725, 35 - 8.999) << 5;
        QTest::newRow("circles +5") << 0 << "/5" << QPointF(10.725, -35 + 8.999) << 5;
        QTest::newRow("circles -23") << 0 << "/-23" << QPointF(0, 35) << 23;
        QTest::newRow("circles +23") << 0 << "/23" << QPointF(0, -35) << 23;
        QTest::newRow("grapes -5") << 1 << "/-5" << QPointF(-8, 25.733) << 5;
        QTest::newRow("grapes +5") << 1 << "/5" << QPointF(8, -25.733) << 5;
        QTest::newRow("grapes -23") << 1 << "/-23" << QPointF(-8, 41.867) << 23;
        QTest::newRow("grapes +23") << 1 << "/23" << QPointF(8, -41.867) << 23;
    }

    void leavesAndSwitchedOffPrimes()
    {
        QFETCH(int, mode);
        QFETCH(QString, path);
        QFETCH(QPointF, at);
        QFETCH(int, prime);
        PageRig rig(mode);
        QVERIFY(QLineF(rig.item(path)->scenePos(), at).length() < 0.01);
        const QColor leaf = rig.lattice.primeColor(prime).darker(115);
        QCOMPARE(rgb(rig.pixel(at)), rgb(leaf));
        const QColor background = rig.view()->viewport()->palette().color(QPalette::Base);

        rig.post(WendleEvent(TogglePrime, float(prime)));
        QVERIFY(!rig.lattice.root->children.value(prime)->enabled);
        QCOMPARE(rgb(rig.pixel(at)), rgb(background));
        rig.view()->rebuildScene(mode);
        QVERIFY(!rig.item(path)->isVisible());
        QCOMPARE(rgb(rig.pixel(at)), rgb(background));
        rig.post(WendleEvent(TogglePrime, float(prime)));
        QCOMPARE(rgb(rig.pixel(at)), rgb(leaf));
    }

    // Switching 3 off hides the 3 balls and every strut or link that ends at
    // one; a rebuild keeps them hidden; switching it on shows them again.
    void switchedOffBallsHideTheirLines()
    {
        PageRig rig(0);
        const auto visibleLines = [&rig] {
            int n = 0;
            for (QGraphicsItem* i : rig.view()->scene()->items())
                n += dynamic_cast<WendleStrutWidget*>(i) && i->isVisible();
            return n;
        };
        QCOMPARE(visibleLines(), 28);
        rig.post(WendleEvent(TogglePrime, 3.0f));
        // Left with 1/1, /2, /-2 and /-2/-2 joined by three struts.
        QCOMPARE(visibleLines(), 3);
        QVERIFY(!rig.item("/3")->isVisible());
        rig.view()->rebuildScene(0);
        QCOMPARE(visibleLines(), 3);
        QVERIFY(!rig.item("/2/3/3")->isVisible());
        QVERIFY(!rig.item("/-3")->isVisible() && rig.item("/-2/-2")->isVisible());
        rig.post(WendleEvent(TogglePrime, 3.0f));
        QCOMPARE(visibleLines(), 28);
        QVERIFY(rig.item("/2/3/3")->isVisible());
    }

    // Sounding balls keep their place in the card stack across a rebuild: the
    // index then holds exactly the new items of the balls that sound.
    void rebuildKeepsSoundingBallsInTheStack()
    {
        PageRig rig(1);
        rig.click(rig.item("/3"));
        rig.click(rig.item("/-2/7"));
        rig.click(rig.item("/-3"));
        // Held, they outlive the notes-off that comes before a redraw.
        rig.post(WendleEvent(SetHold, 1.0f));
        rig.post(WendleEvent(AllNotesOffExceptHeld, 1.0f));
        QCOMPARE(rig.sounding(), (QStringList { "2/3", "3/2", "7/8" }));
        rig.post(WendleEvent(TogglePrime, 3.0f)); // /3 and /-3 sound on, disabled
        const QSet<WendleBallWidget*> before(rig.page.cardStack()->cards().keyBegin(), rig.page.cardStack()->cards().keyEnd());
        QCOMPARE(before, (QSet<WendleBallWidget*> { rig.item("/-2/7") }));
        // Gone, a new item may have its address: only a live one would be wrong.
        const QPointer<WendleBallWidget> old = rig.item("/-2/7");

        rig.view()->rebuildScene(1);
        const auto cards = rig.page.cardStack()->cards();
        QCOMPARE(QSet<WendleBallWidget*>(cards.keyBegin(), cards.keyEnd()), (QSet<WendleBallWidget*> { rig.item("/-2/7") }));
        QVERIFY(old.isNull() || !rig.items().contains(old.data()));
        const auto pairs = rig.page.cardOverlay()->pairs();
        QCOMPARE(QSet<WendleBallWidget*>(pairs.keyBegin(), pairs.keyEnd()), (QSet<WendleBallWidget*> { rig.item("/-2/7") }));
        QVERIFY(rig.item("/-2/7")->parts().holdDot->isVisible() && rig.item("/-2/7")->parts().glow->isVisible());

        rig.post(WendleEvent(TogglePrime, 3.0f));
        QCOMPARE(rig.page.cardStack()->cards().size(), 3);
        // Hover and paint over the new items.
        QCursor::setPos(rig.view()->viewport()->mapToGlobal(rig.viewportPoint(rig.item("/-2/7"))));
        QTest::mouseMove(rig.view()->viewport(), rig.viewportPoint(rig.item("/-2/7")));
        QVERIFY(!rig.view()->viewport()->grab().isNull());
        rig.post(WendleEvent(SetHold, 0.0f));
        rig.click(rig.item("/-2/7"));
        QCOMPARE(rig.page.cardStack()->cards().size(), 2);
    }

    // Hovering a sounding leaf raises its card at once; a main ball only if
    // the mouse still rests on it 100 ms later, and the window never waits.
    void hoverRaisesTheCard()
    {
        PageRig rig(0);
        RaiseRecorder stack;
        rig.view()->setCardStack(&stack);
        rig.view()->rebuildScene(0);
        QWidget* vp = rig.view()->viewport();
        const auto hover = [&](WendleBallWidget* w, const QPoint& offset = {}) {
            const QPoint p = rig.viewportPoint(w) + offset;
            QCursor::setPos(vp->mapToGlobal(p));
            QTest::mouseMove(vp, p);
        };
        const auto away = [&] { hover(rig.item("/"), QPoint(0, -90)); };

        WendleBallWidget* main = rig.item("/3");
        WendleBallWidget* leaf = rig.item("/3/7");
        hover(main);
        QTest::qWait(2 * WendleBallWidget::HoverDelayMs);
        QVERIFY(stack.raised.isEmpty()); // silent

        rig.click(main);
        rig.click(leaf);
        away();
        hover(leaf);
        QCOMPARE(stack.raised, QList<WendleBallWidget*> { leaf });
        // The leaf's ball was entered too, as the leaf's ancestor; it stays
        // back, since the mouse is not on its body.
        QTest::qWait(2 * WendleBallWidget::HoverDelayMs);
        QCOMPARE(stack.raised, QList<WendleBallWidget*> { leaf });
        stack.raised.clear();

        // What follows holds only for gestures that come within the delay: a
        // busy machine may take longer over them, and then they are tried again.
        const auto quickly = [&](const std::function<void()>& gestures) {
            for (int attempt = 0; attempt < 20; ++attempt) {
                away(); // a wait still running finds the mouse gone
                stack.raised.clear();
                QElapsedTimer timer;
                timer.start();
                gestures();
                if (timer.elapsed() < WendleBallWidget::HoverDelayMs)
                    return true;
            }
            return false;
        };
        QVERIFY2(quickly([&] { hover(rig.item("/3")); }), "hovering a ball kept the window waiting");
        QVERIFY(stack.raised.isEmpty());
        QTRY_COMPARE(stack.raised, QList<WendleBallWidget*> { rig.item("/3") });

        // Gone before the wait is over: nothing comes forward.
        QVERIFY(quickly([&] {
            hover(rig.item("/3"));
            away();
        }));
        QTest::qWait(2 * WendleBallWidget::HoverDelayMs);
        QVERIFY(stack.raised.isEmpty());

        // The item dies while its wait runs: the wait dies with it.
        QVERIFY(quickly([&] {
            hover(rig.item("/3"));
            rig.view()->rebuildScene(0);
        }));
        QTest::qWait(2 * WendleBallWidget::HoverDelayMs);
        QVERIFY(stack.raised.isEmpty());
        rig.view()->setCardStack(nullptr);
        rig.view()->rebuildScene(0);
    }

    // A lattice reloaded under a drawing: the old items stay inert.
    void itemsOfAReplacedTreeStayInert()
    {
        PageRig rig(0);
        WendleBallWidget* old = rig.item("/3");
        QJsonObject json;
        rig.lattice.writeJson(json);
        rig.lattice.readJson(json);
        QVERIFY(!old->ball());
        const int free = rig.player.guiCommandBuffer().freeCommandSlots();
        rig.click(old);
        QCOMPARE(rig.player.guiCommandBuffer().freeCommandSlots(), free);
        QVERIFY(rig.sounding().isEmpty());
        for (WendleBallWidget* w : rig.items()) {
            w->updateLook();
            w->onPlayingChanged();
            w->onEnabledChanged(true);
        }
        QVERIFY(!rig.view()->viewport()->grab().isNull());
        rig.view()->rebuildScene(0);
        rig.click(rig.item("/3"));
        QCOMPARE(rig.sounding(), QStringList { "3/2" });
    }
};

QTEST_MAIN(TestWendleBallWidget)
#include "tst_wendleballwidget.moc"
