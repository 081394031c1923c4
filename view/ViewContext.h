#pragma once

#include <QtGlobal>

class PdPlayer;
class Settings;
class WendleEvent;

// What the lattice view reads from the running program: the engine whose GUI
// ring takes the player's clicks, and the options that decide how balls are
// coloured. The application binds both at start-up, before it builds a page,
// and unbinds them before they die.
class ViewContext
{
public:
    static void bind(PdPlayer* engine, const Settings* options);
    static void unbind() { bind(nullptr, nullptr); }

    static PdPlayer* engine() { return sEngine; }
    static const Settings* options() { return sOptions; }

    // Into the engine's GUI ring; without an engine the event is dropped with a warning.
    static void post(const WendleEvent* event);

    // "absRelView": 0 relative, 1 absolute, 2 absolute2 (absolute without options).
    static qint32 absRelView();
    static bool centralNodeColourRelativeMode();

private:
    static PdPlayer* sEngine;
    static const Settings* sOptions;
};
