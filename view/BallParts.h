#pragma once

#include <QColor>

class QGraphicsEllipseItem;
class QGraphicsItem;

// What a lattice ball and a node-stack ball draw alike: the body, its glow
// while it sounds, the selection and altered rings and the hold dot, all
// children of the ball's own item and centred on it.
class BallParts
{
public:
    BallParts(QGraphicsItem* ball, double diameter, double selectionRing, double alteredRing, double selectionZ);

    // Sounding, the body is lit with a broad outline and the glow shows; a
    // central ball keeps its colour and gets a lighter outline. Silent, it is dim.
    void setColour(const QColor& colour, bool sounding, bool central);

    // Built in this order: among siblings of equal height the later is drawn on top.
    QGraphicsEllipseItem* body;
    QGraphicsEllipseItem* selectionRing;
    QGraphicsEllipseItem* alteredRing;
    QGraphicsEllipseItem* holdDot;
    QGraphicsEllipseItem* glow;
};
