#include "CardConnectorOverlay.h"

CardConnectorOverlay::CardConnectorOverlay(QWidget* parent)
    : QWidget(parent)
{
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setFocusPolicy(Qt::NoFocus);
}

CardConnectorOverlay::~CardConnectorOverlay() = default;

void CardConnectorOverlay::addPair(WendleBallWidget* ball, CardWidget* card)
{
    mPairs.insert(ball, card);
    update();
}

void CardConnectorOverlay::removePair(WendleBallWidget* ball)
{
    mPairs.remove(ball);
    update();
}
