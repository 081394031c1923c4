#include "WendleNodeResetEvent.h"

WendleNodeResetEvent::WendleNodeResetEvent(qint32 t, float v, const WendleRatio& r)
    : WendleEvent(t, v)
    , ratio(r)
{
}

WendleNodeResetEvent::~WendleNodeResetEvent() = default;
