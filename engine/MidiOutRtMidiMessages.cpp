// The audio thread's side of the RtMidi output: MTS retunes, notes and MPE
// pitch bends computed into the message queue. Nothing here blocks,
// allocates, locks or logs; the sender is woken by a non-blocking write.
#include "MidiOutRtMidi.h"

#include <algorithm>
#include <cmath>

namespace {

// The fractional MIDI note of a frequency; NaN for a frequency that has no pitch.
double noteOf(float frequency)
{
    if (!std::isfinite(frequency))
        return std::nan("");
    return 12.0 * std::log2(double(frequency) / 440.0) + 69.0;
}

} // namespace

void MidiOutRtMidi::takeState()
{
    if (mStatePinned)
        return;
    // The count first: a state read after it is at least as new, and a
    // message tagged with a count that has moved on is dropped unsent.
    mState.count = mChangeCount.load(std::memory_order_acquire);
    mState.open = mOpen.load(std::memory_order_relaxed);
    mState.mpe = mMpe.load(std::memory_order_relaxed);
    mState.channel = mChannel.load(std::memory_order_relaxed);
    mState.range = mRange.load(std::memory_order_acquire);
    if (mState.count != mSeenCount) {
        // The port or mode changed and the synth was silenced: every channel is free.
        mSeenCount = mState.count;
        freeChannels();
        mWarnedKeys = false;
        mWarnedChannels = false;
    }
}

void MidiOutRtMidi::beginInstruction()
{
    mStatePinned = false;
    takeState();
    mStatePinned = true;
}

void MidiOutRtMidi::endInstruction()
{
    mStatePinned = false;
}

void MidiOutRtMidi::freeChannels()
{
    mChannelInUse.fill(false);
}

void MidiOutRtMidi::queue(const quint8* bytes, int size)
{
    if (!mState.open)
        return;
    if (!mQueue.push(mState.count, bytes, size))
        mQueueOverflow.store(true, std::memory_order_relaxed);
    wakeSender();
}

void MidiOutRtMidi::wakeSender()
{
    // Either this exchange sees the sender armed, or the sender's arming
    // exchange sees this one and, with it, the message pushed before.
    if (mWakeArmed.exchange(false, std::memory_order_acq_rel))
        mWake.post();
}

void MidiOutRtMidi::warn(WarningCode code, qint32 number, float value)
{
    mWarnings.push(MidiWarning { code, number, value });
}

void MidiOutRtMidi::sendMtsSingleNote(const int* voices, const float* frequencies, int count)
{
    takeState();
    if (mState.mpe) {
        sendMpePitchBend(voices, frequencies, count);
        return;
    }
    quint8 message[7 + 4 * KeyedVoices + 1] = { 0xF0, 0x7F, 0x7F, 0x08, 0x02, 0x00, 0 };
    int groups = 0;
    for (int i = 0; i < count && groups < KeyedVoices; ++i) {
        const int voice = voices[i];
        if (voice < 0 || voice >= KeyedVoices) {
            if (!mWarnedKeys)
                warn(WarnVoiceWithoutKey, voice);
            mWarnedKeys = true;
            continue;
        }
        const double m = noteOf(frequencies[i]);
        if (std::isnan(m)) {
            warn(WarnNoPitch, voice, frequencies[i]);
            continue;
        }
        int xx = 127, yy = 127, zz = 127;
        if (m < 0.0) {
            warn(WarnBelowRange, voice, frequencies[i]);
            xx = yy = zz = 0;
        } else if (m >= 128.0) {
            warn(WarnAboveRange, voice, frequencies[i]);
        } else {
            // The semitone, then the fraction above it in 14 bits, rounded
            // half away from zero and carried into the semitone.
            xx = int(m);
            long fraction = std::lround((m - xx) * 16384.0);
            if (fraction == 16384) {
                ++xx;
                fraction = 0;
            }
            if (xx < 128) {
                yy = int(fraction >> 7);
                zz = int(fraction & 0x7F);
            } else {
                xx = 127;
            }
        }
        quint8* group = message + 7 + 4 * groups++;
        group[0] = quint8(KeyOffset + voice);
        group[1] = quint8(xx);
        group[2] = quint8(yy);
        group[3] = quint8(zz);
    }
    if (groups == 0)
        return;
    message[6] = quint8(groups);
    message[7 + 4 * groups] = 0xF7;
    queue(message, 8 + 4 * groups);
}

