#include "WendleNoteEvent.h"

WendleNoteEvent::WendleNoteEvent(qint32 t, float v, const WendlePath& p, const WendleRatio& r)
    : WendleEvent(t, v)
    , path(p)
    , ratio(r)
{
}

WendleNoteEvent::~WendleNoteEvent() = default;
