#include "CardStackWidget.h"

#include "CardConnectorOverlay.h"

CardStackWidget::CardStackWidget(QWidget* parent)
    : QWidget(parent)
{
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Expanding);
    setFocusPolicy(Qt::NoFocus);
}

CardStackWidget::~CardStackWidget() = default;

// The index records which ball items sound; no card widget is made for them yet.

void CardStackWidget::addCard(WendleBallWidget* ball)
{
    if (!ball || mCards.contains(ball))
        return;
    mCards.insert(ball, nullptr);
    if (mCardOverlay)
        mCardOverlay->addPair(ball, nullptr);
}

void CardStackWidget::removeCard(WendleBallWidget* ball)
{
    if (!mCards.contains(ball))
        return;
    if (mCardOverlay)
        mCardOverlay->removePair(ball);
    mCards.remove(ball);
}

void CardStackWidget::raiseCard(WendleBallWidget*)
{
    // No card widget exists yet to bring forward.
}

void CardStackWidget::updatePositions()
{
    // No card widget exists yet to place.
}
