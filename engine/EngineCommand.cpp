#include "EngineCommand.h"

#include "WendleNodeRemoveEvent.h"
#include "WendleNodeResetEvent.h"
#include "WendleNodeSelectToggleEvent.h"
#include "WendleNoteEvent.h"
#include "WendleTransposeEvent.h"

#include <cstring>

namespace {

const WendleRatio* ratioPayload(const WendleEvent& event)
{
    if (auto e = dynamic_cast<const WendleNoteEvent*>(&event))
        return &e->ratio;
    if (auto e = dynamic_cast<const WendleTransposeEvent*>(&event))
        return &e->ratio;
    if (auto e = dynamic_cast<const WendleNodeRemoveEvent*>(&event))
        return &e->ratio;
    if (auto e = dynamic_cast<const WendleNodeSelectToggleEvent*>(&event))
        return &e->ratio;
    if (auto e = dynamic_cast<const WendleNodeResetEvent*>(&event))
        return &e->ratio;
    return nullptr;
}

} // namespace

EngineCommand EngineCommand::fromEvent(const WendleEvent& event)
{
    EngineCommand c;
    std::memset(&c, 0, sizeof c);
    c.type = event.type;
    c.value = event.value;
    c.numerator = 0;
    c.denominator = 1;
    c.secondNumerator = 0;
    c.secondDenominator = 1;
    if (auto note = dynamic_cast<const WendleNoteEvent*>(&event)) {
        for (int i = 0; i < 7; ++i) {
            c.path[i] = note->path.steps[i];
            if (c.path[i] == 0)
                break;
        }
    }
    if (const WendleRatio* r = ratioPayload(event)) {
        c.numerator = r->numerator();
        c.denominator = r->denominator();
    }
    return c;
}

WendleRatio EngineCommand::ratio() const
{
    // A record always carries a reduced ratio with a denominator of at least 1;
    // anything else did not come from an event and stands for no ratio.
    if (denominator == 0)
        return WendleRatio();
    return WendleRatio(numerator, denominator);
}

WendlePath EngineCommand::wendlePath() const
{
    WendlePath p;
    for (int i = 0; i < 7; ++i) {
        p.steps[i] = path[i];
        if (path[i] == 0)
            return p;
    }
    // No terminator within the record's path bytes: treat as the invalid path.
    p = WendlePath();
    p.steps[0] = WendlePath::InvalidMarker;
    return p;
}
