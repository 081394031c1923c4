#include "JackWatch.h"

#include <algorithm>
#include <chrono>
#include <thread>

#ifdef Q_OS_LINUX
#include <dlfcn.h>
#endif

JackWatch::~JackWatch()
{
    close();
#ifdef Q_OS_LINUX
    if (mLibrary && !serverGone())
        dlclose(mLibrary);
#endif
}

bool JackWatch::open()
{
#ifdef Q_OS_LINUX
    if (mClient)
        return true;
    if (!mLibrary)
        mLibrary = dlopen("libjack.so.0", RTLD_NOW | RTLD_NOLOAD);
    if (!mLibrary)
        return false;
    // The calls as libjack exports them; the options value 1 is
    // JackNoStartServer, so that the watch never starts a server.
    using Open = void* (*)(const char* name, int options, int* status, ...);
    using OnShutdown = void (*)(void* client, void (*callback)(void*), void* arg);
    const auto open = reinterpret_cast<Open>(dlsym(mLibrary, "jack_client_open"));
    const auto onShutdown = reinterpret_cast<OnShutdown>(dlsym(mLibrary, "jack_on_shutdown"));
    mClose = reinterpret_cast<Close>(dlsym(mLibrary, "jack_client_close"));
    mBufferSize = reinterpret_cast<FrameTime>(dlsym(mLibrary, "jack_get_buffer_size"));
    mSampleRate = reinterpret_cast<FrameTime>(dlsym(mLibrary, "jack_get_sample_rate"));
    mFrameTime = reinterpret_cast<FrameTime>(dlsym(mLibrary, "jack_frame_time"));
    mLastFrameTime = reinterpret_cast<FrameTime>(dlsym(mLibrary, "jack_last_frame_time"));
    if (!open || !onShutdown || !mClose || !mBufferSize || !mSampleRate || !mFrameTime || !mLastFrameTime)
        return false;
    int status = 0;
    mClient = open("wendle-watch", 1, &status);
    if (!mClient) {
        // 0x10 is JackServerFailed: no server answers where the watch had
        // one. It went while the watch was closed, and this open may have
        // had libjack drop the process's other clients of it, which nothing
        // may call any more.
        if (mWasOpen && (status & 0x10))
            mGone.store(true, std::memory_order_release);
        return false;
    }
    mWasOpen = true;
    // Before activation, as JACK wants it; this client is never activated.
    onShutdown(mClient, &JackWatch::onShutdown, this);
    return true;
#else
    return false;
#endif
}

void JackWatch::close()
{
    // A client of a dead server is left alone: closing it would talk to
    // nothing, and libjack may crash doing so.
    if (mClient && !serverGone()) {
        mClose(mClient);
        mClient = nullptr;
    }
}

void JackWatch::onShutdown(void* self)
{
    static_cast<JackWatch*>(self)->mGone.store(true, std::memory_order_release);
}

quint32 JackWatch::period() const
{
    return mClient ? std::max<quint32>(mBufferSize(mClient), 1) : 1;
}

quint32 JackWatch::rate() const
{
    return mClient ? std::max<quint32>(mSampleRate(mClient), 1) : 48000;
}

quint32 JackWatch::cycleFrame() const
{
    return mClient ? mLastFrameTime(mClient) : 0;
}

std::chrono::microseconds JackWatch::nextCycleIn() const
{
    using namespace std::chrono;
    const quint32 p = period();
    quint32 left = p;
    if (mClient) {
        const quint32 into = mFrameTime(mClient) - mLastFrameTime(mClient);
        left = into < p ? p - into : 0;
    }
    const auto wait = microseconds(qint64(left) * 1000000 / rate()) + microseconds(300);
    return std::max<microseconds>(wait, microseconds(500));
}

bool JackWatch::waitCycles(quint32 from, int cycles, int stallMs) const
{
    using Clock = std::chrono::steady_clock;
    quint32 seen = cycleFrame();
    auto moved = Clock::now();
    for (;;) {
        if (serverGone() || !mClient)
            return false;
        const quint32 now = cycleFrame();
        if (now - from >= quint32(cycles) * period())
            return true;
        if (now != seen) {
            seen = now;
            moved = Clock::now();
        } else if (Clock::now() - moved > std::chrono::milliseconds(stallMs)) {
            return false;
        }
        std::this_thread::sleep_for(nextCycleIn());
    }
}
