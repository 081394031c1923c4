#pragma once

#include <QtGlobal>

// A request to the sound engine: a command type and its float argument.
// Subclasses add the payload; the type number alone decides the action.
class WendleEvent
{
public:
    explicit WendleEvent(qint32 type, float value = 1.0f);
    virtual ~WendleEvent();

    qint32 type;
    float value;
};
