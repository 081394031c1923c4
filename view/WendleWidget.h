#pragma once

#include "WendlePath.h"

#include <QGraphicsItemGroup>
#include <QHash>
#include <QList>

class CardStackWidget;
class Wendle;
class WendleBall;
class WendleBallWidget;
class WendleView;

// The root of one lattice drawing. The main window walks its ball items to
// refresh their look; the items reach the card stack through it.
class WendleWidget : public QGraphicsItemGroup
{
public:
    WendleWidget(int mode, Wendle* lattice, WendleView* view, CardStackWidget* cardStack);
    ~WendleWidget() override;

    QRectF boundingRect() const override;

    // Draws `ball` at `position` with its descendants, leaves and struts, and
    // enters every main ball into `pathIndex`. Returns the ball's item.
    WendleBallWidget* buildNode(WendleBall* ball, const QPointF& position,
                                QHash<WendlePath, WendleBallWidget*>& pathIndex);

    const qint32 mode;
    Wendle* const lattice;
    WendleView* const view;
    CardStackWidget* const cardStack;
    // Every ball item of the drawing, main balls and leaves, each after its descendants.
    QList<WendleBallWidget*> ballWidgets;
};
