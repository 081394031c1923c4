#include "EngineCommandType.h"
#include "PageRig.h"
#include "PatchFolder.h"
#include "SignalMeasure.h"
#include "TweakConstants.h"
#include "WendleBallWidget.h"
#include "WendleLeavesWidget.h"
#include "WendleStrutWidget.h"
#include "WendleView.h"
#include "WendleWidget.h"

#include <QPointingDevice>
#include <QtTest>
#include <cmath>
#include <vector>

namespace {

// The engine's state that a click can change, in one line; "own" is the
// first gliss offset of each altered node.
QString engineState(PageRig& rig)
{
    auto texts = [](const QList<WendleRatio>& list) {
        QStringList out;
        for (const WendleRatio& r : list)
            out << r.toString(false);
        return out.join(QLatin1Char(','));
    };
    QStringList own;
    for (const WendleRatio& r : rig.player.altered())
        own << QString::number(rig.player.alteredParameters(r)->gliss[0], 'f', 2);
    return QStringLiteral("voices=[%1] transposition=%2 selection=[%3] altered=[%4] own=[%5]")
        .arg(rig.sounding().join(QLatin1Char(',')), rig.player.transposition().toString(false),
             texts(rig.player.selection()), texts(rig.player.altered()), own.join(QLatin1Char(',')));
}

bool finiteTransform(const QTransform& t)
{
    return std::isfinite(t.m11()) && std::isfinite(t.m22()) && std::isfinite(t.dx()) && std::isfinite(t.dy());
}

} // namespace

class TestWendleView : public QObject
{
    Q_OBJECT

    QPointingDevice* mTouch = nullptr;

    // Two fingers pressed `from` apart about the view's centre, spread to `to` apart over `steps` updates, lifted.
    void pinch(WendleView* view, double from, double to, int steps = 6)
    {
        QWidget* vp = view->viewport();
        const QPointF c(vp->width() / 2.0, vp->height() / 2.0);
        auto at = [&c](double d, int side) { return (c + QPointF(side * d / 2, 0)).toPoint(); };
        QTest::touchEvent(vp, mTouch).press(0, at(from, -1)).press(1, at(from, 1));
        for (int i = 1; i <= steps; ++i) {
            const double d = from + (to - from) * i / steps;
            QTest::touchEvent(vp, mTouch).move(0, at(d, -1)).move(1, at(d, 1));
        }
        QTest::touchEvent(vp, mTouch).release(0, at(to, -1)).release(1, at(to, 1));
    }

private slots:
    void initTestCase()
    {
        QVERIFY(PageRig::initProcess());
        mTouch = QTest::createTouchDevice();
    }

    void cleanup()
    {
        for (const TweakConstant& t : tweakConstants())
            *t.value = t.initial;
        WendleLeavesWidget::clearLeafPlaces();
    }

    void sceneHoldsTheLattice_data()
    {
        QTest::addColumn<int>("mode");
        QTest::newRow("circles") << 0;
        QTest::newRow("grapes") << 1;
    }

    // The default lattice: 19 main balls with 18 leaves each, a strut per
    // main child and a line per link; every item inside the scene rectangle.
    void sceneHoldsTheLattice()
    {
        QFETCH(int, mode);
        PageRig rig(mode);
        QCOMPARE(rig.items().size(), 361);
        int mains = 0;
        for (WendleBallWidget* w : rig.items())
            mains += w->diameter() == 28;
        QCOMPARE(mains, 19);
        int struts = 0;
        for (QGraphicsItem* i : rig.view()->scene()->items())
            struts += dynamic_cast<WendleStrutWidget*>(i) != nullptr;
        QCOMPARE(struts, 18 + 10);

        const QRectF sceneRect = rig.view()->sceneRect();
        for (WendleBallWidget* w : rig.items())
            QVERIFY(sceneRect.contains(w->mapRectToScene(w->childrenBoundingRect() | w->boundingRect())));

        // +3 up and right at 45 degrees, 66 away; -2 down and right at 315 degrees, 113 away.
        QVERIFY(QLineF(rig.item("/3")->scenePos(), QPointF(46.669, -46.669)).length() < 0.01);
        QVERIFY(QLineF(rig.item("/-2")->scenePos(), QPointF(79.903, 79.903)).length() < 0.01);
        QVERIFY(QLineF(rig.item("/-2/3")->scenePos(), QPointF(126.572, 33.234)).length() < 0.01);
    }

