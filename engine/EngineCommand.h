#pragma once

#include "WendlePath.h"
#include "WendleRatio.h"

#include <cstddef>

class WendleEvent;

// The fixed 64-byte record that crosses the command rings. It is filled field
// by field from an event, never by copying an event's or a ratio's memory.
struct EngineCommand
{
    qint32 type;
    qint8 path[7];
    quint8 unused1[5];
    quint8 ratioHeader[8];
    quint64 numerator;
    quint64 denominator;
    quint64 secondNumerator;
    quint64 secondDenominator;
    float value;
    quint8 unused2[4];

    static EngineCommand fromEvent(const WendleEvent& event);

    WendleRatio ratio() const;
    WendlePath wendlePath() const;
};

static_assert(sizeof(EngineCommand) == 64);
static_assert(offsetof(EngineCommand, type) == 0);
static_assert(offsetof(EngineCommand, path) == 4);
static_assert(offsetof(EngineCommand, numerator) == 24);
static_assert(offsetof(EngineCommand, denominator) == 32);
static_assert(offsetof(EngineCommand, secondNumerator) == 40);
static_assert(offsetof(EngineCommand, secondDenominator) == 48);
static_assert(offsetof(EngineCommand, value) == 56);
