#include "BallParts.h"

#include "TweakConstants.h"

#include <QBrush>
#include <QGraphicsEllipseItem>
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

} // namespace

BallParts::BallParts(QGraphicsItem* ball, double diameter, double selectionRing, double alteredRing, double selectionZ)
    : body(ellipse(diameter, ball))
    , selectionRing(ellipse(diameter * selectionRing, ball))
    , alteredRing(ellipse(diameter * alteredRing, ball))
    , holdDot(ellipse(diameter * 0.3, ball))
    , glow(ellipse(diameter * BALL_GLOW_SIZE_FACTOR / 100.0, ball))
{
    this->selectionRing->setBrush(QBrush(Qt::gray));
    this->selectionRing->setZValue(selectionZ);
    this->selectionRing->hide();

    this->alteredRing->setBrush(Qt::transparent);
    this->alteredRing->setPen(ringPen(Qt::black));
    this->alteredRing->setZValue(-10);
    this->alteredRing->hide();

    holdDot->setBrush(QBrush(Qt::gray));
    holdDot->setZValue(100);
    holdDot->hide();

    const double radius = glow->rect().width() / 2;
    glow->setPen(Qt::NoPen);
    QRadialGradient gradient(QPointF(0, 0), radius);
    gradient.setColorAt(0.0, QColor(255, 255, 255, std::clamp(GLOW_ALPHA_START, 0, 255)));
    gradient.setColorAt(1.0, QColor(255, 255, 255, 0));
    glow->setBrush(gradient);
    glow->setZValue(10);
    glow->hide();

    body->setZValue(20);
}

void BallParts::setColour(const QColor& c, bool sounding, bool central)
{
    QColor fill;
    QPen outline;
    if (sounding) {
        outline.setWidth(int(body->rect().width() / 10));
        fill = central ? c : c.lighter(BALL_BRIGHTEN_FACTOR);
        outline.setColor(c.lighter(central ? 200 : OUTLINE_BRIGHTEN_FACTOR));
        glow->show();
    } else {
        fill = c.darker(BALL_DIM_FACTOR);
        outline = QPen(QColor(0, 0, 0, 128), 0);
        glow->hide();
    }
    body->setPen(outline);
    body->setBrush(QBrush(fill));
    alteredRing->setPen(ringPen(c));
}
