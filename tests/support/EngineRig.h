#pragma once

#include "PdPlayer.h"

#include <QList>

class WendleEvent;

// A player whose audio thread is the calling thread: commands go into the
// rings and one callback of 64 frames executes them.
class EngineRig
{
public:
    EngineRig();
    // Builds the player in `storage`: ThreadSanitizer mistakes a mutex built
    // where another was destroyed for the old one, so players that other
    // threads use get storage of their own.
    explicit EngineRig(void* storage);
    ~EngineRig();
    EngineRig(const EngineRig&) = delete;
    EngineRig& operator=(const EngineRig&) = delete;

    PdPlayer& operator*() { return *mPlayer; }
    PdPlayer* operator->() { return mPlayer; }
    PdPlayer* get() { return mPlayer; }

    void post(const WendleEvent& event);
    void postSerial(const WendleEvent& event);
    // One callback of 64 frames.
    void run();
    // Posts into the GUI ring and runs one callback.
    void exec(const WendleEvent& event);
    void exec(qint32 type, float value = 1.0f);
    // The note toggles (types 34 and 0) and the selection toggle (type 37).
    void toggle(const WendleRatio& ratio, float value = 1.0f);
    void togglePath(const QList<int>& steps);
    void select(const WendleRatio& ratio);
    void deliver() { mPlayer->deliverReports(); }

private:
    PdPlayer* mPlayer;
    bool mPlaced;
    float mBuffer[2 * 64] = {};
};
