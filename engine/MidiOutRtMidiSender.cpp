// The sending side of the RtMidi output: the sender thread, the drain of the
// audio thread's queue, and the flow of messages into RtMidi's JACK ring,
// paced by the server's own cycles.
#include "MidiOutRtMidi.h"

#include "JackWatch.h"

#include <QDebug>
#include <RtMidi.h>
#include <chrono>
#include <thread>

namespace {

using Lock = std::lock_guard<std::mutex>;

} // namespace

// Sleeps until the audio thread has queued something (without a port it
// never does), and waits for the server's next cycle without the lock when
// RtMidi's ring is full for this one.
void MidiOutRtMidi::senderLoop()
{
    for (;;) {
        // Armed before the queue is looked at (see wakeSender).
        mWakeArmed.exchange(true, std::memory_order_acq_rel);
        if (mQueue.isEmpty() && !mQueueOverflow.load(std::memory_order_relaxed)
            && !mStopSender.load(std::memory_order_acquire))
            mWake.wait();
        mWakeArmed.store(false, std::memory_order_relaxed);
        for (bool more = true; more;) {
            if (mStopSender.load(std::memory_order_acquire))
                return;
            std::chrono::microseconds pause {};
            {
                Lock lock(mLock);
                more = drainLocked(false);
                // Only JACK has a ring to wait for, and its watch is open
                // while its port is. The watch closes with the last port, so
                // it is read under the lock alone.
                if (more)
                    pause = mWatch->nextCycleIn();
            }
            if (more)
                std::this_thread::sleep_for(pause);
        }
    }
}

// RtMidi's JACK port cannot be closed, nor its client ended, once the server
// has died: both would crash in libjack. They are left to the process's end.
bool MidiOutRtMidi::serverGoneLocked() const
{
    if (!mServerGone && mWatch && mWatch->serverGone()) {
        mServerGone = true;
        if (mOpen.load(std::memory_order_relaxed))
            qWarning() << "MIDI output: the JACK server has gone; its port is left as it is";
        else
            qWarning() << "MIDI output: the JACK server has gone";
    }
    return mServerGone;
}

bool MidiOutRtMidi::drainLocked(bool mayWait)
{
    const quint32 current = mChangeCount.load(std::memory_order_relaxed);
    const bool open = mOpen.load(std::memory_order_relaxed);
    quint32 tag = 0;
    while (const int size = mQueue.peek(&tag)) {
        const bool fresh = tag == current && open;
        Room room = Room::Yes;
        if (fresh && mJack) {
            room = jackRoomLocked(size, mayWait);
            if (room == Room::Later)
                return true;
        }
        mQueue.pop(&tag, mScratch);
        if (!fresh || room == Room::No)
            continue;
        markRetunedLocked(mScratch, size);
        sendLocked(mScratch, size, true);
    }
    if (mQueueOverflow.load(std::memory_order_relaxed)) {
        const bool mpe = mMpe.load(std::memory_order_relaxed);
        // Room for the whole silencing first, so that its sends never wait.
        const int silencing = mpe ? 32 * (3 + int(sizeof(int))) - int(sizeof(int)) : 3;
        if (open && mJack && jackRoomLocked(silencing, mayWait, false) == Room::Later)
            return true;
        mQueueOverflow.store(false, std::memory_order_relaxed);
        if (open) {
            // A lost note off would hang: silence what may sound, and let the
            // audio thread free its channels.
            qWarning() << "MIDI output: the message queue was full and messages were lost; notes are silenced";
            if (mpe)
                allNotesOffAllChannelsLocked();
            else
                notesOffLocked(mChannel.load(std::memory_order_relaxed));
            countChangeLocked();
        }
    }
    return false;
}

void MidiOutRtMidi::sendLocked(const quint8* bytes, int size, bool counted)
{
    if (!mMidiOut || !mOpen.load(std::memory_order_relaxed))
        return;
    if (mJack && !counted && jackRoomLocked(size, true) != Room::Yes)
        return;
    const quint32 cycle = mCycle;
    try {
        mMidiOut->sendMessage(bytes, size_t(size));
    } catch (const RtMidiError& e) {
        qWarning().noquote() << "Sending a MIDI message failed:" << QString::fromStdString(e.getMessage());
        return;
    }
    if (mJack && mWatch->isOpen()) {
        // Written before the cycle read now began, at the latest: the process
        // callback of the next one takes it.
        jackRoomLocked(0, false);
        if (mCycle != cycle)
            mCycleBytes += size + int(sizeof(int));
        mLastSendCycle = mCycle;
    }
}

// Whether RtMidi's ring has room for a message of `size` bytes, counting it
// in (with `count`) when it has. The ring may still hold what was written
// during this cycle and the one before; older bytes have been taken by a
// process callback that began after them. With mayWait this waits for the
// cycles that make room, and gives up (the message is dropped) on a server
// that has gone or stopped its cycles.
MidiOutRtMidi::Room MidiOutRtMidi::jackRoomLocked(int size, bool mayWait, bool count)
{
    if (serverGoneLocked())
        return Room::No;
    if (!mWatch->isOpen())
        return Room::Yes;
    const int need = size > 0 ? size + int(sizeof(int)) : 0;
    for (;;) {
        const quint32 now = mWatch->cycleFrame();
        if (now != mCycle) {
            const quint32 passed = (now - mCycle) / mWatch->period();
            mPreviousCycleBytes = passed >= 2 ? 0 : mCycleBytes;
            mCycleBytes = 0;
            mCycle = now;
            mStalled = false;
        }
        if (mPreviousCycleBytes + mCycleBytes + need <= JackRingBytes) {
            if (count)
                mCycleBytes += need;
            return Room::Yes;
        }
        if (mStalled)
            return Room::No;
        if (!mayWait)
            return Room::Later;
        if (!mWatch->waitCycles(mCycle, 1, JackStallMs)) {
            if (!serverGoneLocked()) {
                qWarning() << "MIDI output: the JACK server runs no cycles; MIDI messages are dropped until it does";
                mStalled = true;
            }
            return Room::No;
        }
    }
}

void MidiOutRtMidi::waitDeliveredLocked()
{
    // The callback of the cycle after the last write took it into the port,
    // and the receiver read it in that same cycle, which ended before the
    // second one after the write began.
    if (mJack && mWatch->isOpen())
        mWatch->waitCycles(mLastSendCycle, 2, JackStallMs);
}
