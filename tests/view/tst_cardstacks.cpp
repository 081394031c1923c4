#include "CardConnectorOverlay.h"
#include "CardStackTwoWidget.h"
#include "CardStackWidget.h"
#include "CardWidget.h"
#include "EngineCommandType.h"
#include "FreeBallWidget.h"
#include "NodeStackWidget.h"
#include "PageRig.h"
#include "TweakConstants.h"
#include "WendleBallWidget.h"
#include "WendleNoteEvent.h"
#include "WendleTransposeEvent.h"
#include "WendleView.h"

#include <QLabel>
#include <QPointingDevice>
#include <QtTest>
#include <algorithm>
#include <memory>

namespace {

const WendleRatio SevenFifths(7, 5);

// The main ball nearest a height on the screen, as a fraction of the view's.
WendleBallWidget* mainBall(const PageRig& rig, double height)
{
    QList<WendleBallWidget*> balls = rig.items();
    balls.removeIf([](const WendleBallWidget* b) { return b->diameter() != 28; });
    const double target = height * rig.view()->viewport()->height();
    const auto distance = [&](WendleBallWidget* b) { return std::abs(rig.viewportPoint(b).y() - target); };
    return *std::min_element(balls.begin(), balls.end(), [&](auto a, auto b) { return distance(a) < distance(b); });
}

QString noteOf(const CardWidget* card)
{
    return card->findChild<QLabel*>("noteLabel")->text() + card->findChild<QLabel*>("octaveLabel")->text();
}

void soundRatio(PageRig& rig, const WendleRatio& r)
{
    rig.post(WendleNoteEvent(ToggleRatioNote, 1.0f, WendlePath(), r));
}

} // namespace

