#include "WendleNodeSelectToggleEvent.h"

WendleNodeSelectToggleEvent::WendleNodeSelectToggleEvent(qint32 t, float v, const WendleRatio& r)
    : WendleEvent(t, v)
    , ratio(r)
{
}

WendleNodeSelectToggleEvent::~WendleNodeSelectToggleEvent() = default;
