#include "WendleTransposeEvent.h"

WendleTransposeEvent::WendleTransposeEvent(qint32 t, float v, const WendleRatio& r)
    : WendleEvent(t, v)
    , ratio(r)
{
}

WendleTransposeEvent::~WendleTransposeEvent() = default;
