// Voices and notes: voice choice and stealing, note on and off, hold.
#include "PdPlayer.h"

#include "InstructionSink.h"

#include <cmath>

int PdPlayer::activeVoices() const
{
    return mMaxVoices.load(std::memory_order_acquire);
}

Voice* PdPlayer::mappedVoice(const WendleRatio& ratio)
{
    for (Voice& v : mVoices) {
        if (v.mapped && v.ratio == ratio)
            return &v;
    }
    return nullptr;
}

const Voice* PdPlayer::voiceOf(const WendleRatio& ratio) const
{
    return const_cast<PdPlayer*>(this)->mappedVoice(ratio);
}

float PdPlayer::frequencyOf(const WendleRatio& ratio) const
{
    return float(ratio.numerator()) / float(ratio.denominator()) * mBaseFrequency;
}

float PdPlayer::mapGlissOne(float position) const
{
    const double range = mGlissOneRange.load(std::memory_order_relaxed);
    return float(std::pow(2.0, (double(position) - 0.5) * 2.0 * range / 1200.0));
}

float PdPlayer::mapGlissTwo(float position) const
{
    const double range = mGlissTwoRange.load(std::memory_order_relaxed);
    return float(std::pow(2.0, (double(position) - 0.5) * 2.0 * range / 1200.0));
}

void PdPlayer::sendMacros(int voice, const float* values)
{
    for (int m = 0; m < MacroCount; ++m)
        sendToPd(4 + m, values[m], float(voice));
}

void PdPlayer::storePlainNodeParameters(const WendleRatio& ratio)
{
    NodeParameters p;
    std::copy(mMacros, mMacros + MacroCount, p.macros);
    mNodeParameters.insert(ratio, p);
}

void PdPlayer::noteOn(const WendleRatio& ratio)
{
    ++mNoteCounter;
    if (mNoteCounter == 0) // 0 marks a free voice
        mNoteCounter = 1;
    float f = frequencyOf(ratio);

    const int voices = activeVoices();
    int chosen = -1;
    for (int i = 0; i < voices; ++i) {
        if (mVoices[i].seqId == 0) {
            chosen = i;
            break;
        }
    }
    if (chosen < 0) {
        // The oldest note is the one furthest behind the counter, counted
        // modulo 2^32 so that notes started after the counter wraps stay the youngest.
        const auto age = [this](const Voice& v) { return quint32(mNoteCounter - v.seqId); };
        chosen = 0;
        for (int i = 1; i < voices; ++i) {
            if (age(mVoices[i]) > age(mVoices[chosen]))
                chosen = i;
        }
        Voice& victim = mVoices[chosen];
        if (!victim.inRelease && victim.mapped)
            noteOff(victim.ratio);
        victim.inRelease = true;
        onVoiceStopped(chosen);
    }

    if (mMonophonic) {
        if (mMonoVoice != -1 && mVoices[mMonoVoice].sounds())
            noteOff(mVoices[mMonoVoice].ratio);
        mMonoVoice = chosen;
    }

    if (Voice* old = mappedVoice(ratio))
        old->mapped = false;
    Voice& v = mVoices[chosen];
    v.ratio = ratio;
    v.voice = chosen;
    v.inRelease = false;
    v.seqId = mNoteCounter;
    v.mapped = true;

    float velocity = mMacros[0];
    const bool selected = mSelection.contains(ratio);
    NodeParameters* altered = selected || mAltered.contains(ratio) ? alteredEntry(ratio) : nullptr;
    if (selected && altered) {
        f *= mapGlissOne(mGlissPositions[0] + altered->gliss[0]) * mapGlissTwo(mGlissPositions[1] + altered->gliss[1]);
        float values[MacroCount];
        for (int m = 0; m < MacroCount; ++m)
            values[m] = mMacros[m] + altered->macros[m];
        sendMacros(chosen, values);
    } else if (altered) {
        f *= mapGlissOne(altered->gliss[0]) * mapGlissTwo(altered->gliss[1]);
        sendMacros(chosen, altered->macros);
        velocity = altered->macros[0];
    } else {
        sendMacros(chosen, mMacros);
    }

    if (f > 20.0f && f < 20000.0f) {
        sendToPd(2, f, float(chosen));
        sendToPd(3, mVoiceVolume, float(chosen));
        sendToPd(1, 1.0f, float(chosen));
        instruct(1, &chosen, &f, &velocity, 1);
    }
    report(EngineReport::NoteToggled, 0, &ratio, 1.0f);
    if (!mAltered.contains(ratio))
        storePlainNodeParameters(ratio);
    mSoundingDirty = true;
}

void PdPlayer::noteOff(const WendleRatio& ratio)
{
    Voice* v = mappedVoice(ratio);
    if (!v)
        return;
    v->inRelease = true;
    sendToPd(1, 0.0f, float(v->voice));
    const float none = -1.0f;
    instruct(-1, &v->voice, &none, &none, 1);
    report(EngineReport::NoteToggled, 0, &ratio, 0.0f);
    mNodeParameters.remove(ratio);
    mSoundingDirty = true;
}

void PdPlayer::toggleRatio(const WendleRatio& ratio, bool keepHeld)
{
    const Voice* v = voiceOf(ratio);
    if (!v || v->inRelease)
        noteOn(ratio);
    else if (!(keepHeld && mHold && mHeld.contains(ratio)))
        noteOff(ratio);
}

void PdPlayer::collectSoundingRatios()
{
    mSoundingList.clear();
    for (const Voice& v : mVoices) {
        if (v.sounds())
            mSoundingList.append(v.ratio);
    }
}

void PdPlayer::allNotesOff(bool all)
{
    for (Voice& v : mVoices) {
        if (!v.mapped || v.seqId == 0)
            continue;
        if (!all && mHeld.contains(v.ratio))
            continue;
        noteOff(v.ratio);
    }
}

void PdPlayer::onVoiceStopped(int voice)
{
    if (voice < 0 || voice >= MaxVoices)
        return;
    Voice& v = mVoices[voice];
    if (!v.inRelease)
        return;
    v.mapped = false;
    v.inRelease = false;
    v.seqId = 0;
    mSoundingDirty = true;
}

void PdPlayer::setHold(bool on)
{
    for (int i = 0; i < mHeld.size(); ++i)
        report(EngineReport::NodeHold, 0, &mHeld[i], 0.0f);
    mHeld.clear();
    if (on) {
        for (const Voice& v : mVoices) {
            if (v.sounds()) {
                mHeld.append(v.ratio);
                report(EngineReport::NodeHold, 0, &v.ratio, 1.0f);
            }
        }
    }
    mHold = on;
}

void PdPlayer::instruct(int parameter, const int* voices, const float* value1, const float* value2, int count)
{
    if (!mInterfaceActive.load(std::memory_order_relaxed))
        return;
    if (InstructionSink* sink = mInstructionSink.load(std::memory_order_acquire)) {
        sink->receiveInstructions(parameter, voices, value1, value2, count);
        return;
    }
    // Only without a sink (a bare engine): the lists allocate.
    emit instructionsToInterface(parameter, QList<int>(voices, voices + count), QList<float>(value1, value1 + count),
                                 QList<float>(value2, value2 + count));
}
