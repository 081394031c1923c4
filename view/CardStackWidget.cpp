#include "CardStackWidget.h"

#include "CardConnectorOverlay.h"
#include "CardWidget.h"
#include "WendleBallWidget.h"
#include "WendleView.h"

#include <algorithm>

CardStackWidget::CardStackWidget(QWidget* parent)
    : QWidget(parent)
{
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Expanding);
    setFocusPolicy(Qt::NoFocus);
}

CardStackWidget::~CardStackWidget() = default;

void CardStackWidget::addCard(WendleBallWidget* ball)
{
    if (!ball || !ball->ball())
        return;
    // An enabled signal while sounding comes on top of the playing one.
    if (CardWidget* card = mCards.value(ball)) {
        placeCard(ball, card);
        card->show();
        return;
    }
    auto card = new CardWidget(ball->ball(), this);
    card->adjustSize();
    placeCard(ball, card);
    card->show();
    if (mCardOverlay)
        mCardOverlay->addPair(ball, card);
    mCards.insert(ball, card);
}

void CardStackWidget::removeCard(WendleBallWidget* ball)
{
    CardWidget* card = mCards.take(ball);
    if (!card)
        return;
    card->hide();
    if (mCardOverlay)
        mCardOverlay->removePair(ball);
    delete card;
}

void CardStackWidget::raiseCard(WendleBallWidget* ball)
{
    if (CardWidget* card = mCards.value(ball))
        card->raise();
}

void CardStackWidget::placeCard(WendleBallWidget* ball, CardWidget* card)
{
    if (!mView || !ball || !card)
        return;
    // The view's viewport and this stack share their vertical origin.
    const QPoint p = mView->mapFromScene(ball->scenePos());
    int y = std::max(0, p.y() - card->height() / 2);
    const int limit = height() - mBottomReserve;
    if (y + card->height() > limit)
        y = limit - card->height();
    card->move(0, y);
}

void CardStackWidget::rebuildCards()
{
    // As removeCard and addCard, but each card is built again in its old
    // widget: a new one would be polished by the style sheet again, which is
    // most of what a card costs.
    const QList<WendleBallWidget*> balls = mCards.keys();
    for (WendleBallWidget* ball : balls) {
        if (!ball->ball()) {
            removeCard(ball);
            continue;
        }
        CardWidget* card = mCards.take(ball);
        if (mCardOverlay)
            mCardOverlay->removePair(ball);
        card->rebuild();
        placeCard(ball, card);
        // Stacked as new cards would be: each on top of those built before it.
        card->raise();
        if (mCardOverlay)
            mCardOverlay->addPair(ball, card);
        mCards.insert(ball, card);
    }
}

void CardStackWidget::updatePositions()
{
    for (auto it = mCards.cbegin(); it != mCards.cend(); ++it)
        placeCard(it.key(), it.value());
}
