#include "WendleStrutWidget.h"

#include "TweakConstants.h"
#include "WendleBall.h"
#include "WendleBallWidget.h"

#include <QPen>

WendleStrutWidget::WendleStrutWidget(WendleBallWidget* from, WendleBallWidget* to, int width,
                                     std::optional<QColor> colour, QGraphicsItem* parent)
    : QGraphicsLineItem(parent)
    , mFrom(from)
    , mTo(to)
{
    setLine(QLineF(parent->mapFromItem(from, QPointF(0, 0)), parent->mapFromItem(to, QPointF(0, 0))));
    QColor c = colour.value_or(to->ball() ? to->ball()->colour : QColor(Qt::white));
    setPen(QPen(QBrush(c.darker(BALL_DIM_FACTOR)), width, Qt::SolidLine));
    from->addStrut(this);
    to->addStrut(this);
    updateVisibility();
}

WendleStrutWidget::~WendleStrutWidget() = default;

void WendleStrutWidget::updateVisibility()
{
    const WendleBall* a = mFrom->ball();
    const WendleBall* b = mTo->ball();
    setVisible(a && b && a->enabled && b->enabled);
}
