#pragma once

#include <QtGlobal>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>

#ifdef Q_OS_LINUX
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>
#else
#include <semaphore>
#endif

// Finished MIDI messages on their way from the audio thread to the thread
// that sends them, each tagged with the change count it was computed under.
// One writer; the readers take turns under the sender's lock. The storage is
// fixed: a full queue refuses a message instead of waiting.
class MidiMessageQueue
{
public:
    static constexpr quint32 Capacity = 1u << 16;
    // The longest message: an MTS retune of 128 keys.
    static constexpr int MaxMessage = 7 + 4 * 128 + 1;

    bool push(quint32 tag, const quint8* bytes, int size)
    {
        if (size <= 0 || size > MaxMessage)
            return false;
        const quint32 w = mWrite.load(std::memory_order_relaxed);
        if (w - mRead.load(std::memory_order_acquire) + Header + quint32(size) > Capacity)
            return false;
        const quint8 header[Header] = { quint8(tag), quint8(tag >> 8), quint8(tag >> 16), quint8(tag >> 24),
                                        quint8(size), quint8(size >> 8) };
        copyIn(w, header, Header);
        copyIn(w + Header, bytes, quint32(size));
        mWrite.store(w + Header + quint32(size), std::memory_order_release);
        return true;
    }

    // The oldest message's size and tag, left in the queue; 0 when empty.
    int peek(quint32* tag) const
    {
        const quint32 r = mRead.load(std::memory_order_relaxed);
        if (r == mWrite.load(std::memory_order_acquire))
            return 0;
        quint8 header[Header];
        copyOut(r, header, Header);
        *tag = quint32(header[0]) | quint32(header[1]) << 8 | quint32(header[2]) << 16 | quint32(header[3]) << 24;
        return int(header[4]) | int(header[5]) << 8;
    }

    // The oldest message into `out` (MaxMessage bytes): its size, or 0 when empty.
    int pop(quint32* tag, quint8* out)
    {
        const quint32 r = mRead.load(std::memory_order_relaxed);
        if (r == mWrite.load(std::memory_order_acquire))
            return 0;
        quint8 header[Header];
        copyOut(r, header, Header);
        *tag = quint32(header[0]) | quint32(header[1]) << 8 | quint32(header[2]) << 16 | quint32(header[3]) << 24;
        const int size = int(header[4]) | int(header[5]) << 8;
        copyOut(r + Header, out, quint32(size));
        mRead.store(r + Header + quint32(size), std::memory_order_release);
        return size;
    }

    bool isEmpty() const
    {
        return mRead.load(std::memory_order_acquire) == mWrite.load(std::memory_order_acquire);
    }

private:
    static constexpr quint32 Header = 6;
    static_assert((Capacity & (Capacity - 1)) == 0, "the counters wrap at a power of two");

    void copyIn(quint32 at, const quint8* from, quint32 n)
    {
        const quint32 offset = at % Capacity;
        const quint32 first = std::min(n, Capacity - offset);
        std::memcpy(mBytes + offset, from, first);
        std::memcpy(mBytes, from + first, n - first);
    }

    void copyOut(quint32 at, quint8* to, quint32 n) const
    {
        const quint32 offset = at % Capacity;
        const quint32 first = std::min(n, Capacity - offset);
        std::memcpy(to, mBytes + offset, first);
        std::memcpy(to + first, mBytes, n - first);
    }

    alignas(64) std::atomic<quint32> mWrite { 0 };
    alignas(64) std::atomic<quint32> mRead { 0 };
    quint8 mBytes[Capacity];
};

// What the audio thread has to warn about, on its way to the GUI thread's log.
struct MidiWarning
{
    qint32 code = 0;
    qint32 number = 0;
    float value = 0.0f;
};

class MidiWarningQueue
{
public:
    static constexpr quint32 Capacity = 256;

    bool push(const MidiWarning& warning)
    {
        const quint32 w = mWrite.load(std::memory_order_relaxed);
        if (w - mRead.load(std::memory_order_acquire) >= Capacity) {
            mLost.fetch_add(1, std::memory_order_relaxed);
            return false;
        }
        mItems[w % Capacity] = warning;
        mWrite.store(w + 1, std::memory_order_release);
        return true;
    }

    bool pop(MidiWarning& warning)
    {
        const quint32 r = mRead.load(std::memory_order_relaxed);
        if (r == mWrite.load(std::memory_order_acquire))
            return false;
        warning = mItems[r % Capacity];
        mRead.store(r + 1, std::memory_order_release);
        return true;
    }

    // Warnings refused since the last call.
    quint32 takeLost() { return mLost.exchange(0, std::memory_order_relaxed); }

private:
    MidiWarning mItems[Capacity];
    std::atomic<quint32> mWrite { 0 };
    std::atomic<quint32> mRead { 0 };
    std::atomic<quint32> mLost { 0 };
};

// Wakes a sleeping thread from one that may neither block nor allocate (the
// audio thread): an eventfd written without blocking.
class WakeSignal
{
public:
#ifdef Q_OS_LINUX
    WakeSignal() : mFd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}
    ~WakeSignal()
    {
        if (mFd >= 0)
            ::close(mFd);
    }

    void post()
    {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = ::write(mFd, &one, sizeof one);
    }

    // Returns once posted since the last return.
    void wait()
    {
        if (mFd < 0) {
            ::usleep(1000);
            return;
        }
        pollfd p { mFd, POLLIN, 0 };
        while (::poll(&p, 1, -1) < 0 && errno == EINTR) {
        }
        std::uint64_t count = 0;
        [[maybe_unused]] const ssize_t read = ::read(mFd, &count, sizeof count);
    }

private:
    const int mFd;
#else
    void post() { mSemaphore.release(); }
    void wait() { mSemaphore.acquire(); }

private:
    std::counting_semaphore<> mSemaphore { 0 };
#endif
};
