#include "FreeBallWidget.h"

#include "CardStackTwoWidget.h"
#include "CardWidget.h"
#include "EngineCommandType.h"
#include "NodeStackWidget.h"
#include "TweakConstants.h"
#include "ViewContext.h"
#include "Wendle.h"
#include "WendleTransposeEvent.h"
#include "WendleView.h"

#include <QBrush>
#include <QGraphicsEllipseItem>
#include <QGraphicsSceneMouseEvent>
#include <QPen>
#include <QRadialGradient>
#include <algorithm>

namespace {

QGraphicsEllipseItem* ellipse(double diameter, QGraphicsItem* parent)
{
    return new QGraphicsEllipseItem(-diameter / 2, -diameter / 2, diameter, diameter, parent);
}

QPen ringPen(const QColor& colour)
{
    return QPen(QBrush(colour), 1.0, Qt::SolidLine, Qt::SquareCap, Qt::BevelJoin);
}

const Wendle* latticeOf(const NodeStackWidget* stack)
{
    return stack && stack->view() ? stack->view()->lattice() : nullptr;
}

} // namespace

FreeBallWidget::FreeBallWidget(NodeStackWidget* nodeStack, const WendleRatio& ratio, int diameter)
    : QGraphicsItemGroup(nullptr)
    , mNodeStack(nodeStack)
    , mRatio(ratio)
    , mNoteEvent(ToggleRatioNote, 2.0f, WendlePath(), ratio)
    , mSelectEvent(ToggleNodeSelection, 1.0f, relative())
    , mResetEvent(ResetNode, 0.0f, relative())
    , mResetAndDeselectEvent(ResetNode, 1.0f, relative())
    , mRemoveEvent(RemoveNode, 1.0f, ratio)
    , mDiameter(diameter)
{
    const double d = diameter;
    setAcceptHoverEvents(true);

    mBody = ellipse(d, this);

    mSelectionRing = ellipse(d * 1.6, this);
    mSelectionRing->setBrush(QBrush(Qt::gray));
    mSelectionRing->setZValue(5);
    mSelectionRing->hide();

    mAlteredRing = ellipse(d * 1.4, this);
    mAlteredRing->setBrush(Qt::transparent);
    mAlteredRing->setPen(ringPen(Qt::black));
    mAlteredRing->setZValue(-10);
    mAlteredRing->hide();

    mHoldDot = ellipse(d * 0.3, this);
    mHoldDot->setBrush(QBrush(Qt::gray));
    mHoldDot->setZValue(100);
    mHoldDot->hide();

    const double glow = d * BALL_GLOW_SIZE_FACTOR / 100.0;
    mGlow = ellipse(glow, this);
    mGlow->setPen(Qt::NoPen);
    mGlow->setAcceptedMouseButtons(Qt::NoButton);
    QRadialGradient gradient(QPointF(0, 0), glow / 2);
    gradient.setColorAt(0.0, QColor(255, 255, 255, std::clamp(GLOW_ALPHA_START, 0, 255)));
    gradient.setColorAt(1.0, QColor(255, 255, 255, 0));
    mGlow->setBrush(gradient);
    mGlow->hide();

    mBody->setZValue(20);
    mGlow->setZValue(10);

    updateLook();
    setFlag(QGraphicsItem::ItemClipsToShape);
}

FreeBallWidget::~FreeBallWidget() = default;

WendleRatio FreeBallWidget::relative() const
{
    const Wendle* lattice = latticeOf(mNodeStack);
    if (!lattice)
        return mRatio;
    const Rational t = lattice->transpositionRatio.ratio;
    Rational r;
    if (t.numerator() == 0 || !WendleRatio::multiplyExact(mRatio.ratio, Rational(t.denominator(), t.numerator()), r))
        return WendleRatio();
    return WendleRatio(r);
}

QRectF FreeBallWidget::boundingRect() const
{
    return mBody->boundingRect();
}

