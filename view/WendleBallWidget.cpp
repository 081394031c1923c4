#include "WendleBallWidget.h"

#include "CardStackWidget.h"
#include "EngineCommandType.h"
#include "TweakConstants.h"
#include "ViewContext.h"
#include "Wendle.h"
#include "WendleBall.h"
#include "WendleStrutWidget.h"
#include "WendleWidget.h"

#include <QDebug>
#include <QGraphicsEllipseItem>
#include <QGraphicsSceneMouseEvent>
#include <QPen>
#include <QTimer>
#include <algorithm>

WendleBallWidget::WendleBallWidget(WendleBall* ball, WendleWidget* rootGroup, int diameter, QGraphicsItem* parent)
    : QGraphicsItemGroup(parent)
    // Main balls (the drawing's own 28, whatever the constant says) get
    // tighter rings than leaves.
    , mParts(this, diameter, diameter == 28 ? 1.25 : 1.6, diameter == 28 ? 1.25 : 1.6, 10)
    , mBall(ball)
    , mRootGroup(rootGroup)
    , mNoteEvent(TogglePathNote, 1.0f, ball->path, WendleRatio())
    , mTransposeEvent(TransposeByRatio, 1.0f, WendleRatio(ball->path))
    , mSelectEvent(ToggleNodeSelection, 1.0f, WendleRatio(ball->path))
    , mResetEvent(ResetNode, 0.0f, WendleRatio(ball->path))
    , mResetAndDeselectEvent(ResetNode, 1.0f, WendleRatio(ball->path))
    , mDiameter(diameter)
{
    // Its parent (the drawing's root or a leaf group) passes clicks on as well.
    setHandlesChildEvents(false);
    setAcceptHoverEvents(true);
    updateLook();
    setFlag(QGraphicsItem::ItemClipsToShape);
    connect(ball, &WendleBall::playingChanged, this, &WendleBallWidget::onPlayingChanged, Qt::DirectConnection);
    connect(ball, &WendleBall::enabledChanged, this, &WendleBallWidget::onEnabledChanged, Qt::DirectConnection);
    connect(ball, &WendleBall::selectedChanged, this, &WendleBallWidget::onSelectedChanged, Qt::DirectConnection);
    connect(ball, &WendleBall::holdChanged, this, &WendleBallWidget::onHoldChanged, Qt::DirectConnection);
    connect(ball, &WendleBall::alteredChanged, this, &WendleBallWidget::onAlteredChanged, Qt::DirectConnection);
    setFiltersChildEvents(true);

    // A switched-off prime stays hidden when the drawing is built again.
    if (!ball->enabled)
        hide();
}

WendleBallWidget::~WendleBallWidget() = default;

QRectF WendleBallWidget::boundingRect() const
{
    return mParts.body->boundingRect();
}

void WendleBallWidget::updateLook()
{
    if (!mBall)
        return;
    const WendleBall& b = *mBall;
    const Wendle* lattice = mRootGroup->lattice;
    const QList<int> transposition = lattice ? lattice->transpositionPath() : QList<int>();
    auto colourOf = [lattice](int prime) { return lattice ? lattice->primeColor(prime) : QColor(Qt::white); };
    const qint32 view = ViewContext::absRelView();

    if (view <= 0) {
        if (b.path.isEmpty()) {
            if (!transposition.isEmpty() && ViewContext::centralNodeColourRelativeMode())
                setRingColour(QColor(158, 158, 158, 255), true);
            else
                setRingColour(colourOf(1), true);
        } else {
            setRingColour(b.colour, false);
        }
        if (b.lastPrime() <= 3)
            updateStrutPens(false);
    } else if (view == 1) {
        const auto high = std::count_if(transposition.begin(), transposition.end(), [](int s) { return std::abs(s) > 3; });
        const int k = b.colourPrime();
        if (k == 32) {
            setRingColour(b.colour, false);
        } else if (k <= 3 || high < 2) {
            setRingColour(colourOf(k), k == 1);
            if (k <= 3)
                updateStrutPens(true);
        } else {
            setRingColour(colourOf(0), false);
        }
    } else {
        const QList<int> steps = b.absoluteSteps();
        const QList<int> own = b.path.toList();
        if (steps.isEmpty()) {
            setRingColour(colourOf(1), true);
            updateStrutPens(true);
        } else if (std::any_of(own.begin(), own.end(), [](int s) { return std::abs(s) >= 4; })) {
            setRingColour(b.colour, false);
        } else {
            int k = 0;
            for (int s : steps)
                k = std::max(k, std::abs(s));
            setRingColour(colourOf(k), k == 1);
            if (k <= 3)
                updateStrutPens(true);
        }
    }
    mParts.selectionRing->setVisible(b.selected);
    mParts.holdDot->setVisible(b.hold);
    mParts.alteredRing->setVisible(b.altered);
}

