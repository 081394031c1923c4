#include "WendleNodeRemoveEvent.h"

WendleNodeRemoveEvent::WendleNodeRemoveEvent(qint32 t, float v, const WendleRatio& r)
    : WendleEvent(t, v)
    , ratio(r)
{
}

WendleNodeRemoveEvent::~WendleNodeRemoveEvent() = default;
