#include "CardConnectorOverlay.h"

#include "CardWidget.h"
#include "WendleBallWidget.h"
#include "WendleView.h"

#include <QGraphicsEllipseItem>
#include <QPainter>
#include <QStyleOption>

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

void CardConnectorOverlay::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    QStyleOption option;
    option.initFrom(this);
    style()->drawPrimitive(QStyle::PE_Widget, &option, &p, this);
    if (!mView)
        return;
    p.setPen(QPen(QColor(255, 255, 255, 0x40), 1, Qt::DotLine));
    QWidget* viewport = mView->viewport();
    const auto here = [&](const QPointF& scenePoint) {
        return mapFromGlobal(viewport->mapToGlobal(mView->mapFromScene(scenePoint)));
    };
    for (auto it = mPairs.cbegin(); it != mPairs.cend(); ++it) {
        const WendleBallWidget* ball = it.key();
        const CardWidget* card = it.value();
        if (!card)
            continue;
        const double w = ball->parts().body->rect().width();
        const double r = w / 2 + w / 10;
        const QPoint a = here(ball->scenePos() + QPointF(r, 0));
        const QPoint b = mapFromGlobal(card->mapToGlobal(QPoint(0, 0)));
        p.drawLine(a, QPoint(b.x(), a.y()));
        p.drawLine(QPoint(0, a.y()), here(ball->scenePos() - QPointF(r, 0)));
    }
}