void WendleBallWidget::setRingColour(const QColor& c, bool central)
{
    mParts.setColour(c, mBall && mBall->playing, central);
}

void WendleBallWidget::updateStrutPens(bool absolute)
{
    if (!mBall)
        return;
    const int prime = absolute ? mBall->colourPrime() : mBall->lastPrime();
    for (WendleStrutWidget* strut : std::as_const(mStruts)) {
        const QLineF l = strut->line();
        // Lines towards the upper left or lower right: with the usual angles, the octave struts.
        if (float(l.y2() - l.y1()) * float(l.x2() - l.x1()) > 0.0f) {
            QPen pen = strut->pen();
            pen.setWidth(prime > 2 ? LINK_WIDTH : STRUT_WIDTH);
            strut->setPen(pen);
        }
    }
}

void WendleBallWidget::onPlayingChanged()
{
    updateLook();
    if (!mBall || !mBall->enabled || !mRootGroup->cardStack)
        return;
    if (mBall->playing)
        mRootGroup->cardStack->addCard(this);
    else
        mRootGroup->cardStack->removeCard(this);
}

void WendleBallWidget::onEnabledChanged(bool enabled)
{
    setVisible(enabled);
    for (WendleStrutWidget* strut : std::as_const(mStruts))
        strut->updateVisibility();
    if (!mBall || !mBall->playing || !mRootGroup->cardStack)
        return;
    if (enabled)
        mRootGroup->cardStack->addCard(this);
    else
        mRootGroup->cardStack->removeCard(this);
}

void WendleBallWidget::onSelectedChanged(bool selected)
{
    mParts.selectionRing->setVisible(selected);
}

void WendleBallWidget::onHoldChanged(bool hold)
{
    mParts.holdDot->setVisible(hold);
}

void WendleBallWidget::onAlteredChanged(bool altered)
{
    mParts.alteredRing->setVisible(altered);
}

void WendleBallWidget::mousePressEvent(QGraphicsSceneMouseEvent* event)
{
    event->accept();
    if (event->button() != Qt::LeftButton || !mBall)
        return;
    const Qt::KeyboardModifiers mods =
        event->modifiers() & (Qt::ShiftModifier | Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier);
    const WendleEvent* post = nullptr;
    if ((mods & Qt::AltModifier) && (mods & Qt::ControlModifier)) {
        qDebug() << "WendleBall: Alt + Ctrl + mouse click.";
        post = &mResetAndDeselectEvent;
    } else if (mods == Qt::NoModifier) {
        post = &mNoteEvent;
    } else if (mods == Qt::ShiftModifier) {
        post = &mTransposeEvent;
    } else if (mods == Qt::AltModifier) {
        post = &mSelectEvent;
    } else if (mods == Qt::ControlModifier) {
        post = &mResetEvent;
    }
    if (post)
        ViewContext::post(post);
}

void WendleBallWidget::mouseDoubleClickEvent(QGraphicsSceneMouseEvent*)
{
    // The press that began the double click has acted already.
}

bool WendleBallWidget::soundingAndEnabled() const
{
    return mBall && mBall->playing && mBall->enabled;
}

void WendleBallWidget::raiseCard()
{
    if (mRootGroup->cardStack)
        mRootGroup->cardStack->raiseCard(this);
}

void WendleBallWidget::hoverEnterEvent(QGraphicsSceneHoverEvent* event)
{
    QGraphicsItemGroup::hoverEnterEvent(event);
    if (!soundingAndEnabled())
        return;
    if (mDiameter != 28) {
        raiseCard();
        return;
    }
    // A main ball's card comes forward only when the mouse rests on it; the
    // timer dies with this item, and the window never waits for it.
    QTimer::singleShot(HoverDelayMs, this, [this] {
        if (isUnderMouse())
            raiseCard();
    });
}

bool WendleBallWidget::sceneEventFilter(QGraphicsItem*, QEvent* event)
{
    if (event->type() == QEvent::GraphicsSceneHoverLeave && soundingAndEnabled() && mParts.body->isUnderMouse())
        raiseCard();
    return false;
}
