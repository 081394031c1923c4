#pragma once

#include <QColor>
#include <QGraphicsLineItem>
#include <optional>

class WendleBallWidget;

// A line of the lattice drawing: a strut from a ball to a child, or an
// octave link. Its geometry is fixed when it is made.
class WendleStrutWidget : public QGraphicsLineItem
{
public:
    // Without a colour the line takes the colour of the `to` ball; either is dimmed.
    WendleStrutWidget(WendleBallWidget* from, WendleBallWidget* to, int width, std::optional<QColor> colour,
                      QGraphicsItem* parent);
    ~WendleStrutWidget() override;

    WendleBallWidget* from() const { return mFrom; }
    WendleBallWidget* to() const { return mTo; }
    // Shown only while the balls at both ends are.
    void updateVisibility();

private:
    WendleBallWidget* mFrom;
    WendleBallWidget* mTo;
};
