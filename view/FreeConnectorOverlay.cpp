#include "FreeConnectorOverlay.h"

FreeConnectorOverlay::FreeConnectorOverlay(QWidget* parent)
    : QWidget(parent)
{
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setFocusPolicy(Qt::NoFocus);
}

FreeConnectorOverlay::~FreeConnectorOverlay() = default;

void FreeConnectorOverlay::addNode(FreeBallWidget* ball)
{
    if (!mBalls.contains(ball))
        mBalls.append(ball);
    update();
}

void FreeConnectorOverlay::removeNode(FreeBallWidget* ball)
{
    mBalls.removeAll(ball);
    update();
}
