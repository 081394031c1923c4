#pragma once

#include <QByteArray>
#include <QtGlobal>
#include <atomic>
#include <chrono>

// A JACK client of our own on the server that this process's JACK clients
// use, opened but never activated: it has no process callback and costs no
// CPU a cycle. It reads the server's period and frame time from the server's
// shared memory, so that a caller can wait for real cycles, and it learns
// through JACK's shutdown callback, on libjack's own thread, when the server
// has gone. libjack is looked up only if the process has loaded it already
// (RtMidi's JACK backend does), so nothing links against JACK.
class JackWatch
{
public:
    JackWatch() = default;
    ~JackWatch();
    JackWatch(const JackWatch&) = delete;
    JackWatch& operator=(const JackWatch&) = delete;

    // Opens the client; false where libjack is not loaded or no server answers.
    bool open();
    // Takes the client off the server; open() may follow. A client of a
    // server that has gone stays as it is.
    void close();
    // Remembers the client (of this process) whose port `ourPort` is
    // connected to `destination`, so that the next open() can tell whether
    // the server is still the one that client lives on.
    void rememberSibling(const QByteArray& destination, const QByteArray& ourPort);
    bool isOpen() const { return mClient != nullptr; }
    // Set from libjack's thread once the server has gone, or by an open that
    // finds no server, or another server, where there was one: nothing may
    // call a JACK client of it any more, and the frame time stands still.
    bool serverGone() const { return mGone.load(std::memory_order_acquire); }

    quint32 period() const;
    quint32 rate() const;
    // The frame time at the start of the cycle under way.
    quint32 cycleFrame() const;
    // How long to sleep until about the start of the next cycle (at least
    // half a millisecond), so that a caller may sleep without its lock.
    std::chrono::microseconds nextCycleIn() const;
    // Waits until the server has begun `cycles` cycles after the one that
    // began at `from`; false once the server has gone or when no cycle began
    // within `stallMs`.
    bool waitCycles(quint32 from, int cycles, int stallMs) const;

private:
    static void onShutdown(void* self);
    // The JACK uuid of the client `name` on the watch's server; empty when unknown.
    QByteArray clientUuid(const QByteArray& name) const;

    void* mLibrary = nullptr;
    void* mClient = nullptr;
    bool mWasOpen = false;
    std::atomic<bool> mGone { false };
    // The remembered client's name and JACK uuid; empty when none is known.
    QByteArray mSiblingName;
    QByteArray mSiblingUuid;

    using FrameTime = quint32 (*)(const void* client);
    using Close = int (*)(void* client);
    FrameTime mBufferSize = nullptr;
    FrameTime mSampleRate = nullptr;
    FrameTime mFrameTime = nullptr;
    FrameTime mLastFrameTime = nullptr;
    Close mClose = nullptr;
};
