#include "CardStackTwoWidget.h"
#include "CardWidget.h"
#include "EngineCommandType.h"
#include "FreeBallWidget.h"
#include "FreeConnectorOverlay.h"
#include "NodeStackWidget.h"
#include "PageRig.h"
#include "WendleNoteEvent.h"
#include "WendleTransposeEvent.h"
#include "WendleView.h"

#include <QGraphicsEllipseItem>
#include <QLabel>
#include <QPointer>
#include <QtTest>
#include <cmath>

namespace {

WendleRatio ratioOf(const QString& text)
{
    return WendleRatio(text.section('/', 0, 0).toULongLong(), text.section('/', 1).toULongLong());
}

// Where a pitch puts a ball: log9 of its ratio times half the drawing's
// height on screen (H) above the screen height of its centre, to the nearest
// pixel (halves away from zero), plus 5.5 H / the drawing's own height.
int pitchY(const WendleView* view, double log9)
{
    const QRectF r = view->sceneRect();
    const int H = int(view->viewportTransform().mapRect(r).height());
    return int(float(std::round(log9 * (-H / 2.0))) + float(view->viewportTransform().map(r.center()).y())
               + float(5.5 * H / r.height()));
}

} // namespace

class TestNodeStack : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(PageRig::initProcess());
        QVERIFY(PageRig::applyStyleSheet());
    }

    // A cell is 2 x 0.6 x 10 x 1.35 = 16.2 pixels, a glow's half width 10.
    void layout_data()
    {
        QTest::addColumn<QString>("ratios"); // the first is the one looked at
        QTest::addColumn<int>("x");
        QTest::addColumn<QString>("y"); // "pitch", "bottom N" (height - 10 - N cells) or a number
        QTest::addColumn<double>("log9");
        QTest::newRow("3/1 alone") << "3/1" << 10 << "pitch" << 0.5;
        QTest::newRow("1/1 alone") << "1/1" << 10 << "pitch" << 0.0;
        // 27/10 lies 0.048 H/2 below 3/1, within a cell: one column right.
        QTest::newRow("within a cell") << "27/10 3/1" << 26 << "pitch" << std::log(2.7) / std::log(9.0);
        QTest::newRow("no room below, last") << "1/1000" << 74 << "bottom 0" << 0.0;
        // Seven to follow, a row of five below it: the third place from the right.
        QTest::newRow("no room below, seven after") << "1/1000 1/1001 1/1002 1/1003 1/1004 1/1005 1/1006 1/1007" << 42
                                                    << "bottom 1" << 0.0;
        QTest::newRow("above the top") << "1000/1" << 10 << "10" << 0.0;
        // Five fill the top row at y 10; the sixth starts a row a cell (16) lower.
        QTest::newRow("top row, fifth") << "1001/1 1005/1 1004/1 1003/1 1002/1 1000/1" << 74 << "10" << 0.0;
        QTest::newRow("top row full") << "1000/1 1005/1 1004/1 1003/1 1002/1 1001/1" << 10 << "26" << 0.0;
    }

    void layout()
    {
        QFETCH(QString, ratios);
        QFETCH(int, x);
        QFETCH(QString, y);
        QFETCH(double, log9);
        PageRig rig(1);
        NodeStackWidget* nodes = rig.page.nodeStack();
        for (const QString& r : ratios.split(' '))
            nodes->addNodeWidget(ratioOf(r));
        nodes->updatePositions();
        const FreeBallWidget* ball = nodes->index().value(ratioOf(ratios.section(' ', 0, 0)));
        const int height = nodes->height();
        int expected = y.toInt();
        if (y == "pitch") {
            expected = pitchY(rig.view(), log9);
            QVERIFY(expected >= 26.2 && expected <= height - 26.2);
        } else if (y.startsWith("bottom ")) {
            expected = int(height - 10 - y.mid(7).toInt() * 16.2f);
        }
        QCOMPARE(ball->pos(), QPointF(x, expected));
        QCOMPARE(ball->inPlace(), y == "pitch");
        QVERIFY(ball->isVisible());
    }

    // A right click asks the engine to remove the node; its answer takes the
    // ball out of the stack and frees it, and the card goes with the note.
    void rightClickRemoves()
    {
        PageRig rig(0);
        const WendleRatio r(7, 5);
        rig.post(WendleNoteEvent(ToggleRatioNote, 1.0f, WendlePath(), r));
        NodeStackWidget* nodes = rig.page.nodeStack();
        rig.page.nodeStackShow();
        QPointer<FreeBallWidget> ball = nodes->index().value(r);
        QVERIFY(ball && rig.page.freeOverlay()->balls().contains(ball.data()));
        QTest::mouseClick(nodes->viewport(), Qt::RightButton, {}, nodes->mapFromScene(ball->scenePos()));
        rig.run();
        QVERIFY(!rig.player.voiceOf(r) || !rig.player.voiceOf(r)->sounds());
        QVERIFY(nodes->index().isEmpty() && nodes->scene()->items().isEmpty() && rig.page.freeOverlay()->balls().isEmpty());
        QVERIFY(rig.page.cardStackTwo()->cards().isEmpty());
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(ball.isNull());
    }

    // Every ball is built anew, keeping its four states; the old one is freed.
    void syncKeepsStates_data()
    {
        QTest::addColumn<QList<bool>>("states"); // playing, selected, hold, altered
        QTest::newRow("playing and held") << QList<bool> { true, false, true, false };
        QTest::newRow("selected and altered") << QList<bool> { false, true, false, true };
        QTest::newRow("all") << QList<bool> { true, true, true, true };
    }

    void syncKeepsStates()
    {
        QFETCH(QList<bool>, states);
        PageRig rig(0);
        const WendleRatio r(11, 7);
        rig.page.nodeStackAdd(r);
        rig.page.nodeStackToggle(r, states[0]);
        rig.page.nodeStackSelect(r, states[1]);
        rig.page.nodeStackHold(r, states[2]);
        rig.page.nodeStackAltered(r, states[3]);
        NodeStackWidget* nodes = rig.page.nodeStack();
        QPointer<FreeBallWidget> old = nodes->index().value(r);
        nodes->syncNodes();
        FreeBallWidget* ball = nodes->index().value(r);
        QVERIFY(ball && ball != old);
        QCOMPARE(QList<bool>({ ball->playing(), ball->selected(), ball->hold(), ball->altered() }), states);
        QCOMPARE(QList<bool>({ ball->parts().glow->isVisible(), ball->parts().selectionRing->isVisible(), ball->parts().holdDot->isVisible(),
                               ball->parts().alteredRing->isVisible() }),
                 states);
        QCOMPARE(rig.page.freeOverlay()->balls(), states[0] ? QList<FreeBallWidget*> { ball } : QList<FreeBallWidget*> {});
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(old.isNull());
    }

    // A reset empties the stack and the overlay: what comes next starts from
    // nothing. Adding twice keeps one; a ratio without a ball changes nothing.
    void resetThenAdd()
    {
        PageRig rig(1);
        for (const WendleRatio& r : { WendleRatio(7, 5), WendleRatio(11, 7), WendleRatio(7, 5) }) {
            rig.page.nodeStackAdd(r);
            rig.page.nodeStackToggle(r, true);
        }
        FreeConnectorOverlay* overlay = rig.page.freeOverlay();
        QCOMPARE(overlay->balls().size(), 2);
        rig.page.nodeStackReset();
        rig.page.nodeStackAdd(WendleRatio(13, 8));
        rig.page.nodeStackToggle(WendleRatio(7, 5), true);
        rig.page.nodeStackRemove(WendleRatio(7, 5));
        QCOMPARE(rig.page.nodeStack()->index().keys(), QList<WendleRatio> { WendleRatio(13, 8) });
        QCOMPARE(rig.page.nodeStack()->scene()->items().size(), 6); // the ball and its five ellipses
        QVERIFY(overlay->balls().isEmpty());
    }

    // A chord ratio over a transposition whose exact quotient needs more than
    // 64 bits: ball and card still stand at its pitch, inside their columns.
    // 3^25 / 2^39 and 7^22 / 11^17: the quotient's numerator would be 7^22 x 2^39.
    void quotientBeyond64Bits()
    {
        PageRig rig(1);
        const WendleRatio t(847288609443ull, 549755813888ull);
        const WendleRatio r(3909821048582988049ull, 505447028499293771ull);
        rig.post(WendleTransposeEvent(TransposeByRatio, 1.0f, t));
        rig.post(WendleNoteEvent(ToggleRatioNote, 1.0f, WendlePath(), r));
        QCOMPARE(rig.sounding(), QStringList { r.toString(false) });
        rig.page.nodeStackShow();
        NodeStackWidget* nodes = rig.page.nodeStack();
        const FreeBallWidget* ball = nodes->index().value(r);
        QCOMPARE(ball->pos(), QPointF(10, pitchY(rig.view(), std::log(r.toDouble() / t.toDouble()) / std::log(9.0))));
        QVERIFY(ball->inPlace() && ball->y() > 0 && ball->y() < nodes->height());
        const CardWidget* card = rig.page.cardStackTwo()->cards().value(r);
        QVERIFY(card->y() > 0 && card->y() + card->height() < rig.page.cardStackTwo()->height());
        QCOMPARE(card->findChild<QLabel*>("ratioLabel")->text(), QString("out of\nbounds"));
    }

    // Without a drawing to take the scale from, nothing is placed.
    void noViewNoPlaces()
    {
        PageRig rig(0);
        NodeStackWidget* nodes = rig.page.nodeStack();
        nodes->addNodeWidget(WendleRatio(3, 1));
        nodes->setView(nullptr);
        nodes->updatePositions();
        QCOMPARE(nodes->index().value(WendleRatio(3, 1))->pos(), QPointF(0, 0));
        nodes->setView(rig.view());
        rig.view()->setSceneRect(QRectF(5, 5, 0, 10));
        nodes->updatePositions();
        QCOMPARE(nodes->index().value(WendleRatio(3, 1))->pos(), QPointF(0, 0));
    }
};

QTEST_MAIN(TestNodeStack)
#include "tst_nodestack.moc"