    void anglesThatTurnStepsIntoLeaves_data()
    {
        QTest::addColumn<int>("angle");
        QTest::addColumn<QString>("leaf");
        QTest::addColumn<QString>("gone");
        QTest::newRow("+2 at -1") << -1 << "/2" << "/2/3";
        QTest::newRow("-2 at -181") << -181 << "/-2" << "/-2/3";
    }

    void anglesThatTurnStepsIntoLeaves()
    {
        QFETCH(int, angle);
        QFETCH(QString, leaf);
        QFETCH(QString, gone);
        ANGLE_2_PLUS = angle;
        PageRig rig(0);
        QVERIFY(rig.item(leaf));
        QCOMPARE(rig.item(leaf)->diameter(), LEAF_DIAMETER);
        QVERIFY(!rig.item(gone));
        // Links to the balls no longer drawn have nowhere to end and draw nothing.
        for (QGraphicsItem* i : rig.view()->scene()->items()) {
            if (auto line = dynamic_cast<WendleStrutWidget*>(i))
                QVERIFY(rig.items().contains(line->from()) && rig.items().contains(line->to()));
        }
    }

    void everyItemPlaysItsPath_data() { sceneHoldsTheLattice_data(); }

    // Catches groups that take their children's clicks and items covered by others.
    void everyItemPlaysItsPath()
    {
        QFETCH(int, mode);
        PageRig rig(mode);
        const QList<WendleBallWidget*> items = rig.items();
        for (WendleBallWidget* w : items) {
            const QString path = w->ball()->path.toString();
            const QStringList expected { WendleRatio(w->ball()->path).toString(false) };
            rig.click(w);
            if (rig.sounding() != expected)
                QFAIL(qPrintable(QStringLiteral("%1 sounds [%2]").arg(path, rig.sounding().join(QLatin1Char(',')))));
            rig.click(w);
            if (!rig.sounding().isEmpty())
                QFAIL(qPrintable(QStringLiteral("%1 still sounds [%2]").arg(path, rig.sounding().join(QLatin1Char(',')))));
        }
    }

