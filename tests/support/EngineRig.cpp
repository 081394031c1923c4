#include "EngineRig.h"

#include "EngineCommandType.h"
#include "WendleNodeSelectToggleEvent.h"
#include "WendleNoteEvent.h"

#include <new>

EngineRig::EngineRig()
    : mPlayer(new PdPlayer)
    , mPlaced(false)
{
    mPlayer->createRings();
}

EngineRig::EngineRig(void* storage)
    : mPlayer(new (storage) PdPlayer)
    , mPlaced(true)
{
    mPlayer->createRings();
}

EngineRig::~EngineRig()
{
    // A test that stopped halfway must not leave its patch playing into the next.
    if (mPlayer->hasPatch())
        mPlayer->unloadPatch();
    if (mPlaced)
        mPlayer->~PdPlayer();
    else
        delete mPlayer;
}

void EngineRig::post(const WendleEvent& event)
{
    mPlayer->guiCommandBuffer().post(&event);
}

void EngineRig::postSerial(const WendleEvent& event)
{
    mPlayer->serialCommandBuffer().post(&event);
}

void EngineRig::run()
{
    mPlayer->processCallback(mBuffer, 64, false);
}

void EngineRig::exec(const WendleEvent& event)
{
    post(event);
    run();
}

void EngineRig::exec(qint32 type, float value)
{
    exec(WendleEvent(type, value));
}

void EngineRig::toggle(const WendleRatio& ratio, float value)
{
    exec(WendleNoteEvent(ToggleRatioNote, value, WendlePath(), ratio));
}

void EngineRig::togglePath(const QList<int>& steps)
{
    WendlePath path;
    for (int s : steps)
        path.append(qint8(s));
    exec(WendleNoteEvent(TogglePathNote, 1.0f, path, WendleRatio()));
}

void EngineRig::select(const WendleRatio& ratio)
{
    exec(WendleNodeSelectToggleEvent(ToggleNodeSelection, 1.0f, ratio));
}