void MidiOutRtMidi::noteOn(int voice, int velocity)
{
    takeState();
    velocity = std::clamp(velocity, 1, 127);
    if (mState.mpe) {
        mpeVoiceOn(voice, velocity);
        return;
    }
    if (voice < 0 || voice >= KeyedVoices)
        return;
    const quint8 message[3] = { quint8(0x90 | mState.channel), quint8(KeyOffset + voice), quint8(velocity) };
    queue(message, 3);
}

void MidiOutRtMidi::noteOff(int voice)
{
    takeState();
    if (mState.mpe) {
        mpeVoiceOff(voice);
        return;
    }
    if (voice < 0 || voice >= KeyedVoices)
        return;
    const quint8 message[3] = { quint8(0x80 | mState.channel), quint8(KeyOffset + voice), 64 };
    queue(message, 3);
}

void MidiOutRtMidi::sendMpePitchBend(const int* voices, const float* frequencies, int count)
{
    takeState();
    for (int i = 0; i < count; ++i) {
        const int voice = voices[i];
        const double now = noteOf(frequencies[i]);
        if (std::isnan(now)) {
            warn(WarnNoPitch, voice, frequencies[i]);
            continue;
        }
        // The voice's own channel first, so that its sounding note is the one
        // bent; else the lowest free one.
        int c = 0;
        while (c < 16 && !(mChannelInUse[size_t(c)] && mChannelVoice[size_t(c)] == voice))
            ++c;
        if (c == 16) {
            c = 0;
            while (c < 16 && mChannelInUse[size_t(c)])
                ++c;
            if (c == 16) {
                if (!mWarnedChannels)
                    warn(WarnNoChannel, voice);
                mWarnedChannels = true;
                continue;
            }
            double exact = now;
            if (exact < 0.0) {
                warn(WarnBelowRange, voice, frequencies[i]);
                exact = 0.0;
            } else if (exact >= 128.0) {
                warn(WarnAboveRange, voice, frequencies[i]);
                exact = 127.99999;
            }
            mChannelInUse[size_t(c)] = true;
            mChannelVoice[size_t(c)] = voice;
            mChannelNote[size_t(c)] = std::min(127, int(std::lround(exact)));
            mChannelExactNote[size_t(c)] = exact;
        }
        // The voice moves at most R - 50 cents from where it was allocated;
        // with the note's own offset of up to 50 cents the bend stays within R.
        const double range = mState.range;
        const int note = mChannelNote[size_t(c)];
        const double exact = mChannelExactNote[size_t(c)];
        const double moved = (now - exact) * 100.0;
        const double base = (exact - note) * 100.0;
        double bend = (now - note) * 100.0;
        if (moved > range - 50.0)
            bend = (range - 50.0) + base;
        if (moved < 50.0 - range)
            bend = (50.0 - range) + base;
        const double factor = bend / range;
        if (std::abs(factor) > 1.0)
            warn(WarnBendFactor, voice, float(factor));
        long value = 8192;
        if (factor >= 1.0)
            value = 16383;
        else if (factor <= -1.0)
            value = 0;
        else
            value = std::clamp(std::lround(8192.0 * (1.0 + factor)), 0L, 16383L);
        const quint8 message[3] = { quint8(0xE0 | c), quint8(value & 0x7F), quint8(value >> 7) };
        queue(message, 3);
    }
}

void MidiOutRtMidi::mpeVoiceOn(int voice, int velocity)
{
    takeState();
    velocity = std::clamp(velocity, 1, 127);
    for (int c = 0; c < 16; ++c) {
        if (mChannelInUse[size_t(c)] && mChannelVoice[size_t(c)] == voice) {
            const quint8 message[3] = { quint8(0x90 | c), quint8(mChannelNote[size_t(c)]), quint8(velocity) };
            queue(message, 3);
        }
    }
}

void MidiOutRtMidi::mpeVoiceOff(int voice)
{
    takeState();
    for (int c = 0; c < 16; ++c) {
        if (mChannelInUse[size_t(c)] && mChannelVoice[size_t(c)] == voice) {
            const quint8 message[3] = { quint8(0x80 | c), quint8(mChannelNote[size_t(c)]), 64 };
            queue(message, 3);
            mChannelInUse[size_t(c)] = false;
            mWarnedChannels = false;
        }
    }
}
