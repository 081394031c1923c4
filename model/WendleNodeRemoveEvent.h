#pragma once

#include "WendleEvent.h"
#include "WendleRatio.h"

// Removes a node from the node stack, silencing it.
class WendleNodeRemoveEvent : public WendleEvent
{
public:
    WendleNodeRemoveEvent(qint32 type, float value, const WendleRatio& ratio);
    ~WendleNodeRemoveEvent() override;

    WendleRatio ratio;
};
