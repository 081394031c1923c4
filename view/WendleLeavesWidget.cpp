#include "WendleLeavesWidget.h"

#include "TweakConstants.h"
#include "WendleBallWidget.h"

#include <cmath>

namespace {

QMap<int, QPointF> sPlaces[2];

int tableOf(int mode) { return mode == 1 ? 1 : 0; }

} // namespace

WendleLeavesWidget::WendleLeavesWidget(int mode, int direction, QGraphicsItem* parent)
    : QGraphicsItemGroup(parent)
    , mDirection(direction)
    , mMode(mode)
{
    setHandlesChildEvents(false);
    if (sPlaces[tableOf(mode)].isEmpty())
        fillLeafPlaces(mode);
}

WendleLeavesWidget::~WendleLeavesWidget() = default;

const QMap<int, QPointF>& WendleLeavesWidget::leafPlaces(int mode)
{
    return sPlaces[tableOf(mode)];
}

void WendleLeavesWidget::clearLeafPlaces()
{
    sPlaces[0].clear();
    sPlaces[1].clear();
}

void WendleLeavesWidget::fillLeafPlaces(int mode)
{
    QMap<int, QPointF>& places = sPlaces[tableOf(mode)];
    if (tableOf(mode) == 0) {
        // A circle round prime 23, a step of 45 degrees clockwise from one leaf to the next.
        places.insert(23, QPointF(0, 0));
        double angle = LEAVES_START_ANGLE / 57.29577957855229;
        for (int prime : { 19, 11, 7, 31, 29, 13, 5, 17 }) {
            places.insert(prime, QPointF(LEAVES_RADIUS * std::cos(angle), -LEAVES_RADIUS * std::sin(angle)));
            angle -= 0.7853981625;
            if (angle < 0)
                angle += 6.2831853;
        }
        return;
    }
    // The height follows the pitch of the prime's interval within the octave
    // in equal-tempered semitones; 29 and 31 stand a little above theirs.
    const struct { int prime; float height; float side; } grapes[] = {
        { 5, 3.86f, -0.5f }, { 7, 9.69f, -0.5f }, { 11, 5.51f, 0.5f }, { 13, 8.41f, 0.5f }, { 17, 1.05f, -0.5f },
        { 19, 2.98f, 0.5f }, { 23, 6.28f, -0.5f }, { 29, 10.37f, 0.5f }, { 31, 11.5f, -0.5f },
    };
    for (const auto& g : grapes) {
        const float x = float(GRAPE_LEAVES_WIDTH) * 0.5f * g.side;
        const float y = g.height / 12.0f * float(GRAPE_LEAVES_HEIGHT);
        places.insert(g.prime, QPointF(x, y));
    }
}

void WendleLeavesWidget::arrangeLeaves(int step, WendleBallWidget* leaf)
{
    QPointF place = sPlaces[tableOf(mMode)].value(std::abs(step), QPointF(0, 0));
    if (mDirection > 0)
        place = -place;
    leaf->setPos(place);
    addToGroup(leaf);
}
