#pragma once

#include "WendleEvent.h"
#include "WendlePath.h"
#include "WendleRatio.h"

// Sounds or silences a note, by lattice path (ratio 0/1) or by ratio (empty path).
class WendleNoteEvent : public WendleEvent
{
public:
    WendleNoteEvent(qint32 type, float value, const WendlePath& path, const WendleRatio& ratio);
    ~WendleNoteEvent() override;

    WendlePath path;
    WendleRatio ratio;
};
