#pragma once

#include "WendleEvent.h"
#include "WendleRatio.h"

// Toggles a node's selection.
class WendleNodeSelectToggleEvent : public WendleEvent
{
public:
    WendleNodeSelectToggleEvent(qint32 type, float value, const WendleRatio& ratio);
    ~WendleNodeSelectToggleEvent() override;

    WendleRatio ratio;
};
