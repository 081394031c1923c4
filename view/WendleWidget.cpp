#include "WendleWidget.h"

#include "TweakConstants.h"
#include "WendleBall.h"
#include "WendleBallWidget.h"
#include "WendleLeavesWidget.h"
#include "WendleStrutWidget.h"

#include <cmath>

namespace {

constexpr double DegreesPerRadian = 57.29577957855229;
constexpr int NoAngle = -1;

int angleOfStep(int step)
{
    switch (step) {
    case 2: return ANGLE_2_PLUS;
    case -2: return ANGLE_2_PLUS + 180;
    case 3: return ANGLE_3_PLUS;
    case -3: return ANGLE_3_PLUS + 180;
    default: return NoAngle;
    }
}

} // namespace

WendleWidget::WendleWidget(int m, Wendle* l, WendleView* v, CardStackWidget* c)
    : mode(m)
    , lattice(l)
    , view(v)
    , cardStack(c)
{
    // A group takes its children's clicks by default; the balls need their own.
    setHandlesChildEvents(false);
}

WendleWidget::~WendleWidget() = default;

QRectF WendleWidget::boundingRect() const
{
    // The group's own rectangle counts only items added with addToGroup.
    return childrenBoundingRect();
}

WendleBallWidget* WendleWidget::buildNode(WendleBall* ball, const QPointF& position,
                                          QHash<WendlePath, WendleBallWidget*>& pathIndex)
{
    auto item = new WendleBallWidget(ball, this, BALL_DIAMETER, this);
    item->setPos(position);
    item->setZValue(20);

    const bool grapes = mode == 1;
    auto minusLeaves = new WendleLeavesWidget(mode, -1, item);
    minusLeaves->setZValue(30);
    minusLeaves->setPos(grapes ? QPointF(0, 0) : QPointF(-LEAVES_PLUS_OFFSET_X, -LEAVES_PLUS_OFFSET_Y));
    auto plusLeaves = new WendleLeavesWidget(mode, 1, item);
    plusLeaves->setZValue(30);
    plusLeaves->setPos(grapes ? QPointF(0, 0) : QPointF(LEAVES_PLUS_OFFSET_X, LEAVES_PLUS_OFFSET_Y));

    for (auto it = ball->children.begin(); it != ball->children.end(); ++it) {
        const int step = it.key();
        WendleBall* child = it.value();
        const int angle = angleOfStep(step);
        if (angle == NoAngle) {
            WendleLeavesWidget* leaves = step >= 0 ? plusLeaves : minusLeaves;
            auto leaf = new WendleBallWidget(child, this, LEAF_DIAMETER, leaves);
            leaves->arrangeLeaves(step, leaf);
            ballWidgets.append(leaf);
            continue;
        }
        const double length = std::abs(step) == 2 ? STRUT_2_LENGTH : STRUT_3_LENGTH;
        const double radians = angle / DegreesPerRadian;
        const QPointF at(position.x() + length * std::cos(radians), position.y() - length * std::sin(radians));
        WendleBallWidget* childItem = buildNode(child, at, pathIndex);
        auto strut = new WendleStrutWidget(item, childItem, STRUT_WIDTH, std::nullopt, this);
        strut->setZValue(10);
    }

    pathIndex.insert(ball->path, item);
    ballWidgets.append(item);
    return item;
}
