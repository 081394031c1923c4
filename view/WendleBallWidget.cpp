#include "WendleBallWidget.h"

#include "CardStackWidget.h"
#include "EngineCommandType.h"
#include "TweakConstants.h"
#include "ViewContext.h"
#include "Wendle.h"
#include "WendleBall.h"
#include "WendleStrutWidget.h"
#include "WendleWidget.h"

#include <QBrush>
#include <QDebug>
#include <QGraphicsEllipseItem>
#include <QGraphicsSceneMouseEvent>
#include <QPen>
#include <QRadialGradient>
#include <QTimer>
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

} // namespace

WendleBallWidget::WendleBallWidget(WendleBall* ball, WendleWidget* rootGroup, int diameter, QGraphicsItem* parent)
    : QGraphicsItemGroup(parent)
    , mBall(ball)
    , mRootGroup(rootGroup)
    , mNoteEvent(TogglePathNote, 1.0f, ball->path, WendleRatio())
    , mTransposeEvent(TransposeByRatio, 1.0f, WendleRatio(ball->path))
    , mSelectEvent(ToggleNodeSelection, 1.0f, WendleRatio(ball->path))
    , mResetEvent(ResetNode, 0.0f, WendleRatio(ball->path))
    , mResetAndDeselectEvent(ResetNode, 1.0f, WendleRatio(ball->path))
    , mDiameter(diameter)
{
    // Main balls (the drawing's own 28, whatever the constant says) get
    // tighter rings than leaves.
    const double d = diameter;
    const double ring = diameter == 28 ? 1.25 : 1.6;

    // Its parent (the drawing's root or a leaf group) passes clicks on as well.
    setHandlesChildEvents(false);
    setAcceptHoverEvents(true);

    mBody = ellipse(d, this);

    mSelectionRing = ellipse(d * ring, this);
    mSelectionRing->setBrush(QBrush(Qt::gray));
    mSelectionRing->setZValue(10);
    mSelectionRing->hide();

    mAlteredRing = ellipse(d * ring, this);
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
    QRadialGradient gradient(QPointF(0, 0), glow / 2);
    gradient.setColorAt(0.0, QColor(255, 255, 255, std::clamp(GLOW_ALPHA_START, 0, 255)));
    gradient.setColorAt(1.0, QColor(255, 255, 255, 0));
    mGlow->setBrush(gradient);
    mGlow->hide();

    mBody->setZValue(20);
    mGlow->setZValue(10);

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
    return mBody->boundingRect();
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
    mSelectionRing->setVisible(b.selected);
    mHoldDot->setVisible(b.hold);
    mAlteredRing->setVisible(b.altered);
}

void WendleBallWidget::setRingColour(const QColor& c, bool central)
{
    QColor fill;
    QPen outline;
    if (mBall && mBall->playing) {
        outline.setWidth(int(mBody->rect().width() / 10));
        if (central) {
            fill = c;
            outline.setColor(c.lighter(200));
        } else {
            fill = c.lighter(BALL_BRIGHTEN_FACTOR);
            outline.setColor(c.lighter(OUTLINE_BRIGHTEN_FACTOR));
        }
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
    mSelectionRing->setVisible(selected);
}

void WendleBallWidget::onHoldChanged(bool hold)
{
    mHoldDot->setVisible(hold);
}

void WendleBallWidget::onAlteredChanged(bool altered)
{
    mAlteredRing->setVisible(altered);
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
    if (event->type() == QEvent::GraphicsSceneHoverLeave && soundingAndEnabled() && mBody->isUnderMouse())
        raiseCard();
    return false;
}
