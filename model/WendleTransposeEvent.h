#pragma once

#include "WendleEvent.h"
#include "WendleRatio.h"

// Transposes the lattice by a ratio.
class WendleTransposeEvent : public WendleEvent
{
public:
    WendleTransposeEvent(qint32 type, float value, const WendleRatio& ratio);
    ~WendleTransposeEvent() override;

    WendleRatio ratio;
};
