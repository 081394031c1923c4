#pragma once

#include <QGraphicsItemGroup>
#include <QMap>
#include <QPointF>

class WendleBallWidget;

// The small balls of the primes 5 to 31 that hang at one side of a lattice
// ball: in a circle (mode 0) or a column ordered by pitch (mode 1).
class WendleLeavesWidget : public QGraphicsItemGroup
{
public:
    WendleLeavesWidget(int mode, int direction, QGraphicsItem* parent);
    ~WendleLeavesWidget() override;

    void arrangeLeaves(int step, WendleBallWidget* leaf);

    int direction() const { return mDirection; }
    int mode() const { return mMode; }

    // Where each prime's leaf sits in the minus group of a mode; shared by
    // every page, filled from the tweak constants by the first group that
    // finds it empty.
    static const QMap<int, QPointF>& leafPlaces(int mode);
    // Empties both tables, so that the next build reads the constants again.
    static void clearLeafPlaces();

private:
    static void fillLeafPlaces(int mode);

    qint32 mDirection;
    qint32 mMode;
};
