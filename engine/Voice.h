#pragma once

#include "WendleRatio.h"

// One voice of the patch. seqId 0 means free; otherwise it is the note
// counter at the voice's last note on.
struct Voice
{
    WendleRatio ratio;
    qint32 voice = -1;
    quint32 seqId = 0;
    bool inRelease = false;
    // The note map entry of `ratio` points here (a newer note of the same
    // ratio on another voice takes the entry over).
    bool mapped = false;

    // Taken, holding its ratio's note map entry and not released.
    bool sounds() const { return seqId != 0 && mapped && !inRelease; }
};