class TestCardStacks : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(PageRig::initProcess());
        QVERIFY(PageRig::applyStyleSheet());
    }

    // A card stands at its ball's height on the screen, inside the stack at
    // the top and above the bottom reserve. A short page fits the drawing to
    // its height, so the outer balls come near its edges.
    void cardAtBallHeight_data()
    {
        QTest::addColumn<int>("mode");
        QTest::addColumn<double>("height"); // of the ball, as a fraction of the view's
        QTest::addColumn<int>("reserve");
        QTest::addColumn<QSize>("size");
        QTest::newRow("circles, middle") << 0 << 0.5 << 0 << QSize(900, 640);
        QTest::newRow("grapes, middle") << 1 << 0.5 << 0 << QSize(900, 640);
        QTest::newRow("top") << 0 << 0.0 << 0 << QSize(1400, 300);
        QTest::newRow("bottom, reserve 30") << 1 << 1.0 << 30 << QSize(1400, 300);
    }

    void cardAtBallHeight()
    {
        QFETCH(int, mode);
        QFETCH(double, height);
        QFETCH(int, reserve);
        QFETCH(QSize, size);
        PageRig rig(mode, size);
        CardStackWidget* stack = rig.page.cardStack();
        stack->setBottomReserve(reserve);
        WendleBallWidget* ball = mainBall(rig, height);
        rig.click(ball);
        const CardWidget* card = stack->cards().value(ball);
        QVERIFY(card && card->isVisible());
        const int y = rig.viewportPoint(ball).y();
        const int h = card->height();
        if (height == 0.0) {
            QVERIFY(y < h / 2);
            QCOMPARE(card->y(), 0);
        } else if (height == 1.0) {
            QVERIFY(y + h / 2 > stack->height() - reserve);
            QCOMPARE(card->y() + h, stack->height() - reserve);
        } else {
            QCOMPARE(card->mapToGlobal(QPoint(0, h / 2)).y(), rig.view()->viewport()->mapToGlobal(QPoint(0, y)).y());
        }
        QCOMPARE(rig.page.cardOverlay()->pairs().value(ball), card);
    }

    // The hovered card comes in front, by itself or by its free ball; a
    // sounding free ball whose ratio has no card raises nothing.
    void hoverRaises()
    {
        PageRig rig(1);
        soundRatio(rig, SevenFifths);
        soundRatio(rig, WendleRatio(10, 7));
        // As after a chord recall: free balls stand at (0, 0) until laid out.
        rig.page.nodeStackShow();
        CardStackTwoWidget* stack = rig.page.cardStackTwo();
        CardWidget* seven = stack->cards().value(SevenFifths);
        CardWidget* ten = stack->cards().value(WendleRatio(10, 7));
        QVERIFY(seven->geometry().intersects(ten->geometry()));
        const auto top = [stack] { return stack->findChildren<CardWidget*>(Qt::FindDirectChildrenOnly).last(); };
        QCOMPARE(top(), ten);
        QEnterEvent enter(QPointF(10, 10), QPointF(10, 10), seven->mapToGlobal(QPointF(10, 10)));
        QCoreApplication::sendEvent(seven, &enter);
        QCOMPARE(top(), seven);

        NodeStackWidget* nodes = rig.page.nodeStack();
        const WendleRatio lone(11, 7);
        nodes->addNodeWidget(lone);
        nodes->toggleNode(lone, true);
        nodes->updatePositions();
        for (const WendleRatio& r : { WendleRatio(10, 7), lone })
            QTest::mouseMove(nodes->viewport(), nodes->mapFromScene(nodes->index().value(r)->scenePos()));
        QCOMPARE(top(), ten);
    }

    // After a pan or a pinch the stacks follow as the zoom mode says: mode 3
    // at the end of the gesture only, mode 6 during it too.
    void followZoomSteps_data()
    {
        QTest::addColumn<int>("zoomMode");
        QTest::addColumn<bool>("pinch");
        QTest::newRow("3, drag") << 3 << false;
        QTest::newRow("6, drag") << 6 << false;
        QTest::newRow("3, pinch") << 3 << true;
        QTest::newRow("6, pinch") << 6 << true;
    }

    void followZoomSteps()
    {
        QFETCH(int, zoomMode);
        QFETCH(bool, pinch);
        PageRig rig(1);
        WendleView* view = rig.view();
        view->setZoomMode(zoomMode);
        // Off the middle, so that zooming moves it.
        WendleBallWidget* ball = mainBall(rig, 0.35);
        rig.click(ball);
        soundRatio(rig, SevenFifths);
        rig.page.nodeStackShow();
        const CardWidget* card = rig.page.cardStack()->cards().value(ball);
        const CardWidget* free = rig.page.cardStackTwo()->cards().value(SevenFifths);
        const FreeBallWidget* node = rig.page.nodeStack()->index().value(SevenFifths);
        const auto places = [&] { return QList<QPointF> { card->pos(), free->pos(), node->pos() }; };
        const auto cardAtBall = [&] { return card->y() == rig.viewportPoint(ball).y() - card->height() / 2; };
        // Which of the three stacks moved since `before`.
        const auto moved = [&](const QList<QPointF>& before) {
            QString m;
            for (int i = 0; i < 3; ++i)
                m += places()[i] != before[i] ? '1' : '0';
            return m;
        };
        const QString during = zoomMode == 6 ? "111" : "000";
        const QString atEnd = zoomMode == 6 ? "000" : "111";

        QWidget* vp = view->viewport();
        QList<QPointF> before = places();
        if (pinch) {
            const std::unique_ptr<QPointingDevice> device(QTest::createTouchDevice());
            const QPoint c = vp->rect().center();
            QTest::touchEvent(vp, device.get()).press(0, c - QPoint(20, 0)).press(1, c + QPoint(20, 0));
            // Four updates after the touch make a step, the fingers 1.8 times as far apart.
            for (int i = 1; i <= 4; ++i)
                QTest::touchEvent(vp, device.get()).move(0, c - QPoint(20 + 4 * i, 0)).move(1, c + QPoint(20 + 4 * i, 0));
            QVERIFY(view->transform().m11() > view->fitScale() * 1.5);
            QCOMPARE(moved(before), during);
            before = places();
            QTest::touchEvent(vp, device.get()).release(0, c - QPoint(36, 0)).release(1, c + QPoint(36, 0));
        } else {
            // Zoomed in behind the stacks' backs, the drawing can be dragged.
            view->setTransform(QTransform::fromScale(view->fitScale() * 2, view->fitScale() * 2));
            QVERIFY(!cardAtBall());
            // A grip on the drawing's background: a press on a ball would play it.
            const auto onBall = [view](const QPoint& p) {
                for (QGraphicsItem* item : view->items(p)) {
                    for (QGraphicsItem* i = item; i; i = i->parentItem())
                        if (dynamic_cast<WendleBallWidget*>(i))
                            return true;
                }
                return false;
            };
            QPoint grip(vp->width() - 10, 10);
            while ((onBall(grip) || onBall(grip + QPoint(0, 30))) && grip.y() < vp->height())
                grip.ry() += 10;
            QTest::mousePress(vp, Qt::LeftButton, {}, grip);
            QTest::mouseMove(vp, grip + QPoint(0, 30));
            QCOMPARE(moved(before), during);
            before = places();
            QTest::mouseRelease(vp, Qt::LeftButton, {}, grip + QPoint(0, 30));
        }
        QVERIFY(cardAtBall());
        QCOMPARE(moved(before), atEnd);
        QCOMPARE(rig.sounding().size(), 2);
    }

    // A free ball's card stands at the ball's height, also after a redraw
    // that shrinks the drawing, which leaves the scene's own rectangle as it was.
    void freeCardAtBallHeight()
    {
        PageRig rig(0);
        soundRatio(rig, SevenFifths);
        NodeStackWidget* nodes = rig.page.nodeStack();
        nodes->updatePositions();
        const auto offset = [&] {
            const FreeBallWidget* ball = nodes->index().value(SevenFifths);
            const CardWidget* card = rig.page.cardStackTwo()->cards().value(SevenFifths);
            if (!ball || !card)
                return -1000;
            const QPoint at = nodes->viewport()->mapToGlobal(nodes->mapFromScene(ball->scenePos()));
            return at.y() - card->mapToGlobal(QPoint(0, card->height() / 2)).y();
        };
        QVERIFY2(std::abs(offset()) <= 1, qPrintable(QString::number(offset())));
        const QScopedValueRollback<qint32> shorter(STRUT_2_LENGTH, 40);
        rig.view()->rebuildScene(0);
        nodes->updatePositions();
        rig.page.cardStackTwo()->updatePositions();
        QVERIFY2(std::abs(offset()) <= 1, qPrintable(QString::number(offset())));
    }

    // Cards are built once: after a transposition the stacks build them
    // again, with the new spelling, and the card overlay holds the new cards
    // and no others.
    void rebuildAfterTransposition()
    {
        PageRig rig(0);
        rig.settings.absRelView = 0;
        rig.click(rig.item("/3"));
        rig.click(rig.item("/3/3"));
        soundRatio(rig, SevenFifths);
        // A fifth up: /3 sounds 9/4, the centre 3/2; /3/3 stops.
        rig.post(WendleTransposeEvent(TransposeByRatio, 1.0f, WendleRatio(3, 2)));
        QCOMPARE(rig.sounding(), (QStringList { "3/2", "7/5", "9/4" }));
        const auto freeRatio = [&] {
            return rig.page.cardStackTwo()->cards().value(SevenFifths)->findChild<QLabel*>("ratioLabel")->text();
        };
        QCOMPARE(freeRatio(), QString("7/5"));
        CardStackWidget* stack = rig.page.cardStack();
        stack->rebuildCards();
        rig.page.cardStackTwo()->rebuildCards();
        // /3 above a 1/1 spelled E5 is B5; 7/5 over 3/2 is 14/15, 28/15 in the octave.
        QCOMPARE(noteOf(stack->cards().value(rig.item("/3"))), QString("B5"));
        QCOMPARE(noteOf(stack->cards().value(rig.item("/"))), QString("E5"));
        QCOMPARE(freeRatio(), QString("28/15"));
        QCOMPARE(rig.page.cardOverlay()->pairs(), stack->cards());
        QCOMPARE(stack->findChildren<CardWidget*>().size(), 2);
        QCOMPARE(rig.page.cardStackTwo()->findChildren<CardWidget*>().size(), 1);
    }

    // Held notes outlive two redraws, drawn from the new balls only; a
    // second start keeps one card; what has no card removes and raises nothing.
    void oneCardPerBall()
    {
        PageRig rig(1);
        rig.click(rig.item("/3"));
        rig.click(rig.item("/-2/7"));
        rig.post(WendleEvent(SetHold, 1.0f));
        for (int i = 0; i < 2; ++i) {
            rig.view()->rebuildScene(1);
            QVERIFY(!rig.page.cardOverlay()->grab().isNull());
        }
        CardStackWidget* stack = rig.page.cardStack();
        QCOMPARE(QSet<WendleBallWidget*>(stack->cards().keyBegin(), stack->cards().keyEnd()),
                 (QSet<WendleBallWidget*> { rig.item("/3"), rig.item("/-2/7") }));
        QCOMPARE(rig.page.cardOverlay()->pairs(), stack->cards());
        stack->addCard(rig.item("/3"));
        stack->removeCard(rig.item("/-3"));
        stack->raiseCard(rig.item("/-3"));
        rig.page.cardStackTwo()->removeCards(SevenFifths);
        QCOMPARE(stack->findChildren<CardWidget*>().size(), 2);
        rig.post(WendleEvent(SetHold, 0.0f));
        rig.post(WendleEvent(AllNotesOff, 1.0f));
        QVERIFY(stack->findChildren<CardWidget*>().isEmpty() && rig.page.cardOverlay()->pairs().isEmpty());
    }
};

QTEST_MAIN(TestCardStacks)
#include "tst_cardstacks.moc"
