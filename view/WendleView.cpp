#include "WendleView.h"

#include "CardStackTwoWidget.h"
#include "CardStackWidget.h"
#include "NodeStackWidget.h"
#include "TweakConstants.h"
#include "Wendle.h"
#include "WendleBall.h"
#include "WendleBallWidget.h"
#include "WendleStrutWidget.h"
#include "WendleWidget.h"

#include <QDebug>
#include <QLineF>
#include <QMouseEvent>
#include <QResizeEvent>
#include <QTouchEvent>
#include <algorithm>
#include <cmath>

WendleView::WendleView(QWidget* parent)
    : QGraphicsView(parent)
{
    setRenderHints(QPainter::Antialiasing | QPainter::TextAntialiasing | QPainter::SmoothPixmapTransform);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setScene(new QGraphicsScene(this));
    setFocusPolicy(Qt::NoFocus);
    viewport()->setAttribute(Qt::WA_AcceptTouchEvents);
    setDragMode(QGraphicsView::ScrollHandDrag);
    viewport()->setCursor(Qt::ArrowCursor);
    setTransformationAnchor(QGraphicsView::AnchorUnderMouse);
}

WendleView::~WendleView() = default;

void WendleView::rebuildScene(int mode)
{
    // The card stack keys its cards on the items about to be deleted.
    if (mRootGroup && mCardStack) {
        for (WendleBallWidget* item : std::as_const(mRootGroup->ballWidgets))
            mCardStack->removeCard(item);
    }
    scene()->clear();
    mRootGroup = nullptr;
    if (!mLattice || !mLattice->root)
        return;

    auto group = new WendleWidget(mode, mLattice, this, mCardStack);
    QHash<WendlePath, WendleBallWidget*> pathIndex;
    group->buildNode(mLattice->root, QPointF(0, 0), pathIndex);

    for (auto it = pathIndex.begin(); it != pathIndex.end(); ++it) {
        const WendleBall* ball = it.value()->ball();
        for (const WendleBall::Link& link : std::as_const(ball->links)) {
            // A link to a path the drawing has no main ball for has nowhere to end.
            WendleBallWidget* target = pathIndex.value(link.target);
            if (!target)
                continue;
            auto line = new WendleStrutWidget(it.value(), target, LINK_WIDTH, link.colour, group);
            line->setZValue(10);
        }
    }

    mRootGroup = group;
    scene()->addItem(group);
    group->setPos(0, 0);
    setSceneRect(group->sceneBoundingRect());

    // Held and sounding balls outlive the old items: their new items show their cards.
    if (mCardStack) {
        for (WendleBallWidget* item : std::as_const(group->ballWidgets)) {
            const WendleBall* ball = item->ball();
            if (ball && ball->playing && ball->enabled)
                mCardStack->addCard(item);
        }
    }
}

void WendleView::applyZoomStep(bool final)
{
    bool cards = false;
    bool all = false;
    switch (mZoomMode) {
    case 2: cards = final; break;
    case 3: all = final; break;
    case 4: cards = true; break;
    case 5: cards = !final; all = final; break;
    case 6: all = true; break;
    default: break;
    }
    if ((cards || all) && mCardStack)
        mCardStack->updatePositions();
    if (all && mCardStackTwo)
        mCardStackTwo->updatePositions();
    if (all && mNodeStack)
        mNodeStack->updatePositions();
}

void WendleView::resizeEvent(QResizeEvent* event)
{
    QGraphicsView::resizeEvent(event);
    const QRectF rect = sceneRect();
    const double fit = std::min(height() / rect.height(), width() / rect.width());
    // A view or drawing without area has no fit: the scale stays as it is.
    if (std::isfinite(fit) && fit > 0) {
        fitInView(rect, Qt::KeepAspectRatio);
        mCurrentScale *= fit / mFitScale;
        mPinchBaseScale *= fit / mFitScale;
        mFitScale = fit;
    }
    setTransform(QTransform::fromScale(mCurrentScale, mCurrentScale));
    centerOn(mCentre);
    emit resized();
}

bool WendleView::viewportEvent(QEvent* event)
{
    if (mZoomEnabled) {
        switch (event->type()) {
        case QEvent::TouchBegin:
        case QEvent::TouchUpdate:
        case QEvent::TouchEnd:
            return touchZoom(static_cast<QTouchEvent*>(event));
        default:
            break;
        }
    }
    return QGraphicsView::viewportEvent(event);
}

bool WendleView::touchZoom(QTouchEvent* event)
{
    const QList<QEventPoint>& points = event->points();
    if (points.size() == 1)
        return false;
    if (points.size() != 2)
        return true;

    const double pressed = QLineF(points[0].pressPosition(), points[1].pressPosition()).length();
    const double now = QLineF(points[0].position(), points[1].position()).length();
    ++mStepCount;
    // Two fingers pressed on one spot give no ratio: the scale stays as it is.
    const double ratio = now / pressed;
    if (pressed > 0 && std::isfinite(ratio))
        mCurrentScale = ratio * mPinchBaseScale;

    if (event->touchPointStates() & QEventPoint::Released) {
        mPinchBaseScale = mCurrentScale;
        mStepCount = mStepThreshold;
        if (mFitScale > mCurrentScale) {
            mPinchBaseScale = mFitScale;
            mCurrentScale = mFitScale;
        }
        applyScaleStep(mCurrentScale, true);
    } else if (mFitScale > mPinchBaseScale) {
        mPinchBaseScale = mFitScale;
        mCurrentScale = mFitScale;
        if (mStepCount < mStepThreshold)
            return true;
        applyScaleStep(mFitScale, false);
    } else {
        if (mStepCount < mStepThreshold)
            return true;
        // Never below the fit: such a step is counted but not applied.
        if (mCurrentScale >= mFitScale)
            applyScaleStep(mCurrentScale, false);
    }
    mStepCount = 0;
    qDebug() << "Zoom etc. - step executed. ";
    return true;
}

void WendleView::applyScaleStep(double scale, bool final)
{
    setTransform(QTransform::fromScale(scale, scale));
    mCentre = viewportCentreInScene();
    applyZoomStep(final);
}

QPointF WendleView::viewportCentreInScene() const
{
    return mapToScene(QPoint((viewport()->width() - 1) / 2, (viewport()->height() - 1) / 2));
}

void WendleView::mousePressEvent(QMouseEvent* event)
{
    QGraphicsView::mousePressEvent(event);
}

void WendleView::drawForeground(QPainter* painter, const QRectF& rect)
{
    QGraphicsView::drawForeground(painter, rect);
}

void WendleView::mouseMoveEvent(QMouseEvent* event)
{
    QGraphicsView::mouseMoveEvent(event);
    if (event->buttons() & Qt::LeftButton) {
        mCentre = viewportCentreInScene();
        applyZoomStep(false);
    }
}

void WendleView::mouseReleaseEvent(QMouseEvent* event)
{
    mCentre = viewportCentreInScene();
    applyZoomStep(true);
    QGraphicsView::mouseReleaseEvent(event);
    viewport()->setCursor(Qt::ArrowCursor);
}
