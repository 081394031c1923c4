#pragma once

#include "WendleEvent.h"
#include "WendleRatio.h"

// Resets one node's parameters.
class WendleNodeResetEvent : public WendleEvent
{
public:
    WendleNodeResetEvent(qint32 type, float value, const WendleRatio& ratio);
    ~WendleNodeResetEvent() override;

    WendleRatio ratio;
};
