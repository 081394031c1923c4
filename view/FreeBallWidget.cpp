#include "FreeBallWidget.h"

#include "CardStackTwoWidget.h"
#include "CardWidget.h"
#include "EngineCommandType.h"
#include "NodeStackWidget.h"
#include "ViewContext.h"
#include "Wendle.h"
#include "WendleTransposeEvent.h"
#include "WendleView.h"

#include <QGraphicsEllipseItem>
#include <QGraphicsSceneMouseEvent>

namespace {

const Wendle* latticeOf(const NodeStackWidget* stack)
{
    return stack && stack->view() ? stack->view()->lattice() : nullptr;
}

} // namespace

FreeBallWidget::FreeBallWidget(NodeStackWidget* nodeStack, const WendleRatio& ratio, int diameter)
    : QGraphicsItemGroup(nullptr)
    , mParts(this, diameter, 1.6, 1.4, 5)
    , mNodeStack(nodeStack)
    , mRatio(ratio)
    , mNoteEvent(ToggleRatioNote, 2.0f, WendlePath(), ratio)
    , mSelectEvent(ToggleNodeSelection, 1.0f, relative())
    , mResetEvent(ResetNode, 0.0f, relative())
    , mResetAndDeselectEvent(ResetNode, 1.0f, relative())
    , mRemoveEvent(RemoveNode, 1.0f, ratio)
    , mDiameter(diameter)
{
    setAcceptHoverEvents(true);
    mParts.glow->setAcceptedMouseButtons(Qt::NoButton);
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
    return mParts.body->boundingRect();
}

double FreeBallWidget::hitRadius() const
{
    const double w = mParts.body->rect().width();
    return w / 2 + w / 10;
}

void FreeBallWidget::updateLook()
{
    const WendleRatio shown = ViewContext::absRelView() <= 0 ? relative() : mRatio;
    const int k = highestPrime(shown.toSteps().get());
    const Wendle* lattice = latticeOf(mNodeStack);
    setRingColour(lattice ? lattice->primeColor(k) : QColor(Qt::white));
    mParts.selectionRing->setVisible(mSelected);
    mParts.holdDot->setVisible(mHold);
    mParts.alteredRing->setVisible(mAltered);
}

void FreeBallWidget::setRingColour(const QColor& c)
{
    mParts.setColour(c, mPlaying, false);
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
    mParts.selectionRing->setVisible(selected);
}

void FreeBallWidget::setHold(bool hold)
{
    mHold = hold;
    mParts.holdDot->setVisible(hold);
}

void FreeBallWidget::setAltered(bool altered)
{
    mAltered = altered;
    mParts.alteredRing->setVisible(altered);
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