    void modifiers_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<bool>("selectFirst");
        QTest::addColumn<int>("modifiers");
        QTest::addColumn<int>("button");
        QTest::addColumn<bool>("doubleClick");
        QTest::addColumn<QString>("state");
        const int left = Qt::LeftButton;
        const int shift = Qt::ShiftModifier, ctrl = Qt::ControlModifier, alt = Qt::AltModifier;
        const struct { const char* path; const char* ratio; } balls[] = { { "/3", "3/2" }, { "/-2/7", "7/8" } };
        for (const auto& b : balls) {
            auto row = [&b](const char* name) -> QTestData& { return QTest::addRow("%s %s", b.path, name); };
            const QString path = QLatin1String(b.path);
            const QString r = QLatin1String(b.ratio);
            // Rows marked "selectFirst" start from the node selected while gliss one
            // moved to 0.8: selected, it follows the slider (offset 0); after a
            // reset its own gliss is the default 0.5, so it sits 0.3 below.
            const QString none = QStringLiteral("voices=[] transposition=1/1 selection=[] altered=[] own=[]");
            const QString selected = QStringLiteral("voices=[] transposition=1/1 selection=[%1] altered=[%1] own=[0.00]").arg(r);
            const QString sounding = QStringLiteral("voices=[%1] transposition=1/1 selection=[] altered=[] own=[]").arg(r);
            row("plain") << path << false << 0 << left << false << sounding;
            row("double click") << path << false << 0 << left << true << sounding;
            row("shift") << path << false << shift << left << false << QStringLiteral("voices=[] transposition=%1 selection=[] altered=[] own=[]").arg(r);
            row("alt") << path << false << alt << left << false << selected;
            row("ctrl") << path << true << ctrl << left << false << QStringLiteral("voices=[] transposition=1/1 selection=[%1] altered=[%1] own=[-0.30]").arg(r);
            row("alt+ctrl") << path << true << (alt | ctrl) << left << false << none;
            row("alt+ctrl+shift") << path << true << (alt | ctrl | shift) << left << false << none;
            row("shift+ctrl") << path << true << (shift | ctrl) << left << false << selected;
            row("right") << path << false << 0 << int(Qt::RightButton) << false << none;
        }
    }

    void modifiers()
    {
        QFETCH(QString, path);
        QFETCH(bool, selectFirst);
        QFETCH(int, modifiers);
        QFETCH(int, button);
        QFETCH(bool, doubleClick);
        QFETCH(QString, state);
        PageRig rig(1);
        WendleBallWidget* w = rig.item(path);
        QVERIFY(w);
        if (selectFirst) {
            rig.click(w, Qt::AltModifier);
            rig.post(WendleEvent(SetGlissOne, 0.8f));
        }
        const auto mods = Qt::KeyboardModifiers(modifiers);
        if (doubleClick) {
            // Press, release, double click, release: as the window system delivers one.
            const QPoint at = rig.viewportPoint(w);
            QTest::mouseClick(rig.view()->viewport(), Qt::MouseButton(button), mods, at);
            QTest::mouseDClick(rig.view()->viewport(), Qt::MouseButton(button), mods, at);
            QTest::mouseRelease(rig.view()->viewport(), Qt::MouseButton(button), mods, at);
            rig.run();
        } else {
            rig.click(w, mods, Qt::MouseButton(button));
        }
        QCOMPARE(engineState(rig), state);
    }

    // What a click sounds, measured: the engine plays 440 Hz times the path's ratio.
    void clickSoundsItsPitch()
    {
        PageRig rig(0);
        PatchFolder folder(16, QStringLiteral("Sine.pd"));
        QVERIFY(folder.isValid());
        QVERIFY(rig.player.loadPendingPatch(folder.path(), QStringLiteral("wendle_main.pd")));
        rig.post(WendleEvent(MasterVolumeSet, 0.8f));
        const struct { const char* path; double frequency; } cases[] = { { "/3", 660.0 }, { "/-2/7", 385.0 } };
        for (const auto& c : cases) {
            rig.click(rig.item(QLatin1String(c.path)));
            // A second of 256-frame callbacks, interleaved stereo.
            std::vector<float> out(size_t(188) * 256 * 2);
            for (size_t i = 0; i < out.size(); i += 256 * 2)
                rig.player.processCallback(out.data() + i, 256, false);
            // Past the first tenth of a second, where the voice settles.
            const std::vector<float> tail(out.begin() + 9600, out.end());
            const double cents = 1200.0 * std::log2(SignalMeasure::zeroCrossingFrequency(tail, 48000) / c.frequency);
            QVERIFY2(std::fabs(cents) < 0.1, qPrintable(QStringLiteral("%1: %2 cents").arg(QLatin1String(c.path)).arg(cents)));
            rig.click(rig.item(QLatin1String(c.path)));
        }
        rig.player.unloadPatch();
    }

    void dragOnEmptySpacePans()
    {
        PageRig rig(0);
        WendleView* view = rig.view();
        const double twice = 2 * view->fitScale();
        view->setTransform(QTransform::fromScale(twice, twice));
        // A spot with nothing drawn near it (the groups' rectangles span everything).
        const auto drawnNear = [view](const QPoint& p) {
            for (QGraphicsItem* i : view->items(QRect(p - QPoint(30, 30), QSize(60, 60)))) {
                if (dynamic_cast<QAbstractGraphicsShapeItem*>(i) || dynamic_cast<QGraphicsLineItem*>(i))
                    return true;
            }
            return false;
        };
        QPoint empty;
        for (int y = 40; y < view->viewport()->height() - 40 && empty.isNull(); y += 10) {
            for (int x = 40; x < view->viewport()->width() - 40 && empty.isNull(); x += 10) {
                if (!drawnNear(QPoint(x, y)))
                    empty = QPoint(x, y);
            }
        }
        QVERIFY(!empty.isNull());
        const int freeBefore = rig.player.guiCommandBuffer().freeCommandSlots();
        const QPointF centreBefore = view->mapToScene(view->viewport()->rect().center());
        QTest::mousePress(view->viewport(), Qt::LeftButton, {}, empty);
        QTest::mouseMove(view->viewport(), empty + QPoint(40, 30));
        QTest::mouseRelease(view->viewport(), Qt::LeftButton, {}, empty + QPoint(40, 30));
        const QPointF moved = view->mapToScene(view->viewport()->rect().center()) - centreBefore;
        // The scene moves with the hand: 40 and 30 pixels at the view's scale.
        QVERIFY2(QLineF(moved, QPointF(-40, -30) / twice).length() < 1, qPrintable(QStringLiteral("%1,%2").arg(moved.x()).arg(moved.y())));
        QCOMPARE(view->centre(), view->mapToScene(QPoint((view->viewport()->width() - 1) / 2, (view->viewport()->height() - 1) / 2)));
        QCOMPARE(rig.player.guiCommandBuffer().freeCommandSlots(), freeBefore);
        QCOMPARE(view->viewport()->cursor().shape(), Qt::ArrowCursor);
    }

    void pinchZoom()
    {
        PageRig rig(0);
        WendleView* view = rig.view();
        const double fit = view->fitScale();
        QVERIFY(fit > 0 && std::isfinite(fit));
        QCOMPARE(view->currentScale(), fit);

        pinch(view, 100, 200);
        QVERIFY(std::fabs(view->currentScale() / fit - 2.0) < 0.05);
        QCOMPARE(view->transform().m11(), view->currentScale());

        // A resize keeps the zoom relative to the fit.
        const double zoom = view->currentScale() / fit;
        rig.page.resize(700, 400);
        QTRY_VERIFY(view->fitScale() != fit);
        QVERIFY(std::fabs(view->currentScale() / view->fitScale() - zoom) < 1e-9);

        // Below the fit is not allowed: the gesture ends at the fit.
        pinch(view, 300, 40);
        QCOMPARE(view->currentScale(), view->fitScale());
        QCOMPARE(view->transform().m11(), view->fitScale());
    }

    void fingersOtherThanTwo()
    {
        PageRig rig(0);
        WendleView* view = rig.view();
        const double scale = view->currentScale();
        const QPoint at = rig.viewportPoint(rig.item("/3"));
        // One finger is not a pinch: it reaches the ball as a click.
        QTest::touchEvent(view->viewport(), mTouch).press(0, at);
        QTest::touchEvent(view->viewport(), mTouch).release(0, at);
        rig.run();
        QCOMPARE(rig.sounding(), QStringList { "3/2" });
        rig.click(rig.item("/3"));
        // Three fingers are swallowed.
        QTest::touchEvent(view->viewport(), mTouch).press(0, at).press(1, at + QPoint(30, 0)).press(2, at + QPoint(0, 30));
        QTest::touchEvent(view->viewport(), mTouch).move(0, at + QPoint(-40, 0)).move(1, at + QPoint(70, 0)).move(2, at + QPoint(0, 70));
        QTest::touchEvent(view->viewport(), mTouch).release(0, at).release(1, at).release(2, at);
        rig.run();
        QVERIFY(rig.sounding().isEmpty());
        QCOMPARE(view->currentScale(), scale);
    }

    // No area and no spread never divide by zero: the scale stays, finite.
    void degenerateGeometry()
    {
        PageRig rig(0);
        WendleView* view = rig.view();
        const double scale = view->currentScale();
        const QPoint c = view->viewport()->rect().center();
        QTest::touchEvent(view->viewport(), mTouch).press(0, c).press(1, c);
        for (int i = 1; i <= 6; ++i)
            QTest::touchEvent(view->viewport(), mTouch).move(0, c - QPoint(10 * i, 0)).move(1, c + QPoint(10 * i, 0));
        QTest::touchEvent(view->viewport(), mTouch).release(0, c - QPoint(60, 0)).release(1, c + QPoint(60, 0));
        QCOMPARE(view->currentScale(), scale);
        QVERIFY(finiteTransform(view->transform()));

        WendleView bare;
        bare.setLattice(&rig.lattice);
        bare.rebuildScene(0);
        bare.resize(300, 200);
        bare.show();
        QVERIFY(QTest::qWaitForWindowExposed(&bare));
        const double before = bare.currentScale();
        bare.resize(0, 0);
        QTRY_VERIFY(bare.width() == 0 || bare.height() == 0 || bare.fitScale() != before);
        QVERIFY(finiteTransform(bare.transform()));
        QVERIFY(bare.currentScale() > 0 && std::isfinite(bare.currentScale()));

        WendleView empty;
        empty.rebuildScene(1);
        empty.resize(200, 100);
        empty.show();
        QVERIFY(QTest::qWaitForWindowExposed(&empty));
        QCOMPARE(empty.currentScale(), 1.0);
        QVERIFY(finiteTransform(empty.transform()));
    }
};

QTEST_MAIN(TestWendleView)
#include "tst_wendleview.moc"
