#include "Interface.h"

#include "MidiOutRtMidi.h"
#include "PdPlayer.h"

#include <algorithm>
#include <cmath>

Interface::Interface(QObject* parent)
    : Interface(new MidiOutRtMidi, parent)
{
}

Interface::Interface(MidiOutput* output, QObject* parent)
    : QObject(parent)
    , mMidiOutput(output)
{
    mMidiOutput->setParent(this);
    mMidiOutput->init();
}

Interface::~Interface()
{
    // Nothing may reach the engine's flag once the engine is gone.
    mMidiOutput->setPortWatcher(nullptr);
    if (mEngine)
        mEngine->setInstructionSink(nullptr);
    mMidiOutput->term();
}

void Interface::attachEngine(PdPlayer* engine)
{
    // Straight to the non-allocating entry; the engine's signal stays for a
    // bare engine without an interface.
    mEngine = engine;
    engine->setInstructionSink(this);
    mMidiOutput->setPortWatcher([engine](bool open) { engine->setInterfaceActive(open); });
}

int Interface::velocityOf(float fraction)
{
    const float scaled = fraction * 127.0f;
    if (!(scaled >= 1.0f))
        return 1;
    if (scaled >= 127.0f)
        return 127;
    return int(scaled);
}

void Interface::receiveInstructions(int parameter, const int* voices, const float* value1, const float* value2, int count)
{
    if (count <= 0 || !mMidiOutput->portOpen())
        return;
    mMidiOutput->beginInstruction();
    switch (parameter) {
    case 1:
        mMidiOutput->sendMtsSingleNote(voices, value1, count);
        // A voice without a pitch was left out of the retune: it must not sound at the key's old one.
        if (std::isfinite(value1[0]))
            mMidiOutput->noteOn(voices[0], velocityOf(value2[0]));
        break;
    case 2:
        mMidiOutput->sendMtsSingleNote(voices, value1, count);
        break;
    case -1:
        mMidiOutput->noteOff(voices[0]);
        break;
    default:
        break;
    }
    mMidiOutput->endInstruction();
}

void Interface::receiveInstructions(int parameter, QList<int> voices, QList<float> value1, QList<float> value2)
{
    const qsizetype count = std::min({ voices.size(), value1.size(), value2.size() });
    receiveInstructions(parameter, voices.constData(), value1.constData(), value2.constData(), int(count));
}