double FreeBallWidget::hitRadius() const
{
    const double w = mBody->rect().width();
    return w / 2 + w / 10;
}

void FreeBallWidget::updateLook()
{
    const WendleRatio shown = ViewContext::absRelView() <= 0 ? relative() : mRatio;
    const int k = highestPrime(shown.toSteps().get());
    const Wendle* lattice = latticeOf(mNodeStack);
    setRingColour(lattice ? lattice->primeColor(k) : QColor(Qt::white));
    mSelectionRing->setVisible(mSelected);
    mHoldDot->setVisible(mHold);
    mAlteredRing->setVisible(mAltered);
}

void FreeBallWidget::setRingColour(const QColor& c)
{
    QColor fill;
    QPen outline;
    if (mPlaying) {
        outline.setWidth(int(mBody->rect().width() / 10));
        fill = c.lighter(BALL_BRIGHTEN_FACTOR);
        outline.setColor(c.lighter(OUTLINE_BRIGHTEN_FACTOR));
        mGlow->show();
    } else {
        fill = c.darker(BALL_DIM_FACTOR);
        outline = QPen(QColor(0, 0, 0, 128), 0);
        mGlow->hide();
    }
    mBody->setPen(outline);
    mBody->setBrush(QBrush(fill));
    mAlteredRing->setPen(ringPen(c));
}

void FreeBallWidget::setPlayingState(bool on)
{
    mPlaying = on;
    updateLook();
}

void FreeBallWidget::togglePlayingState()
{
    mPlaying = !mPlaying;
    updateLook();
}

void FreeBallWidget::setSelected(bool selected)
{
    mSelected = selected;
    mSelectionRing->setVisible(selected);
}

void FreeBallWidget::setHold(bool hold)
{
    mHold = hold;
    mHoldDot->setVisible(hold);
}

void FreeBallWidget::setAltered(bool altered)
{
    mAltered = altered;
    mAlteredRing->setVisible(altered);
}

void FreeBallWidget::mousePressEvent(QGraphicsSceneMouseEvent* event)
{
    event->accept();
    const Qt::KeyboardModifiers mods =
        event->modifiers() & (Qt::ShiftModifier | Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier);
    if (event->button() == Qt::RightButton) {
        ViewContext::post(&mRemoveEvent);
        return;
    }
    if (event->button() != Qt::LeftButton)
        return;
    if ((mods & Qt::AltModifier) && (mods & Qt::ControlModifier)) {
        ViewContext::post(&mResetAndDeselectEvent);
    } else if (mods == Qt::NoModifier) {
        ViewContext::post(&mNoteEvent);
    } else if (mods == Qt::ShiftModifier) {
        const WendleTransposeEvent transpose(TransposeByRatio, 1.0f, relative());
        ViewContext::post(&transpose);
    } else if (mods == Qt::AltModifier) {
        ViewContext::post(&mSelectEvent);
    } else if (mods == Qt::ControlModifier) {
        ViewContext::post(&mResetEvent);
    }
}

void FreeBallWidget::mouseDoubleClickEvent(QGraphicsSceneMouseEvent*)
{
    // The press that began the double click has acted already.
}

void FreeBallWidget::hoverEnterEvent(QGraphicsSceneHoverEvent* event)
{
    QGraphicsItemGroup::hoverEnterEvent(event);
    if (!mNodeStack)
        return;
    FreeBallWidget* self = mNodeStack->index().value(mRatio);
    if (self) {
        const QList<QGraphicsItem*> touching = self->collidingItems(Qt::IntersectsItemShape);
        for (QGraphicsItem* item : touching) {
            if (!item->parentItem())
                item->stackBefore(self);
        }
        mNodeStack->viewport()->repaint();
    }
    if (!mPlaying || !mNodeStack->cardStackTwo())
        return;
    if (CardWidget* card = mNodeStack->cardStackTwo()->cards().value(mRatio))
        card->raise();
}

bool FreeBallWidget::sceneEventFilter(QGraphicsItem*, QEvent*)
{
    return false;
}
