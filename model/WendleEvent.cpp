#include "WendleEvent.h"

WendleEvent::WendleEvent(qint32 t, float v)
    : type(t)
    , value(v)
{
}

WendleEvent::~WendleEvent() = default;
